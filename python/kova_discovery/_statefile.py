"""Safe sharing of one state file between processes.

A state file is replaced whole by every save (a temporary file renamed over it), so a reader
always sees one complete version and needs no lock. Writers are another matter: two commands
that each load, change and save the file would otherwise both start from the same version, and
the second save would silently drop the first one's change. :func:`locked_state` therefore
holds an exclusive lock for the whole load-change-save.

The lock is ``fcntl.flock`` on a companion file, ``<state>.lock`` beside the state file's real
path (symbolic links resolved, so every name of one file shares one lock). The state file
itself cannot carry the lock: each save gives it a new inode, and a lock on the old one would
guard nothing. The companion file exists only while someone holds or waits for the lock: the
holder removes it just before releasing. That is safe because a process that obtains the lock
then checks that the file it locked is still the one under that name; one that locked a file
already removed retries with the current one. Only the lock holder removes the file, so at any
moment at most one process holds a lock on the file the name refers to.

The lock is advisory and local: it excludes other users of this module, on file systems where
``flock`` works across processes (local disks; not every network file system).
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import Any

__all__ = [
    "DEFAULT_QUERY_MEMORY",
    "DEFAULT_SCORER",
    "DEFAULT_TIMEOUT",
    "SCORER_KINDS",
    "LockedState",
    "StateLockTimeout",
    "lock_path",
    "locked_state",
    "new_network",
    "ranks_as_new",
    "read_state",
    "recorded_configuration",
    "state_lock",
]

#: Seconds a writer waits for another writer's lock before giving up.
DEFAULT_TIMEOUT = 30.0


#: Scorers a new state file can be created with, by the name the command line takes.
SCORER_KINDS = ("bm25", "tfidf", "minhash", "hybrid")
#: What a new state file ranks with unless told otherwise: the best lexical configuration
#: measured on labelled tool-selection queries, at lexical cost (microseconds a query).
DEFAULT_SCORER = "bm25"
DEFAULT_QUERY_MEMORY = 100


def _scorer(kind: str) -> Any:
    from kova_discovery._native import Bm25Scorer, HybridScorer, TfIdfScorer

    if kind == "bm25":
        return Bm25Scorer()
    if kind == "tfidf":
        return TfIdfScorer()
    if kind == "hybrid":
        return HybridScorer([(Bm25Scorer(), 0.7), (TfIdfScorer(), 0.3)])
    if kind == "minhash":
        return None
    raise ValueError(f"unknown scorer {kind!r}: expected one of {', '.join(SCORER_KINDS)}")


def new_network(scorer: str = DEFAULT_SCORER, query_memory: int = DEFAULT_QUERY_MEMORY) -> Any:
    """An empty network for a new state file: ``scorer`` names one of :data:`SCORER_KINDS`.

    ``new_network("minhash", 0)`` is ``LocalNetwork()``, whose files are those written before
    the command line chose a scorer.
    """
    from kova_discovery._native import LocalNetwork

    return LocalNetwork(scorer=_scorer(scorer), query_memory=query_memory)


def recorded_configuration(data: bytes) -> tuple[str, int, object, bool]:
    """The scorer kind, query memory, scorer record (its settings, ``None`` for MinHash) and
    whether queries are expanded with learned words, in the text of a state file.

    A file without a ``scorer`` member ranks with MinHash; ``"host"`` names a scorer of the
    application's own, which a load cannot rebuild. A file without ``query_expansion``
    expands exactly when it remembers nothing, as a load then sets it.
    """
    snapshot = json.loads(data)
    if not isinstance(snapshot, dict):
        snapshot = {}
    scorer = snapshot.get("scorer")
    kind = scorer.get("kind") if isinstance(scorer, dict) else None
    memory = snapshot.get("query_memory", 0)
    memory = memory if isinstance(memory, int) else 0
    expansion = snapshot.get("query_expansion")
    return (kind if isinstance(kind, str) else "minhash", memory, scorer,
            expansion if isinstance(expansion, bool) else memory == 0)


def _scorer_record_of(network: Any, directory: Path) -> object:
    """The scorer record ``network`` saves, through a scratch file in ``directory``."""
    fd, name = tempfile.mkstemp(prefix=".kova-settings-", suffix=".json", dir=directory)
    os.close(fd)
    try:
        network.save(name)
        return json.loads(Path(name).read_bytes()).get("scorer")
    finally:
        with suppress(FileNotFoundError):
            os.unlink(name)


def ranks_as_new(kind: str, record: object, path: Path, network: Any = None) -> bool:
    """Whether the state file at ``path``, whose scorer record is ``record``, ranks as a new
    file of ``kind`` would: the same settings, however the record is written (one written by
    hand may leave settings at their defaults). ``network`` is the file's, if loaded already.

    The records are the engine's own, written beside the state file, where a save must be able
    to write anyway; where nothing can be written (or the file does not load) that question is
    left to the save or the load, which report it, and the answer is True.
    """
    try:
        expected = _scorer_record_of(new_network(kind, 0), path.parent)
        if record == expected:
            return True
        if network is None:
            network = read_state(path)
        return _scorer_record_of(network, path.parent) == expected
    except (OSError, StateFileError):
        return True


class StateLockTimeout(TimeoutError):
    """Another process held the state file's lock for longer than the caller would wait."""


