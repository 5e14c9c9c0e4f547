"""Many processes, one learned network: a :class:`LocalNetwork` replicated over a Redis stream.

Every mutation (registration, removal, feedback, tick) is appended to one Redis stream and
applied by every replica in stream order, its own included, so replicas that have applied the
same prefix of the stream hold the same learned state. Reads run on the local engine at
in-process speed and never wait for the network, except for a catch-up with the stream when
more than ``sync_interval`` seconds have passed since the last one (a Redis that does not
answer holds such a read up to the client's 10 s timeout; later attempts back off).

Consistency, in plain words:

- A replica sees its own mutations as soon as the call returns, together with everything that
  others appended before them.
- A read sees every event appended more than ``sync_interval`` seconds before it (default
  0.05 s), as long as Redis is reachable; while it is not, reads answer from local state. A
  read while another thread of the same replica catches up answers from what that catch-up
  has applied so far (it applies in batches).
- A replica applies each stream entry exactly once: its position is the id of the last entry it
  applied, and it always continues right after it.

What stays local by nature: how often discovery routed to each agent (``forwards_count``), the
monotonic clock (``last_activity``, circuit-breaker timers, so whether a ``tick`` lets an open
circuit back on trial), tie-breaking draws, the exploration schedule (it restarts when a replica
starts from a checkpoint, as after any load), invocation callables, and the replay log (it
records the feedback of every replica, but only local discoveries).

The stream holds JSON events with a version field ``"v"``. An entry that is not such an event
(foreign, malformed, or about an operation this version does not know) is skipped and logged;
an event of a newer version stops the replica with :class:`UnknownEventVersionError` until it
is upgraded, because applying it by guesswork would let replicas drift apart.
"""

from __future__ import annotations

import inspect
import json
import logging
import math
import os
import socket
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, Self, overload

from kova_discovery._native import (
    DiscoveryResponse,
    DiscoveryResult,
    ExplainedResult,
    LocalNetwork,
    Query,
)

try:
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry
except ImportError:  # pragma: no cover - reported by SharedNetwork.open
    redis = None  # type: ignore[assignment]

if TYPE_CHECKING:
    from types import TracebackType

    from kova_discovery._native import _RoutingState

log = logging.getLogger(__name__)

#: Version of the events this module writes; it applies no other.
EVENT_VERSION = 1

_FIELD = b"event"
# What a network refusing a call while another holds it raises, before changing anything.
_BORROWED = ("Already borrowed", "Already mutably borrowed")
# The two extra members a checkpoint adds to the state file.
_STREAM_MEMBER = "shared_stream"
_POSITION_MEMBER = "shared_position"
# Entries fetched per round trip while catching up.
_BATCH = 2000
_MAX_BACKOFF = 30.0
_NOT_GIVEN: Any = object()
_decode = json.JSONDecoder().decode
_monotonic = time.monotonic

# Appends one event where the replica has applied every entry (its position is the last id
# the stream generated, so nothing came after it, not even an entry since deleted) and returns
# its id; otherwise appends nothing and returns nil, and the replica catches up first. Only the
# replica judges entries (their JSON, their version): a judge in here could disagree with it,
# and a mutation that raises must not reach the other replicas. Scripts replicate by effect,
# so the AOF keeps the id Redis generated.
_APPEND_SCRIPT = """
local last = '0-0'
if redis.call('EXISTS', KEYS[1]) == 1 then
  local info = redis.call('XINFO', 'STREAM', KEYS[1])
  for i = 1, #info, 2 do
    if info[i] == 'last-generated-id' then last = info[i + 1] end
  end
end
if last ~= (ARGV[2] == '-' and '0-0' or ARGV[2]) then return false end
return redis.call('XADD', KEYS[1], '*', 'event', ARGV[1])
"""



class SharedNetworkError(Exception):
    """Base class of the errors a :class:`SharedNetwork` raises itself."""


class RedisUnavailableError(SharedNetworkError, ConnectionError):
    """Redis could not be reached (or did not answer in time).

    Raised by mutations, :meth:`SharedNetwork.sync`, :meth:`SharedNetwork.checkpoint` and
    :meth:`SharedNetwork.open`; reads keep answering from local state instead. A mutation that
    raises this was not acknowledged and is not applied here. If Redis did receive it before the
    connection failed, it is in the stream and every replica applies it at its next sync, this
    one included: so check with a read before repeating a mutation that must happen only once.
    """


class StreamError(SharedNetworkError):
    """The replica cannot go on applying the stream; it answers reads from local state."""


class UnknownEventVersionError(StreamError):
    """The stream holds an event written by a newer version of this module."""


class StreamGapError(StreamError):
    """Entries this replica still needed were removed from the stream.

    Reopen the replica from a newer checkpoint (or, with no checkpoint, the stream must be
    complete from its first entry).
    """


