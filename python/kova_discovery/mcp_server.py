"""An MCP server over stdio: a language-model application finds, teaches and adds agents.

``kova-discovery --state FILE mcp`` runs it (it needs the ``mcp`` extra:
``pip install 'kova_discovery[mcp]'``). It offers four tools: ``discover_agents``,
``record_outcome``, ``list_agents`` and ``register_agent``.

The state file is shared with the command line and with other servers:

- Every call first looks whether the file changed on disk since the server last read or wrote
  it (inode, size and modification time) and reads it again if so; a file that cannot be read
  then gives that call an error result and is tried again on the next call. Reading needs no
  lock: saves replace the file atomically.
- A call that changes the network (``record_outcome``, ``register_agent``) takes the state
  file's exclusive lock, reads the file again if it changed, applies the change, saves and
  only then releases the lock, so no update of another writer is lost. If the lock is not
  free within ``lock_timeout`` seconds the call gives an error result and changes nothing;
  the client may retry.
- Discovery changes no file: what a query teaches the network in memory (forward counts)
  lasts until the file is next read again.

Wrong arguments, unknown agents and unusable files give error results (``isError``), and the
server goes on serving.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Callable
from pathlib import Path
from typing import Annotated, Any, TypeVar

import anyio
from mcp.server import MCPServer
from mcp.server.mcpserver.exceptions import ToolError
from pydantic import Field

from kova_discovery._native import LocalNetwork
from kova_discovery._statefile import StateLockTimeout, read_state, state_lock
from kova_discovery._statefile import new_network as recommended_network

__all__ = ["DEFAULT_LOCK_TIMEOUT", "build_server", "serve"]

DEFAULT_LOCK_TIMEOUT = 10.0

# How often a waiting writer tries the lock again: short against a command's run time, long
# enough not to spin.
_LOCK_POLL = 0.02

_T = TypeVar("_T")

_Stamp = tuple[int, int, int]


def _stamp(path: Path) -> _Stamp | None:
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns)


class SharedState:
    """The network of one state file, kept in step with what other writers save."""

    def __init__(self, path: Path, lock_timeout: float = DEFAULT_LOCK_TIMEOUT,
                 new_network: Callable[[], LocalNetwork] = recommended_network) -> None:
        self.path = path
        self.lock_timeout = lock_timeout
        self._new_network = new_network
        self._network: LocalNetwork | None = None
        self._stamp: _Stamp | None = None

    def current(self) -> LocalNetwork:
        """The network as the file now holds it (an empty one while there is no file)."""
        try:
            stamp = _stamp(self.path)
        except OSError as exc:
            raise ToolError(f"cannot read state file {self.path}: {exc}") from None
        if self._network is None or stamp != self._stamp:
            if stamp is None:
                network = self._new_network()
            else:
                try:
                    network = read_state(self.path)
                except (OSError, ValueError) as exc:
                    raise ToolError(f"cannot load state file {self.path}: {exc}") from None
            self._network, self._stamp = network, stamp
        return self._network

    async def change(self, apply: Callable[[LocalNetwork], _T]) -> _T:
        """Run ``apply`` on the current network and save it, all under the writer lock."""
        deadline = time.monotonic() + self.lock_timeout
        while True:
            try:
                with state_lock(self.path, timeout=0):
                    return self._change_locked(apply)
            except StateLockTimeout:
                pass
            except OSError as exc:  # the lock file cannot be made: every save would fail
                raise ToolError(f"cannot lock state file {self.path}: {exc}; nothing was "
                                "changed") from None
            if time.monotonic() >= deadline:
                raise ToolError(
                    f"state file {self.path} is locked by another writer; nothing was changed, "
                    "try again"
                )
            await anyio.sleep(_LOCK_POLL)

    def _change_locked(self, apply: Callable[[LocalNetwork], _T]) -> _T:
        # Under the lock the file is read afresh, whatever its stamp says: saves alternate
        # between two inodes, so where timestamps are coarse another writer's save of the same
        # size can repeat the stamp, and a change made to the copy in memory would undo it.
        self._network = None
        network = self.current()
        try:
            result = apply(network)
            network.save(str(self.path))
        except ToolError:
            raise  # refused before anything changed
        except BaseException as exc:
            # The network in memory may hold a change the file does not: read the file again
            # before the next call rather than serve it.
            self._network = None
            if isinstance(exc, OSError):
                raise ToolError(f"cannot save state file {self.path}: {exc}; nothing was "
                                "changed") from None
            raise
        try:
            self._stamp = _stamp(self.path)
        except OSError:
            self._network = None  # saved; the next call reads the file again
        return result


def _agent_entry(result: Any) -> dict[str, Any]:
    def number(value: float) -> float | None:
        # JSON has no NaN; a score that is not a number says "unknown".
        return value if math.isfinite(value) else None

    return {
        "name": result.agent_name,
        "endpoint": result.endpoint,
        "metadata": result.metadata,
        "score": number(result.score),
        "similarity": number(result.similarity),
    }


def _known(network: LocalNetwork, name: str) -> None:
    if name not in network.agents():
        raise ToolError(f"unknown agent {name!r}")


def build_server(state: Path, *, lock_timeout: float = DEFAULT_LOCK_TIMEOUT,
                 new_network: Callable[[], LocalNetwork] = recommended_network) -> MCPServer:
    """An MCP server over the network kept in ``state``; ``new_network`` makes the network
    served while the file does not exist (by default BM25 with query memory 100, as the
    command line creates files)."""
    shared = SharedState(state, lock_timeout, new_network)
    server = MCPServer(
        "kova-discovery",
        instructions=(
            "Find agents and tools by what they can do. Call discover_agents with the user's "
            "request, call the best one, then report with record_outcome whether it worked so "
            "later rankings improve."
        ),
        log_level="WARNING",
    )

    # Tools are coroutines so that they run on the server's event loop one at a time: the
    # network refuses overlapping calls, and a thread per call would only add latency.

    @server.tool()
    async def discover_agents(
        query: Annotated[str, Field(description="What the agent should do, in plain words.")],
        limit: Annotated[int, Field(ge=1, description="At most this many agents.")] = 10,
        filters: Annotated[
            dict[str, Any] | None,
            Field(description='Metadata conditions that must all hold: {"key": "value"} for '
                  'an exact match, or {"key": {"$in": [...]}}, {"$lt": n}, {"$gt": n}, '
                  '{"$contains": "text"}.'),
        ] = None,
    ) -> dict[str, Any]:
        """Rank the registered agents for a request, best first, with their endpoints,
        metadata and scores."""
        for key, condition in (filters or {}).items():
            # The network reads one operator a condition; a second would be dropped unseen.
            if isinstance(condition, dict) and (len(condition) != 1 or not set(condition)
                                                <= {"$in", "$lt", "$gt", "$contains"}):
                raise ToolError(f"filter {key!r}: give exactly one of $in, $lt, $gt, "
                                f"$contains, got {sorted(condition)}")
        network = shared.current()
        try:
            results = network.discover(query, filters=filters, limit=limit)
        except (TypeError, ValueError, OverflowError) as exc:
            raise ToolError(str(exc)) from None
        return {"agents": [_agent_entry(r) for r in results]}

    @server.tool()
    async def record_outcome(
        agent: Annotated[str, Field(description="The agent's name, as discover_agents gave it.")],
        query: Annotated[str, Field(description="The request the agent was used for.")],
        success: Annotated[bool, Field(description="Whether the agent did the job.")],
    ) -> dict[str, Any]:
        """Report whether an agent served a request well; similar requests learn from it."""

        def apply(network: LocalNetwork) -> None:
            _known(network, agent)
            record = network.record_success if success else network.record_failure
            try:
                record(agent, query=query if query.strip() else None)
            except (TypeError, ValueError) as exc:
                raise ToolError(f"cannot record the outcome: {exc}") from None

        await shared.change(apply)
        return {"agent": agent, "success": success}

    @server.tool()
    async def list_agents() -> dict[str, Any]:
        """The names of all registered agents."""
        names = shared.current().agents()
        return {"agents": names, "count": len(names)}

    @server.tool()
    async def register_agent(
        name: Annotated[str, Field(min_length=1, description="A unique name.")],
        capabilities: Annotated[
            list[str], Field(min_length=1, description="What the agent can do, as free texts.")
        ],
        endpoint: Annotated[str | None, Field(description="Where the agent is called.")] = None,
        metadata: Annotated[
            dict[str, str] | None, Field(description="String entries that filters can match.")
        ] = None,
    ) -> dict[str, Any]:
        """Register an agent, replacing one of the same name (and what was learned about it)."""
        if len(name.encode("utf-8", "surrogatepass")) > 256:
            raise ToolError("name is longer than 256 bytes")

        def apply(network: LocalNetwork) -> bool:
            replaced = name in network.agents()
            try:
                network.register(name, capabilities, endpoint=endpoint, metadata=metadata)
            except (TypeError, ValueError) as exc:
                raise ToolError(f"cannot register {name!r}: {exc}") from None
            return replaced

        replaced = await shared.change(apply)
        return {"name": name, "replaced": replaced}

    return server


def serve(state: Path, *, lock_timeout: float = DEFAULT_LOCK_TIMEOUT,
          new_network: Callable[[], LocalNetwork] = recommended_network) -> None:
    """Serve ``state`` over stdio until the client closes the connection."""
    build_server(state, lock_timeout=lock_timeout, new_network=new_network).run("stdio")