def lock_path(path: str | os.PathLike[str]) -> Path:
    """The companion lock file of the state file at ``path``."""
    return Path(os.path.realpath(path) + ".lock")


def _same_file(fd: int, path: Path) -> bool:
    try:
        named = os.stat(path, follow_symlinks=False)
    except FileNotFoundError:
        return False
    held = os.fstat(fd)
    return (held.st_dev, held.st_ino) == (named.st_dev, named.st_ino)


@contextmanager
def state_lock(path: str | os.PathLike[str], *,
               timeout: float | None = DEFAULT_TIMEOUT) -> Iterator[None]:
    """Hold the exclusive lock of the state file at ``path`` for the ``with`` block.

    ``timeout`` is how many seconds to wait for another holder (``None``: as long as it takes,
    ``0``: not at all); when it runs out :class:`StateLockTimeout` is raised. The lock file is
    created when needed, so the directory must be writable (as it must be for saving anyway);
    failures to create it raise the underlying :class:`OSError`.
    """
    if timeout is not None and not timeout >= 0:
        raise ValueError(f"timeout must be a number of seconds >= 0 or None, not {timeout!r}")
    target = lock_path(path)
    deadline = None if timeout is None else time.monotonic() + timeout
    pause = 0.001
    while True:
        # O_NOFOLLOW: a link planted under the lock's name must not make us lock (and later
        # remove) something else.
        fd = os.open(target, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
        try:
            if deadline is None:
                fcntl.flock(fd, fcntl.LOCK_EX)
            else:
                while True:
                    try:
                        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                        break
                    except BlockingIOError:
                        left = deadline - time.monotonic()
                        if left <= 0:
                            raise StateLockTimeout(
                                errno.EAGAIN,
                                f"state file is locked by another process (waited {timeout:g} s)",
                                os.fspath(path),
                            ) from None
                        time.sleep(min(pause, left))
                        pause = min(pause * 2, 0.05)
            if not _same_file(fd, target):
                # The previous holder removed this file after we opened it: start again with
                # whatever the name refers to now.
                os.close(fd)
                continue
        except BaseException:
            os.close(fd)
            raise
        try:
            yield
        finally:
            # Remove before unlocking, never after: a waiter that then gets this inode sees
            # that it is no longer named and retries.
            try:
                os.unlink(target)
            except FileNotFoundError:
                pass
            finally:
                os.close(fd)
        return


class LockedState:
    """A network loaded under the state file's lock; :meth:`save` writes it back.

    Nothing is written unless :meth:`save` is called, so a change abandoned half-way (an
    exception in the ``with`` block) leaves the file as it was.
    """

    def __init__(self, network: Any, path: Path, created: bool) -> None:
        self.network = network
        self.path = path
        #: True when the file did not exist and ``network`` started empty.
        self.created = created

    def save(self) -> None:
        self.network.save(os.fspath(self.path))


class StateFileError(ValueError):
    """A state file that reads as JSON but that cannot be used, such as one recording a scorer
    it cannot rebuild; its own type, so callers tell it from errors of their own code."""


def read_state(path: str | os.PathLike[str]) -> Any:
    """Load the network in the state file at ``path`` without taking the lock.

    Raises :class:`FileNotFoundError` when there is no such file, :class:`StateFileError` for
    the ValueError ``LocalNetwork.load`` raises for a file it cannot use, and whatever else it
    raises (an :class:`OSError` for a file that is not a state file).
    """
    from kova_discovery._native import LocalNetwork

    name = os.fspath(path)
    if not os.path.exists(name):
        raise FileNotFoundError(errno.ENOENT, "no such state file", name)
    try:
        return LocalNetwork.load(name)
    except ValueError as exc:
        message = str(exc)
        if "host scorer" in message and "cannot be rebuilt" in message:
            # The engine's advice (pass the scorer again) is for programs; here nobody can.
            message = ("it was saved with a scorer of the application's own (such as "
                       "EmbeddingScorer): only a program can load it, with "
                       "LocalNetwork.load(path, scorer=...)")
        raise StateFileError(message) from exc


@contextmanager
def locked_state(path: str | os.PathLike[str], *, create: bool = False,
                 timeout: float | None = DEFAULT_TIMEOUT,
                 new: Callable[[], Any] | None = None) -> Iterator[LockedState]:
    """Load the state file at ``path`` under its exclusive lock, for a read-modify-write::

        with locked_state("state.json", create=True) as state:
            state.network.register("translator", ["translate documents"])
            state.save()

    The lock is held until the block ends, so no other writer using this module can load the
    file between this load and this save. A missing file raises :class:`FileNotFoundError`
    unless ``create`` is true, in which case ``state.network`` is a new, empty network and
    ``state.created`` is true (the file appears at the first :meth:`LockedState.save`).
    ``timeout`` is as for :func:`state_lock`. ``new`` makes that new network (default:
    ``LocalNetwork()``).
    """
    from kova_discovery._native import LocalNetwork

    with state_lock(path, timeout=timeout):
        name = os.fspath(path)
        if create and not os.path.exists(name):
            state = LockedState((new or LocalNetwork)(), Path(name), created=True)
        else:
            state = LockedState(read_state(name), Path(name), created=False)
        yield state