def _id_key(entry_id: bytes | str) -> tuple[int, int]:
    if not isinstance(entry_id, (bytes, str)):
        raise TypeError(f"a stream entry id is text, not {type(entry_id).__name__}")
    text = entry_id.decode() if isinstance(entry_id, bytes) else entry_id
    ms, _, seq = text.partition("-")
    return int(ms), int(seq or 0)


def _str_arg(value: object, arg: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{arg} must be str, not {type(value).__name__}")
    return value


def _registration(
    name: object, capabilities: object, endpoint: object, metadata: object
) -> dict[str, Any]:
    """The event of a registration, after the checks the engine would make: an event in the
    stream must apply on every replica, so nothing the engine refuses may get that far."""
    name = _str_arg(name, "name")
    if isinstance(capabilities, (str, bytes)) or not isinstance(capabilities, Sequence):
        raise TypeError(
            f"capabilities must be a list of str, not {type(capabilities).__name__}"
        )
    caps = list(capabilities)
    for cap in caps:
        if not isinstance(cap, str):
            raise TypeError(f"capabilities must hold str only, not {type(cap).__name__}")
    if not name:
        raise ValueError("Agent name cannot be empty")
    if not caps:
        raise ValueError("Capabilities list cannot be empty")
    size = len(name.encode("utf-8"))
    if size > 256:
        raise ValueError(f"Agent name exceeds 256 characters (got {size})")
    event: dict[str, Any] = {"op": "register", "agent": name, "caps": caps}
    if endpoint is not None:
        event["endpoint"] = _str_arg(endpoint, "endpoint")
    if metadata is not None:
        if not isinstance(metadata, Mapping):
            raise TypeError(f"metadata must be a dict of str, not {type(metadata).__name__}")
        for key, value in metadata.items():
            if not isinstance(key, str) or not isinstance(value, str):
                raise TypeError(
                    f"metadata must map str to str, not {type(key).__name__} "
                    f"to {type(value).__name__}"
                )
        event["meta"] = dict(metadata)
    return event


def _feedback(op: str, agent_name: object, query: object) -> dict[str, Any]:
    event: dict[str, Any] = {"op": op, "agent": _str_arg(agent_name, "agent_name")}
    if query is not None:
        event["query"] = _str_arg(query, "query")
    return event


class _Malformed(Exception):
    pass


def _str_field(event: Mapping[str, Any], key: str, optional: bool = False) -> Any:
    value = event.get(key)
    if value is None and optional:
        return None
    if not isinstance(value, str):
        raise _Malformed(f"'{key}' is not a string")
    return value


def _load_options(options: Mapping[str, Any]) -> dict[str, Any]:
    """The options :meth:`LocalNetwork.load` takes itself."""
    accepted = inspect.signature(LocalNetwork.load).parameters
    return {k: v for k, v in options.items() if k in accepted}


def _unrestored(network: LocalNetwork, options: Mapping[str, Any]) -> str | None:
    """The first option (as ``key=value``) that `network`, loaded from a state file, does not
    have: the file restores an option by itself only where the network reports its value."""
    taken = _load_options(options)
    for key, value in options.items():
        if key in taken or value is None:  # None: the option's default
            continue
        if getattr(network, key, _NOT_GIVEN) != value:
            return f"{key}={value!r}"
    return None


def _load_checkpoint(
    path: str | os.PathLike[str], stream: str, options: Mapping[str, Any]
) -> tuple[LocalNetwork, bytes | None]:
    """The network saved in a checkpoint of `stream` and the stream position it holds."""
    network = LocalNetwork.load(os.fspath(path), **_load_options(options))
    # Anything the file does not restore would leave this replica configured unlike the others.
    if (option := _unrestored(network, options)) is not None:
        raise ValueError(
            f"option {option} cannot be applied to a network started from a checkpoint "
            f"({os.fspath(path)!r})"
        )
    extra = network.loaded_extra
    if extra.get(_STREAM_MEMBER) != stream:
        raise ValueError(f"{os.fspath(path)!r} is not a checkpoint of stream {stream!r}")
    position = extra.get(_POSITION_MEMBER)
    if not isinstance(position, str):
        raise ValueError(f"{os.fspath(path)!r} holds no stream position")
    # "0-0": saved before anything was applied, so the whole stream is still to come.
    return network, position.encode() if position != "0-0" else None


class SharedNetwork:
    """A :class:`LocalNetwork` kept in step with other processes through a Redis stream.

    Create one with :meth:`open`. The methods of :class:`LocalNetwork` are offered with the
    same signatures; mutations go through the stream, reads run locally. ``network`` is the
    local engine: reading it is fine, but changing it directly bypasses the stream and makes
    this replica differ from the others.
    """

    #: A checkpoint not written again for this many seconds no longer holds the stream back.
    checkpoint_ttl: float = 86400.0
    #: Trimming never removes entries younger than this many seconds, so a running replica
    #: that syncs at least this often never finds its next entries gone (``math.inf``: none
    #: is ever trimmed by age).
    retention: float = 600.0

    def __init__(
        self,
        client: redis.Redis,
        stream: str,
        network: LocalNetwork,
        position: bytes | None,
        sync_interval: float,
        options: Mapping[str, Any] | None = None,
    ) -> None:
        self._client = client
        self._options = dict(options or {})
        self._stream = stream
        self._key = stream.encode()
        self._net = network
        self._position = position
        self._interval = sync_interval
        self._origin = os.urandom(6).hex()
        self._lock = threading.Lock()
        # Held for each call into the local engine, so that one thread's read and another's
        # apply wait for each other rather than meet a borrowed network. (A lock entered and
        # left in C: a signal cannot leave it held.)
        self._engine = threading.RLock()
        # Whether this thread holds it: what threading.Condition asks an RLock too.
        self._engine_held: Callable[[], bool] = self._engine._is_owned  # type: ignore[attr-defined]
        self._append = client.register_script(_APPEND_SCRIPT)
        self._synced_at = -math.inf
        self._failures = 0
        self._blocked: StreamError | None = None
        self._stopped: StreamError | None = None  # for good: nothing clears it
        self._closed = False
        self._skipped = 0
        self._invoke: dict[str, Any] = {}
        self._pending: dict[bytes, Any] = {}
        # The entry of the mutation in progress and what applying it returned.
        self._own: bytes | None = None
        self._own_result: Any = None
        self._discover = network.discover
        self._handlers: dict[object, Callable[[bytes, dict[str, Any]], Any]] = {
            "register": self._apply_register,
            "deregister": self._apply_deregister,
            "success": self._apply_success,
            "failure": self._apply_failure,
            "tick": self._apply_tick,
        }

    # ---- opening and closing ----

    @classmethod
    def open(
        cls,
        redis_url: str,
        stream: str,
        *,
        checkpoint: str | os.PathLike[str] | None = None,
        sync_interval: float = 0.05,
        **network_options: Any,
    ) -> Self:
        """Join the network kept in the Redis stream `stream` at `redis_url`.

        Args:
            redis_url: Where Redis is, as ``redis.Redis.from_url`` reads it
                (``redis://host:6379/0``, ``rediss://...``, ``unix:///path?db=0``); connection
                options such as ``socket_timeout`` may be given in its query string.
            stream: Name of the stream key; every replica of one network uses the same.
            checkpoint: A file written by :meth:`checkpoint` to start from; only the entries
                after it are applied. Without one, the newest live checkpoint registered for
                the stream whose file is readable here is used, else the whole stream.
            sync_interval: Seconds a read may go without catching up with the stream (0:
                before every read; ``math.inf``: only in :meth:`sync` and mutations).
            **network_options: Passed to :class:`LocalNetwork` (``scorer``, ...). With a
                checkpoint they must be options its state file restores.

        Raises:
            RedisUnavailableError: Redis cannot be reached.
            StreamGapError: the stream was trimmed and no checkpoint can fill the gap.
            ValueError: a bad argument, or a checkpoint of another stream.
        """
        if not isinstance(redis_url, str):
            raise TypeError(f"redis_url must be str, not {type(redis_url).__name__}")
        if not isinstance(stream, str):
            raise TypeError(f"stream must be str, not {type(stream).__name__}")
        if not stream:
            raise ValueError("stream must not be empty")
        if isinstance(sync_interval, bool) or not isinstance(sync_interval, (int, float)):
            raise TypeError(
                f"sync_interval must be a number, not {type(sync_interval).__name__}"
            )
        if not sync_interval >= 0:
            raise ValueError(f"sync_interval must be >= 0, not {sync_interval!r}")
        if checkpoint is not None and not isinstance(checkpoint, (str, os.PathLike)):
            raise TypeError(
                f"checkpoint must be a path or None, not {type(checkpoint).__name__}"
            )
        if redis is None:  # pragma: no cover - the extra is installed wherever tests run
            raise ImportError(
                "SharedNetwork needs the 'redis' package: pip install 'kova_discovery[shared]'"
            )
        # No silent retries: a resent XADD could append the same event twice.
        client = redis.Redis.from_url(
            redis_url, retry=Retry(NoBackoff(), 0), socket_connect_timeout=5.0,
            socket_timeout=10.0,
        )
        try:
            position: bytes | None
            with _redis_errors(stream):
                if checkpoint is not None:
                    network, position = _load_checkpoint(checkpoint, stream, network_options)
                else:
                    network, position = cls._start(client, stream, network_options)
            shared = cls(client, stream, network, position, float(sync_interval),
                         network_options)
            shared.sync()
        except BaseException:
            client.close()
            raise
        return shared

    @classmethod
    def _start(
        cls, client: redis.Redis, stream: str, options: Mapping[str, Any]
    ) -> tuple[LocalNetwork, bytes | None]:
        for path in _live_checkpoints(client, stream, cls.checkpoint_ttl):
            try:
                network, position = _load_checkpoint(path, stream, options)
            except (OSError, ValueError) as exc:
                log.warning("checkpoint %s of stream %r not usable: %s", path, stream, exc)
                continue
            log.info("stream %r: starting from checkpoint %s at %s", stream, path, position)
            return network, position
        _check_complete(client, stream)
        return LocalNetwork(**options), None

    def close(self) -> None:
        """Stop talking to Redis. Reads keep answering from local state; mutations,
        :meth:`sync` and :meth:`checkpoint` raise ValueError afterwards."""
        if not self._closed:
            self._closed = True
            self._client.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        position = self._position.decode() if self._position else None
        return (
            f"<SharedNetwork stream={self._stream!r} position={position!r} "
            f"agents={self._net.agent_count}>"
        )

    # ---- properties of the replica ----

    @property
    def network(self) -> LocalNetwork:
        """The local engine: read it freely where no other thread is using this replica (its
        calls do not wait for the replica's); changing it bypasses the stream."""
        return self._net

    @property
    def stream(self) -> str:
        """Name of the Redis stream."""
        return self._stream

    @property
    def position(self) -> str | None:
        """Id of the last stream entry applied here (None before the first)."""
        return self._position.decode() if self._position is not None else None

    @property
    def skipped_entries(self) -> int:
        """Entries this replica skipped as foreign or malformed since it was opened."""
        return self._skipped

    # ---- the stream ----

    def sync(self) -> int:
        """Apply what was appended since the last catch-up; returns the number of entries read.

        Raises:
            RedisUnavailableError: Redis cannot be reached.
            StreamError: the replica cannot go on (newer event version, or a gap).
        """
        self._refuse_inside("sync")
        with self._lock:
            self._check_open()
            return self._pull()

    def checkpoint(self, path: str | os.PathLike[str]) -> str:
        """Save the network with the stream position it reflects, and register the file.

        The file is a normal state file (:meth:`LocalNetwork.load` reads it) with two extra
        members naming the stream and the position. Registered checkpoints decide trimming:
        afterwards the stream is trimmed below the oldest position any live checkpoint holds,
        but never below the last ``retention`` seconds. Returns the position saved.
        """
        self._refuse_inside("checkpoint")
        with self._lock:
            self._check_open()
            # Trimming by this checkpoint would leave replicas opened as this one was with
            # nothing to start from.
            if (option := _unrestored(self._net, self._options)) is not None:
                raise ValueError(
                    f"option {option} is not kept in a state file, so replicas opened with it "
                    "cannot start from a checkpoint; none was written"
                )
            self._pull()
            position = (self._position or b"0-0").decode()
            with self._engine:
                self._net.save(
                    os.fspath(path),
                    extra={_STREAM_MEMBER: self._stream, _POSITION_MEMBER: position},
                )
            full = os.path.abspath(os.fspath(path))
            host = socket.gethostname()
            with _redis_errors(self._stream, "; the checkpoint was saved but not registered"):
                secs, micros = self._client.time()
                now = secs + micros / 1e6
                entry = json.dumps({"id": position, "path": full, "host": host, "time": now})
                self._client.hset(_registry_key(self._stream), f"{host}:{full}", entry)
            with _redis_errors(self._stream, "; the checkpoint was saved and registered, but "
                               "the stream was not trimmed"):
                self._trim(now)
            return position

    def _trim(self, now: float) -> None:
        registry = self._client.hgetall(_registry_key(self._stream))
        live: list[tuple[int, int]] = []
        expired = []
        for key, value in registry.items():
            try:
                info = json.loads(value)
                position = _id_key(info["id"])
                fresh = now - float(info["time"]) <= self.checkpoint_ttl
            except (ValueError, KeyError, TypeError):
                fresh = False
            if fresh:
                live.append(position)
            else:
                expired.append(key)
        if expired:
            self._client.hdel(_registry_key(self._stream), *expired)
        if not live:
            return  # without a checkpoint a new replica needs the stream from its start
        keep = now - self.retention
        if not keep > 0:  # a retention longer than the server clock's age, or math.inf
            return
        # A replica that caught up within the retention window holds at least the newest entry
        # older than it, and needs that entry to find its place: trim below it, never above.
        older: Any = self._client.xrevrange(self._stream, max=f"({int(keep * 1000)}-0",
                                            min="-", count=1)
        if not older:
            return
        floor = min(min(live), _id_key(older[0][0]))
        # Approximate trimming only ever keeps more than asked.
        self._client.xtrim(self._stream, minid=f"{floor[0]}-{floor[1]}", approximate=True)

    def _refuse_inside(self, what: str) -> None:
        # Host code the engine runs (a scorer) may read this replica on the same thread, but
        # must not change or sync it there.
        if self._engine_held():
            raise RuntimeError(
                f"Already borrowed: a SharedNetwork cannot {what} from inside one of its own "
                "calls (a host scorer's, say)"
            )

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed SharedNetwork")

    def _pull(self, note: str = "") -> int:
        """Catch up with the stream (lock held); `note` ends a Redis failure's message."""
        if self._stopped is not None:
            raise self._stopped
        read = 0
        if self._position is None:
            with _redis_errors(self._stream, note):
                self._check_start()
        while True:
            started = time.monotonic()
            start = self._position if self._position is not None else b"-"
            # The entries from the position (inclusive, so that a trimmed position shows) and
            # the newest id ever deleted, read together: an entry deleted after the position
            # was never applied here and never will be.
            with _redis_errors(self._stream, note):
                pipe = self._client.pipeline(transaction=True)
                pipe.xrange(self._key, min=start, max=b"+", count=_BATCH)
                pipe.xinfo_stream(self._key)
                entries, info = pipe.execute(raise_on_error=False)
                if isinstance(entries, Exception):
                    raise entries
            self._synced_at = started
            # (No stream yet, or a server before 7.0 that does not say.)
            deleted = info.get("max-deleted-entry-id") if isinstance(info, dict) else None
            if (isinstance(deleted, bytes)
                    and _id_key(deleted) > _id_key(self._position or b"0-0")):
                self._blocked = StreamGapError(
                    f"stream {self._stream!r}: entry {deleted.decode()}, after the one applied "
                    "here last, was deleted; reopen from a newer checkpoint"
                )
                raise self._blocked
            read += self._apply(entries)
            if len(entries) < _BATCH:
                self._blocked = None
                return read

    def _mutate(self, event: dict[str, Any], invoke: Any = _NOT_GIVEN) -> Any:
        """Append `event`, apply the stream up to it; returns what applying it returned."""
        event["v"] = EVENT_VERSION
        event["from"] = self._origin
        payload = json.dumps(event, ensure_ascii=False, separators=(",", ":")).encode()
        note = f"; the {event['op']} was not applied"
        self._refuse_inside("change")
        with self._lock:
            self._check_open()
            if self._blocked is not None:
                self._pull(note)  # raises again unless the cause has gone
            while True:
                if self._position is None:
                    with _redis_errors(self._stream, note):
                        self._check_start()
                started = time.monotonic()
                start = self._position if self._position is not None else b"-"
                with _redis_errors(self._stream, note):
                    own = self._append(keys=[self._key], args=[payload, start])
                self._synced_at = started
                if own is not None:
                    break
                # Others appended first: apply their entries (raising, with nothing appended,
                # where one cannot be), then try again.
                if not self._pull(note):
                    raise StreamError(
                        f"stream {self._stream!r}: its last generated id is past its last "
                        f"entry (moved by XSETID?); the {event['op']} was not applied"
                    )
            if invoke is not _NOT_GIVEN:
                self._pending[own] = invoke
            self._own = own
            try:
                self._apply_next([(own, {_FIELD: payload})])
                return self._own_result
            finally:
                self._pending.pop(own, None)
                self._own = self._own_result = None

    def _check_start(self) -> None:
        try:
            _check_complete(self._client, self._stream)
        except StreamGapError as exc:
            self._blocked = exc
            raise

    def _apply(self, entries: Sequence[tuple[bytes, Mapping[bytes, bytes]]]) -> int:
        """Apply entries in order, after checking that the first is the current position."""
        if self._position is not None:
            if not entries or entries[0][0] != self._position:
                self._blocked = StreamGapError(
                    f"stream {self._stream!r}: entry {self._position.decode()} applied here "
                    "last is gone (trimmed or deleted); reopen from a newer checkpoint"
                )
                raise self._blocked
            entries = entries[1:]
        return self._apply_next(entries)

    def _apply_next(self, entries: Sequence[tuple[bytes, Mapping[bytes, bytes]]]) -> int:
        """Apply entries that directly follow the current position, in order."""
        handlers = self._handlers
        with self._engine:
            for entry_id, fields in entries:
                payload = fields.get(_FIELD)
                try:
                    if payload is None:
                        raise _Malformed("no 'event' field")
                    try:
                        event = _decode(payload.decode())
                    except ValueError as exc:
                        raise _Malformed(f"not JSON ({exc})") from None
                    if not isinstance(event, dict):
                        raise _Malformed("not a JSON object")
                    version = event.get("v")
                    if version != EVENT_VERSION:
                        if (isinstance(version, (int, float)) and not isinstance(version, bool)
                                and version > EVENT_VERSION):
                            self._blocked = UnknownEventVersionError(
                                f"stream {self._stream!r}: entry {entry_id.decode()} has event "
                                f"version {version}, this replica applies version "
                                f"{EVENT_VERSION} only; upgrade kova_discovery"
                            )
                            raise self._blocked
                        raise _Malformed(f"unknown version {version!r}")
                    handler = handlers.get(event.get("op"))
                    if handler is None:
                        raise _Malformed(f"unknown operation {event.get('op')!r}")
                    result = handler(entry_id, event)
                    if entry_id == self._own:
                        self._own_result = result
                    self._position = entry_id
                except (_Malformed, TypeError, ValueError, RecursionError) as exc:
                    # ValueError also covers text the engine cannot take (a lone surrogate
                    # escaped in the JSON, say), RecursionError JSON nested past what the
                    # decoder follows: no entry may stop the stream for good.
                    self._skipped += 1
                    log.warning("stream %r: skipped entry %s: %s", self._stream,
                                entry_id.decode(), exc)
                    self._position = entry_id
                except StreamError:
                    raise
                except RuntimeError as exc:
                    if str(exc) not in _BORROWED:
                        self._stop_at(entry_id, exc)
                    raise  # refused before any change: the next catch-up applies it
                except BaseException as exc:
                    self._stop_at(entry_id, exc)
                    raise
        return len(entries)

    def _stop_at(self, entry_id: bytes, exc: BaseException) -> None:
        # Interrupted (KeyboardInterrupt, say) where the engine may or may not have applied
        # the entry: going on could apply it twice, or never.
        self._blocked = self._stopped = StreamError(
            f"stream {self._stream!r}: applying entry {entry_id.decode()} was interrupted "
            f"({type(exc).__name__}); reopen from a checkpoint"
        )

    def _apply_register(self, entry_id: bytes, event: dict[str, Any]) -> None:
        try:
            checked = _registration(
                event.get("agent"), event.get("caps"), event.get("endpoint"),
                event.get("meta"),
            )
        except (TypeError, ValueError) as exc:
            raise _Malformed(str(exc)) from None
        name = checked["agent"]
        if entry_id in self._pending:
            # This replica's own registration: its callable follows the call, as in
            # LocalNetwork (none given drops an earlier one).
            invoke = self._pending[entry_id]
            if invoke is None:
                self._invoke.pop(name, None)
            else:
                self._invoke[name] = invoke
        else:
            # Another process cannot know this one's callable: it keeps it.
            invoke = self._invoke.get(name)
        self._net.register(
            name, checked["caps"], endpoint=checked.get("endpoint"),
            metadata=checked.get("meta"), invoke=invoke,
        )

    def _apply_deregister(self, entry_id: bytes, event: dict[str, Any]) -> bool:
        name = _str_field(event, "agent")
        self._invoke.pop(name, None)
        return self._net.deregister(name)

    def _apply_success(self, entry_id: bytes, event: dict[str, Any]) -> None:
        self._net.record_success(
            _str_field(event, "agent"), query=_str_field(event, "query", optional=True)
        )

    def _apply_failure(self, entry_id: bytes, event: dict[str, Any]) -> None:
        self._net.record_failure(
            _str_field(event, "agent"), query=_str_field(event, "query", optional=True)
        )

    def _apply_tick(self, entry_id: bytes, event: dict[str, Any]) -> None:
        self._net.tick()

    def _maybe_sync(self) -> None:
        """The catch-up before a read: never raises, backs off while Redis is unreachable."""
        if self._engine_held() or self._closed or not self._lock.acquire(blocking=False):
            # Another thread is catching up, or this one is inside a call of this replica (a
            # host scorer reading it): answer from local state.
            return
        try:
            self._pull()
        except RedisUnavailableError as exc:
            self._failures += 1
            delay = min(_MAX_BACKOFF, 0.1 * 2.0 ** self._failures)
            self._synced_at = time.monotonic() + delay - self._interval
            if self._failures == 1:
                log.warning("%s; reads answer from local state, retrying in %.1f s", exc,
                            delay)
        except SharedNetworkError as exc:  # a stopped replica, or Redis refusing the read
            self._synced_at = time.monotonic() + _MAX_BACKOFF - self._interval
            log.error("%s; reads answer from local state", exc)
        else:
            if self._failures:
                log.warning("stream %r: Redis reachable again", self._stream)
                self._failures = 0
        finally:
            self._lock.release()

    # ---- mutations: through the stream ----

    def register(
        self,
        name: str,
        capabilities: Sequence[str],
        *,
        endpoint: str | None = None,
        metadata: dict[str, str] | None = None,
        invoke: Callable[..., Any] | None = None,
    ) -> None:
        """Register an agent on every replica; `invoke` stays with this process."""
        self._mutate(_registration(name, capabilities, endpoint, metadata), invoke)

    def deregister(self, name: str) -> bool:
        """Remove an agent from every replica; True if it was registered when the removal
        applied here."""
        return bool(self._mutate({"op": "deregister", "agent": _str_arg(name, "name")}))

    def record_success(self, agent_name: str, *, query: str | None = None) -> None:
        """Record a successful interaction, on every replica."""
        self._mutate(_feedback("success", agent_name, query))

    def record_failure(self, agent_name: str, *, query: str | None = None) -> None:
        """Record a failed interaction, on every replica."""
        self._mutate(_feedback("failure", agent_name, query))

    def tick(self) -> None:
        """Apply temporal decay on every replica (so one process should drive the ticks)."""
        self._mutate({"op": "tick"})

    # ---- reads: local ----

    @overload
    def discover(
        self,
        query: str | Query,
        *,
        filters: Mapping[str, Any] | None = None,
        explain: Literal[False] = False,
        with_confidence: Literal[False] = False,
        limit: int | None = None,
    ) -> list[DiscoveryResult]: ...
    @overload
    def discover(
        self,
        query: str | Query,
        *,
        filters: Mapping[str, Any] | None = None,
        explain: Literal[True],
        with_confidence: bool = False,
        limit: int | None = None,
    ) -> list[ExplainedResult]: ...
    @overload
    def discover(
        self,
        query: str | Query,
        *,
        filters: Mapping[str, Any] | None = None,
        explain: Literal[False] = False,
        with_confidence: Literal[True],
        limit: int | None = None,
    ) -> DiscoveryResponse: ...
    @overload
    def discover(
        self,
        query: str | Query,
        *,
        filters: Mapping[str, Any] | None = None,
        explain: bool = False,
        with_confidence: bool = False,
        limit: int | None = None,
    ) -> list[DiscoveryResult] | list[ExplainedResult] | DiscoveryResponse: ...
    def discover(
        self,
        query: str | Query,
        *,
        filters: Mapping[str, Any] | None = None,
        explain: bool = False,
        with_confidence: bool = False,
        limit: int | None = None,
    ) -> list[DiscoveryResult] | list[ExplainedResult] | DiscoveryResponse:
        """:meth:`LocalNetwork.discover` on local state (after a catch-up when due)."""
        if _monotonic() - self._synced_at > self._interval:
            self._maybe_sync()
        with self._engine:
            if filters is None and not explain and not with_confidence and limit is None:
                return self._discover(query)
            return self._discover(
                query, filters=filters, explain=explain, with_confidence=with_confidence,
                limit=limit,
            )

    @overload
    def discover_many(
        self,
        queries: Sequence[str],
        *,
        filters: Mapping[str, Any] | None = None,
        explain: Literal[False] = False,
        limit: int | None = None,
    ) -> list[list[DiscoveryResult]]: ...
    @overload
    def discover_many(
        self,
        queries: Sequence[str],
        *,
        filters: Mapping[str, Any] | None = None,
        explain: Literal[True],
        limit: int | None = None,
    ) -> list[list[ExplainedResult]]: ...
    @overload
    def discover_many(
        self,
        queries: Sequence[str],
        *,
        filters: Mapping[str, Any] | None = None,
        explain: bool = False,
        limit: int | None = None,
    ) -> list[list[DiscoveryResult]] | list[list[ExplainedResult]]: ...
    def discover_many(
        self,
        queries: Sequence[str],
        *,
        filters: Mapping[str, Any] | None = None,
        explain: bool = False,
        limit: int | None = None,
    ) -> list[list[DiscoveryResult]] | list[list[ExplainedResult]]:
        """:meth:`LocalNetwork.discover_many` on local state (after a catch-up when due)."""
        if _monotonic() - self._synced_at > self._interval:
            self._maybe_sync()
        with self._engine:
            return self._net.discover_many(queries, filters=filters, explain=explain, limit=limit)

    @property
    def agent_count(self) -> int:
        """Number of registered agents."""
        if _monotonic() - self._synced_at > self._interval:
            self._maybe_sync()
        with self._engine:
            return self._net.agent_count

    def agents(self) -> list[str]:
        """List of all registered agent names."""
        if _monotonic() - self._synced_at > self._interval:
            self._maybe_sync()
        with self._engine:
            return self._net.agents()

    @property
    def exploration_epsilon(self) -> float:
        """Current exploration epsilon value (local: see the module documentation)."""
        with self._engine:
            return self._net.exploration_epsilon

    def remembered(self, name: str) -> list[str]:
        """:meth:`LocalNetwork.remembered` on local state (after a catch-up when due): the
        query texts `name` remembers from every replica's successes, oldest first."""
        if _monotonic() - self._synced_at > self._interval:
            self._maybe_sync()
        with self._engine:
            return self._net.remembered(name)

    @property
    def query_memory(self) -> int:
        """Query texts remembered per agent (0: none), as the network was opened with."""
        with self._engine:
            return self._net.query_memory

    @property
    def query_expansion(self) -> bool:
        """Whether queries are widened with co-occurring capability words."""
        with self._engine:
            return self._net.query_expansion

    def detect_drift(
        self, *, threshold: float = 0.3, min_samples: int = 5
    ) -> list[dict[str, Any]]:
        """:meth:`LocalNetwork.detect_drift` on local state (after a catch-up when due)."""
        if _monotonic() - self._synced_at > self._interval:
            self._maybe_sync()
        with self._engine:
            return self._net.detect_drift(threshold=threshold, min_samples=min_samples)

    def routing_state(self, name: str) -> _RoutingState:
        """:meth:`LocalNetwork.routing_state` on local state (after a catch-up when due)."""
        if _monotonic() - self._synced_at > self._interval:
            self._maybe_sync()
        with self._engine:
            return self._net.routing_state(name)

    def save(
        self, path: str | os.PathLike[str], *, extra: Mapping[str, str | int] | None = None
    ) -> None:
        """Save the local state (after a catch-up when due); :meth:`checkpoint` also records
        the stream position, which a replica needs to start from the file."""
        if _monotonic() - self._synced_at > self._interval:
            self._maybe_sync()
        with self._engine:
            # The engine reads dicts only; other values fail there with its own message.
            self._net.save(path, extra=dict(extra) if isinstance(extra, Mapping) else extra)

    # The replay log is this process's own record.

    def enable_replay(self, max_events: int = 10000) -> None:
        """Enable this replica's replay log."""
        with self._engine:
            self._net.enable_replay(max_events)

    @property
    def replay_event_count(self) -> int:
        """Number of events in the replay log."""
        with self._engine:
            return self._net.replay_event_count

    @property
    def replay_enabled(self) -> bool:
        """Whether the replay log is enabled."""
        with self._engine:
            return self._net.replay_enabled

    def replay_events(self) -> list[dict[str, Any]]:
        """Retrieve replay events as a list of dicts."""
        with self._engine:
            return self._net.replay_events()

    def replay_clear(self) -> None:
        """Clear the replay log."""
        with self._engine:
            self._net.replay_clear()


def _check_complete(client: redis.Redis, stream: str) -> None:
    """Raises StreamGapError unless the stream still holds every entry ever appended: what a
    replica that has applied nothing yet needs."""
    try:
        info = client.xinfo_stream(stream)
    except redis.ResponseError as exc:
        if "no such key" not in str(exc).lower():
            raise
        return
    # Trimming leaves no deletion mark; a count of entries ever added above the length does.
    if info.get("entries-added", 0) != info.get("length", 0):
        raise StreamGapError(
            f"stream {stream!r} has been trimmed and no checkpoint of it is readable here; "
            "open with checkpoint=<path of a recent checkpoint>"
        )


def _registry_key(stream: str) -> str:
    return f"{stream}:checkpoints"


def _live_checkpoints(client: redis.Redis, stream: str, ttl: float) -> list[str]:
    """Paths of the live registered checkpoints readable here, newest position first."""
    now = client.time()[0]
    found = []
    for value in client.hgetall(_registry_key(stream)).values():
        try:
            info = json.loads(value)
            if now - float(info["time"]) <= ttl and os.path.isfile(info["path"]):
                found.append((_id_key(info["id"]), str(info["path"])))
        except (ValueError, KeyError, TypeError):
            continue
    return [path for _, path in sorted(found, reverse=True)]


class _redis_errors:
    """Turns the client's connection failures into RedisUnavailableError and its other
    failures into SharedNetworkError, naming the stream; `note` ends the first message."""

    def __init__(self, stream: str, note: str = "") -> None:
        self.stream = stream
        self.note = note

    def __enter__(self) -> None:
        return None

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> Literal[False]:
        if exc is None:
            return False
        if isinstance(exc, (redis.ConnectionError, redis.TimeoutError)):
            raise RedisUnavailableError(
                f"stream {self.stream!r}: Redis is unreachable ({exc}){self.note}"
            ) from exc
        if isinstance(exc, redis.RedisError):
            raise SharedNetworkError(f"stream {self.stream!r}: Redis refused: {exc}") from exc
        return False


__all__ = [
    "EVENT_VERSION",
    "RedisUnavailableError",
    "SharedNetwork",
    "SharedNetworkError",
    "StreamError",
    "StreamGapError",
    "UnknownEventVersionError",
]
