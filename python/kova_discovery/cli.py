"""The ``kova-discovery`` command line: drive a discovery network kept in a state file.

Commands that change the network (``add``, ``import-cards``, ``remove``, ``feedback``,
``tick``) load the state file, change the network and save it back, all under the file's
exclusive lock (see ``_statefile``), so that concurrent commands never lose each other's
updates. Only ``add`` and ``import-cards`` create a missing file. Commands that only read
(``query``, ``agents``, ``drift``) take no lock and never write: a save is a rename of a
complete file, so a reader sees either the old version or the new one.

``query`` does not keep the forward counts that discovery adds up: a query from the shell is a
lookup, not traffic routed to an agent, and writing the whole file for every lookup would make
each one as costly as an update and serialise it behind every writer.

The engine writes the file through a temporary file and a rename, so a failed command never
leaves a damaged file behind; and every check on the command's input runs before anything is
registered or recorded, so a rejected command leaves the file exactly as it was.

What the state file keeps is what the engine persists: agents, their routing state, per-query
feedback and co-occurrence statistics. It does not keep circuit-breaker states or the
exploration schedule; each command starts with every circuit closed and exploration at its
initial value.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import Any, NoReturn

from rich.progress import Progress

from kova_discovery import __version__
from kova_discovery._cards import CardError, card_files, check_name, read_card, read_regular_file
from kova_discovery._display import (
    confidence_line,
    console,
    explained_table,
    fmt_float,
    fmt_number,
    isatty,
    print_table,
    printable,
    results_table,
    table,
)
from kova_discovery._statefile import (
    DEFAULT_QUERY_MEMORY,
    DEFAULT_SCORER,
    DEFAULT_TIMEOUT,
    SCORER_KINDS,
    LockedState,
    StateFileError,
    StateLockTimeout,
    lock_path,
    locked_state,
    new_network,
    ranks_as_new,
    read_state,
    recorded_configuration,
)

PROG = "kova-discovery"
DEFAULT_STATE = "kova-state.json"

# Below this many cards an import is over before a progress bar would be worth drawing.
PROGRESS_MIN_CARDS = 20


class CliError(Exception):
    """Bad input or an unusable state file: reported as one line, exit status 1."""


# --------------------------------------------------------------------------------------------
# Input parsing

_NUMBER = re.compile(
    r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf|infinity|nan)\Z", re.IGNORECASE
)
_FILTER_OPERATORS = "=<>~:"


def parse_filter(expr: str) -> tuple[str, Any]:
    """Turn ``key=value``, ``key<n``, ``key>n``, ``key~text`` or ``key:a,b`` into a condition.

    The key ends at the first operator character, so keys cannot contain one; values can.
    """
    from kova_discovery._native import FilterValue

    pos = min((i for i in (expr.find(op) for op in _FILTER_OPERATORS) if i >= 0), default=-1)
    if pos < 0:
        raise CliError(
            f"bad filter {expr!r}: expected key=value, key<number, key>number, "
            "key~substring or key:a,b"
        )
    key, op, value = expr[:pos], expr[pos], expr[pos + 1 :]
    if not key:
        raise CliError(f"bad filter {expr!r}: the metadata key is empty")
    if op == "=":
        return key, FilterValue.exact(value)
    if op == "~":
        return key, FilterValue.contains(value)
    if op == ":":
        return key, FilterValue.one_of(value.split(","))
    # Python's float() also takes surrounding blanks and digit underscores; the metadata side
    # does not, so accept only the plain decimal syntax the comparison itself understands.
    if not _NUMBER.match(value):
        raise CliError(f"bad filter {expr!r}: expected a number after {op!r}")
    number = float(value)
    return key, FilterValue.less_than(number) if op == "<" else FilterValue.greater_than(number)


def parse_filters(exprs: Sequence[str]) -> dict[str, Any] | None:
    if not exprs:
        return None
    filters: dict[str, Any] = {}
    for expr in exprs:
        key, condition = parse_filter(expr)
        if key in filters:
            # One condition per key: silently keeping only the last would hide a mistake.
            raise CliError(f"bad filter {expr!r}: key {key!r} already has a condition")
        filters[key] = condition
    return filters


def parse_metadata(items: Sequence[str]) -> dict[str, str]:
    metadata: dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise CliError(f"bad metadata {item!r}: expected KEY=VALUE")
        if key in metadata:
            raise CliError(f"bad metadata {item!r}: key {key!r} is given twice")
        metadata[key] = value
    return metadata


def _check_name(name: str) -> None:
    problem = check_name(name)
    if problem:
        raise CliError(problem)


# How each argument is named when it cannot be used. Card paths are absent on purpose: a file
# name is bytes to the system and opens whatever it holds.
_ARGUMENT_LABELS = {
    "state": "--state", "name": "agent name", "names": "agent name",
    "capabilities": "capability", "endpoint": "--endpoint", "meta": "--meta",
    "text": "query text", "filter": "--filter", "query": "--query", "source": "--source",
}


def check_text_arguments(args: argparse.Namespace) -> None:
    """Refuse arguments the engine cannot take as text: bytes that are not UTF-8 reach Python
    as lone surrogates, which no UTF-8 string can hold."""
    for dest, label in _ARGUMENT_LABELS.items():
        value = getattr(args, dest, None)
        for item in value if isinstance(value, list) else [value]:
            if isinstance(item, (str, Path)):
                try:
                    str(item).encode("utf-8")
                except UnicodeEncodeError:
                    raise CliError(f"{label} is not valid UTF-8: {str(item)!r}") from None


# --------------------------------------------------------------------------------------------
# State file


def _reason(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())


def _state_error(path: Path, exc: OSError | StateFileError) -> CliError:
    """The one message each kind of unusable state file gets, whichever command met it."""
    if isinstance(exc, StateFileError):
        return CliError(f"cannot load state file {path}: {_reason(exc)}")
    if isinstance(exc, StateLockTimeout):
        return CliError(f"cannot lock state file {path}: another command has held it for "
                        f"{DEFAULT_TIMEOUT:g} s")
    if exc.filename is not None and os.fsdecode(exc.filename) == str(lock_path(path)):
        if isinstance(exc, FileNotFoundError):
            return CliError(f"cannot write state file {path}: its directory does not exist")
        return CliError(f"cannot lock state file {path}: {exc.strerror or _reason(exc)}")
    if isinstance(exc, FileNotFoundError) and not os.path.lexists(path):
        return CliError(f"state file {path} does not exist "
                        "(add, import-cards or import-tools create one)")
    return CliError(f"cannot load state file {path}: {_reason(exc)}")


def read_network(path: Path) -> Any:
    """The network in the state file, for commands that only read it."""
    try:
        return read_state(path)
    except (OSError, StateFileError) as exc:
        raise _state_error(path, exc) from None


@contextmanager
def writing(path: Path, *, create: bool = False,
            new: Callable[[], Any] | None = None) -> Iterator[LockedState]:
    """The state file loaded under its lock; the caller saves with :func:`commit`."""
    try:
        with locked_state(path, create=create, timeout=DEFAULT_TIMEOUT, new=new) as state:
            yield state
    except BrokenPipeError:
        raise
    except (OSError, StateFileError) as exc:
        raise _state_error(path, exc) from None


def _new_network(args: argparse.Namespace) -> Callable[[], Any]:
    scorer = args.scorer or DEFAULT_SCORER
    memory = DEFAULT_QUERY_MEMORY if args.query_memory is None else args.query_memory
    return lambda: new_network(scorer, memory)


def check_configuration(args: argparse.Namespace, path: Path, data: bytes,
                        network: Any = None) -> None:
    """--scorer and --query-memory choose how a new file ranks. A file that exists keeps what
    it records: asking it for something else is an error, not a request quietly ignored."""
    if args.scorer is None and args.query_memory is None:
        return
    try:
        kind, memory, record, expansion = recorded_configuration(data)
    except (ValueError, RecursionError):
        return  # not a state file: loading it reports that
    wrong = []
    if args.scorer is not None and args.scorer != kind:
        wrong.append(f"--scorer {args.scorer} (the file ranks with {kind})")
    elif args.scorer is not None and not ranks_as_new(kind, record, path, network):
        wrong.append(f"--scorer {args.scorer} (the file's {kind} scorer has other settings)")
    if args.query_memory is not None and args.query_memory != memory:
        wrong.append(f"--query-memory {args.query_memory} (the file remembers {memory})")
    elif args.query_memory is not None and expansion != (memory == 0):
        # A program may have chosen expansion against what the memory recommends; such a
        # file ranks otherwise than one this option creates.
        wrong.append(f"--query-memory {args.query_memory} (the file remembers {memory} with "
                     f"query expansion {'on' if expansion else 'off'})")
    if wrong:
        raise CliError(f"state file {path} exists: {' and '.join(wrong)}; these options only "
                       "choose the configuration of a new state file")


@contextmanager
def creating(args: argparse.Namespace) -> Iterator[LockedState]:
    """:func:`writing` for the commands that create a missing file, with the configuration
    that --scorer and --query-memory ask for."""
    with writing(args.state, create=True, new=_new_network(args)) as state:
        if not state.created:
            check_configuration(args, args.state, args.state.read_bytes(), state.network)
        yield state


# The state file this command has saved, if any: an error after the save (its output could
# not be written) must not read as if nothing had changed.
_saved: Path | None = None


def commit(state: LockedState) -> None:
    global _saved
    try:
        state.save()
    except OSError as exc:
        raise CliError(f"cannot save state file {state.path}: {_reason(exc)}") from None
    _saved = state.path


def announce_created(state: LockedState) -> None:
    if state.created:
        print(f"{PROG}: created new state file {state.path}", file=sys.stderr)


# --------------------------------------------------------------------------------------------
# Output


def _json_value(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None  # JSON has no NaN or infinity; the state file writes them as null too
    return value


def emit_json(document: dict[str, Any], out: Any) -> None:
    print(json.dumps(document, indent=2, allow_nan=False), file=out)


def _result_json(rank: int, r: Any, explained: bool) -> dict[str, Any]:
    doc: dict[str, Any] = {
        "rank": rank,
        "agent": r.agent_name,
        "score": _json_value(r.final_score),
        "similarity": _json_value(r.raw_similarity),
        "endpoint": r.endpoint,
        "metadata": r.metadata,
        "explain": None,
    }
    if explained:
        doc["explain"] = {
            "similarity_band": [_json_value(r.similarity_lower), _json_value(r.similarity_upper)],
            "diameter": _json_value(r.diameter),
            "enzyme": _json_value(r.enzyme_score),
            "feedback": _json_value(r.feedback_factor),
        }
    return doc


def _stored(agent: Mapping[str, Any], key: str) -> float | int | None:
    """A routing value as a state file keeps it: a value that is not finite is saved as null."""
    value = agent[key]
    return value if math.isfinite(value) else None


# --------------------------------------------------------------------------------------------
# Commands


def cmd_add(args: argparse.Namespace, out: Any) -> int:
    _check_name(args.name)
    metadata = parse_metadata(args.meta or [])
    with creating(args) as state:
        network = state.network
        existed = args.name in network.agents()
        try:
            network.register(args.name, list(args.capabilities), endpoint=args.endpoint,
                             metadata=metadata)
        except ValueError as exc:
            raise CliError(f"cannot register {args.name!r}: {_reason(exc)}") from None
        commit(state)
    announce_created(state)
    count = len(args.capabilities)
    if args.json:
        emit_json({"agent": args.name, "replaced": existed, "capability_count": count,
                   "agent_count": network.agent_count, "state_created": state.created}, out)
    else:
        verb = "re-registered (routing state reset)" if existed else "registered"
        print(f"{verb} {printable(args.name)} with {count} capabilit{'y' if count == 1 else 'ies'}",
              file=out)
    return 0


def _shown(path: Path) -> str:
    # A file name need not be UTF-8; printing one that is not would fail after the import.
    return os.fsencode(path).decode("utf-8", "replace")


def cmd_import_cards(args: argparse.Namespace, out: Any) -> int:
    files = card_files(args.paths)
    err = sys.stderr
    show = len(files) >= PROGRESS_MIN_CARDS and isatty(err)
    imported: list[dict[str, Any]] = []
    # transient: the bar goes away when done, leaving only the report below it.
    with Progress(console=console(err), transient=True, disable=not show) as progress:
        # Read and check every card before touching the network: one bad card imports nothing.
        task = progress.add_task("reading cards", total=len(files))
        cards = []
        for path in files:
            cards.append(read_card(path))
            progress.advance(task)
        with creating(args) as state:
            network = state.network
            registered = set(network.agents())
            task = progress.add_task("registering", total=len(cards))
            seen: dict[str, Path] = {}
            for card in cards:
                network.register(card.name, card.capabilities, endpoint=card.endpoint,
                                 metadata=card.metadata)
                imported.append({"agent": card.name, "card": _shown(card.path),
                                 "capability_count": len(card.capabilities),
                                 "replaces": _shown(seen[card.name])
                                 if card.name in seen else None,
                                 # Registering again starts its routing state afresh.
                                 "was_registered": card.name in registered,
                                 "notes": card.notes})
                seen[card.name] = card.path
                progress.advance(task)
            commit(state)
    announce_created(state)
    if args.json:
        emit_json({"imported": imported, "agent_count": network.agent_count,
                   "state_created": state.created}, out)
        return 0
    for item in imported:
        extra = "".join(f"; {note}" for note in item["notes"])
        replaces = (f" (replaces the card from {printable(item['replaces'])})"
                    if item["replaces"]
                    else " (replaces the agent registered before, and what it learned)"
                    if item["was_registered"] else "")
        print(f"imported {item['agent']!r} from {printable(item['card'])} "
              f"({item['capability_count']} capability texts{extra}){replaces}", file=out)
    print(f"{len(seen)} agents imported; {network.agent_count} in {args.state}", file=out)
    return 0


def cmd_remove(args: argparse.Namespace, out: Any) -> int:
    names = list(dict.fromkeys(args.names))
    with writing(args.state) as state:
        network = state.network
        known = set(network.agents())
        unknown = [n for n in names if n not in known]
        if unknown:
            raise CliError(f"unknown agent {unknown[0]!r}")
        for name in names:
            network.deregister(name)
        commit(state)
    if args.json:
        emit_json({"removed": names, "agent_count": network.agent_count}, out)
    else:
        for name in names:
            print(f"removed {printable(name)}", file=out)
        print(f"{network.agent_count} agents left in {args.state}", file=out)
    return 0


def cmd_query(args: argparse.Namespace, out: Any) -> int:
    text = " ".join(args.text)
    filters = parse_filters(args.filter or [])
    network = read_network(args.state)
    response = None
    # One result beyond the limit tells whether more agents matched.
    if args.confidence:
        response = network.discover(text, filters=filters, with_confidence=True,
                                    limit=args.limit + 1)
        results = list(response.results)
    else:
        results = network.discover(text, filters=filters, explain=args.explain,
                                   limit=args.limit + 1)
    more = len(results) > args.limit
    results = results[: args.limit]
    if args.json:
        confidence = None
        if response is not None:
            below = response.best_below_threshold
            confidence = {
                "level": response.confidence,
                "dissenting_kernel": response.dissenting_kernel,
                "alternative_agents": list(response.alternative_agents),
                "recommended_parallelism": response.recommended_parallelism,
                "closest_below_threshold": None if below is None else
                {"agent": below[0], "similarity": _json_value(below[1])},
            }
        emit_json({"query": text,
                   "results": [_result_json(i, r, args.explain)
                               for i, r in enumerate(results, 1)],
                   "more": more, "confidence": confidence}, out)
        return 0
    if response is not None:
        print(confidence_line(response), file=out)
    if results:
        print_table(out, explained_table(results) if args.explain else results_table(results))
        if more:
            print("more agents matched; raise --limit to see them", file=out)
    else:
        message = "no agent matched"
        if response is not None and response.best_below_threshold is not None:
            name, similarity = response.best_below_threshold
            message += (f"; closest candidate: {printable(name)} (similarity {fmt_float(similarity)}), "
                        "filtered out or below the similarity threshold")
        print(message, file=out)
    return 0


def cmd_feedback(args: argparse.Namespace, out: Any) -> int:
    with writing(args.state) as state:
        network = state.network
        if args.name not in network.agents():
            raise CliError(f"unknown agent {args.name!r}")
        # A blank query is no query, as for the MCP server: nothing to remember or match.
        query = args.query if args.query and args.query.strip() else None
        if args.outcome == "success":
            network.record_success(args.name, query=query)
        else:
            network.record_failure(args.name, query=query)
        commit(state)
        agent = network.routing_state(args.name)
    values = {"diameter": _stored(agent, "diameter"), "tau": _stored(agent, "tau"),
              "consecutive_failures": _stored(agent, "consecutive_failures")}
    if args.json:
        emit_json({"agent": args.name, "outcome": args.outcome, "query": query,
                   **{k: _json_value(v) for k, v in values.items()}}, out)
    else:
        print(f"recorded {args.outcome} for {printable(args.name)}: "
              f"diameter {fmt_number(values['diameter'])}, tau {fmt_number(values['tau'])}, "
              f"consecutive failures {fmt_number(values['consecutive_failures'])}", file=out)
    return 0


def cmd_tick(args: argparse.Namespace, out: Any) -> int:
    with writing(args.state) as state:
        state.network.tick()
        commit(state)
    count = state.network.agent_count
    if args.json:
        emit_json({"agent_count": count}, out)
    else:
        print(f"applied one decay step to {count} agents", file=out)
    return 0


def cmd_agents(args: argparse.Namespace, out: Any) -> int:
    network = read_network(args.state)
    listing = []
    for name in network.agents():
        agent = network.routing_state(name)
        listing.append({
            "agent": name,
            "diameter": _stored(agent, "diameter"),
            "tau": _stored(agent, "tau"),
            "forwards": agent["forwards"],
            "failures": agent["consecutive_failures"],
            "feedback": agent["feedback"],
            "endpoint": agent["endpoint"],
        })
    if args.json:
        emit_json({"agents": [{k: _json_value(v) for k, v in a.items()} for a in listing]}, out)
        return 0
    if not listing:
        print("no agents", file=out)
        return 0
    rows = [(a["agent"], fmt_number(a["diameter"]), fmt_number(a["tau"]),
             fmt_number(a["forwards"]), fmt_number(a["failures"]), fmt_number(a["feedback"]),
             a["endpoint"] or "-") for a in listing]
    headers = ["agent", "diameter", "tau", "forwards", "failures", "feedback", "endpoint"]
    print_table(out, table(headers, rows, "lrrrrrl"))
    return 0


def cmd_drift(args: argparse.Namespace, out: Any) -> int:
    network = read_network(args.state)
    reports = network.detect_drift(threshold=args.threshold, min_samples=args.min_samples)
    if args.json:
        emit_json({"threshold": _json_value(args.threshold), "min_samples": args.min_samples,
                   "agents": [{"agent": r["agent_name"], "alignment": _json_value(r["alignment"]),
                               "samples": r["sample_count"], "drifted": r["drifted"]}
                              for r in reports]}, out)
        return 0
    if not reports:
        print(f"no agent has {args.min_samples} or more successful queries with feedback",
              file=out)
        return 0
    rows = [
        (r["agent_name"], fmt_float(r["alignment"]), r["sample_count"],
         "DRIFTED" if r["drifted"] else "ok")
        for r in reports
    ]
    print_table(out, table(["agent", "alignment", "samples", "status"], rows, "lrrl"))
    return 0


# --------------------------------------------------------------------------------------------
# Tools for language-model applications: the MCP server and tool-definition import


def cmd_mcp(args: argparse.Namespace, out: Any) -> int:
    try:
        from kova_discovery import mcp_server
    except ImportError as exc:
        raise CliError(f"the mcp command needs the mcp package ({_reason(exc)}); install it "
                       "with: pip install 'kova_discovery[mcp]'") from None
    try:
        data = args.state.read_bytes()
    except OSError:
        pass  # none yet, or unreadable: every call reports that
    else:
        check_configuration(args, args.state, data)
    mcp_server.serve(args.state, lock_timeout=args.lock_timeout, new_network=_new_network(args))
    return 0


MAX_TOOL_FILE_BYTES = 256 << 20


_LINE_ENDS = re.compile(r"\r\n|\r|\n")


def read_tool_file(path: Path) -> tuple[list[Any], list[int] | None]:
    """Tool definitions from a JSON list, an MCP ``tools/list`` result (``{"tools": [...]}``)
    or JSON Lines (one definition a line), with the line of each definition for JSON Lines
    (``None`` otherwise)."""
    try:
        # A byte-order mark (Notepad, PowerShell) is accepted, as card files accept it.
        text = read_regular_file(path, MAX_TOOL_FILE_BYTES).decode("utf-8-sig")
    except (OSError, UnicodeDecodeError) as exc:
        raise CliError(f"{path}: cannot read: {_reason(exc)}") from None
    except ValueError as exc:
        raise CliError(f"{path}: the file is {exc}") from None
    if not text.strip():
        # Most often a download that failed: importing nothing must not look like success.
        raise CliError(f"{path}: the file is empty")
    lines: list[int] | None = None
    # ValueError covers numbers too long to convert, RecursionError nesting too deep.
    try:
        data: Any = json.loads(text)
    except json.JSONDecodeError as whole:
        data, lines = [], []
        # Lines end at CR, LF or CRLF, which JSON strings cannot hold raw; not at U+2028,
        # U+2029 or U+0085 as splitlines() would, which they may hold as they are.
        for number, line in enumerate(_LINE_ENDS.split(text), 1):
            if not line.strip():
                continue
            lines.append(number)
            try:
                data.append(json.loads(line))
            except (ValueError, RecursionError) as exc:
                # A first line that is no document says the file is one, and broken.
                if not data:
                    raise CliError(f"{path}: malformed JSON: {_reason(whole)}") from None
                raise CliError(f"{path}: line {number}: malformed JSON: {_reason(exc)}") from None
    except (ValueError, RecursionError) as exc:
        raise CliError(f"{path}: malformed JSON: {_reason(exc)}") from None
    if isinstance(data, dict) and isinstance(data.get("result"), dict):
        data = data["result"]  # a whole JSON-RPC response
    if isinstance(data, dict) and isinstance(data.get("tools"), list):
        data = data["tools"]
    if isinstance(data, dict) and ("name" in data or data.get("type") == "function"):
        data = [data]  # JSON Lines of one line: a single definition (OpenAI's nests its name)
    if not isinstance(data, list):
        raise CliError(f"{path}: expected a list of tool definitions or an object with "
                       "a \"tools\" list")
    return data, lines


def cmd_import_tools(args: argparse.Namespace, out: Any) -> int:
    from kova_discovery import tools

    definitions, lines = read_tool_file(args.file)

    def where(index: int) -> str:
        return f"line {lines[index]}" if lines is not None else f"#{index}"

    try:
        prepared = tools._prepare_all(definitions, args.source, where)
    except (TypeError, ValueError) as exc:
        raise CliError(f"{args.file}: {_reason(exc)}") from None
    with creating(args) as state:
        network = state.network
        existing = set(network.agents())
        with _progress(len(prepared), f"importing {args.file.name}") as advance:
            for start in range(0, len(prepared), _IMPORT_BATCH):
                batch = prepared[start:start + _IMPORT_BATCH]
                tools.register_prepared(network, batch)
                advance(len(batch))
        commit(state)
    announce_created(state)
    replaced = sum(1 for tool in prepared if tool.name in existing)
    if args.json:
        emit_json({"imported": len(prepared), "replaced": replaced,
                   "agent_count": network.agent_count, "state_created": state.created}, out)
        return 0
    note = f" ({replaced} replaced)" if replaced else ""
    print(f"{len(prepared)} tools imported{note}; {network.agent_count} agents in {args.state}",
          file=out)
    return 0


# Registration of a few hundred tools is far below what a person notices; the bar moves in
# steps of this many and shows only for files large enough to take a moment.
_IMPORT_BATCH = 200
_PROGRESS_MIN = 2000


@contextmanager
def _progress(total: int, label: str) -> Iterator[Callable[[int], None]]:
    err = sys.stderr
    show = total >= _PROGRESS_MIN and isatty(err)
    with Progress(console=console(err), transient=True, disable=not show) as bar:
        task = bar.add_task(label, total=total)
        yield lambda n: bar.advance(task, n)


def cmd_demo(args: argparse.Namespace, out: Any) -> int:
    from kova_discovery import demo

    return demo.run(out)


# --------------------------------------------------------------------------------------------
# Argument parsing


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # argparse prints the whole usage block; one line (plus --help) is enough here.
        self.exit(2, f"{self.prog}: error: {' '.join(message.split())}\n")


# The largest count every option hands to the engine takes (a signed 64-bit word).
_LARGEST_COUNT = 2**63 - 1


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number >= 0, got {value}")
    if value > _LARGEST_COUNT:
        raise argparse.ArgumentTypeError(f"expected a number <= {_LARGEST_COUNT}, got {value}")
    return value


def _positive_int(text: str) -> int:
    value = _non_negative_int(text)
    if value == 0:
        raise argparse.ArgumentTypeError("expected a number >= 1, got 0")
    return value


def _float(text: str) -> float:
    if not _NUMBER.match(text.strip()):
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}")
    value = float(text)
    if not math.isfinite(value):  # a NaN timeout would never run out
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Register agents, discover them by capability and teach the ranking "
        "with feedback. The network lives in a JSON state file.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}",
                        help="print the version and exit")
    state_help = (f"state file (default: {DEFAULT_STATE}); only add, import-cards, "
                  "import-tools and the MCP server's register_agent create it")
    json_help = "print one JSON document instead of text"
    parser.add_argument("--state", type=Path, default=Path(DEFAULT_STATE), metavar="FILE",
                        help=state_help)
    parser.add_argument("--json", action="store_true", help=json_help)
    # Accept the options after the command name too, without overriding a value given before.
    common = _Parser(add_help=False)
    common.add_argument("--state", type=Path, default=argparse.SUPPRESS, metavar="FILE",
                        help=state_help)
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help=json_help)
    # The MCP server speaks JSON-RPC on stdout: it takes the state file but not --json.
    state_only = _Parser(add_help=False)
    state_only.add_argument("--state", type=Path, default=argparse.SUPPRESS, metavar="FILE",
                            help=state_help)
    # The commands that create a missing state file choose how the new one ranks.
    creates = _Parser(add_help=False)
    creates.add_argument("--scorer", choices=SCORER_KINDS, metavar="{" + ",".join(SCORER_KINDS)
                         + "}", help=f"how a new state file ranks (default: {DEFAULT_SCORER}); "
                         "an existing file must record the same")
    creates.add_argument("--query-memory", type=_non_negative_int, metavar="N",
                         help="queries a new state file remembers per agent from successes "
                         f"(default: {DEFAULT_QUERY_MEMORY}; 0: none)")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                parser_class=_Parser)

    def command(name: str, summary: str, func: Any, **kwargs: Any) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=summary, description=summary[0].upper() + summary[1:] + ".",
                           **kwargs)
        p.set_defaults(func=func)
        return p

    p = command("add", "register an agent (replaces one of the same name)", cmd_add,
                parents=[common, creates])
    p.add_argument("name", metavar="NAME", help="the agent's unique name")
    p.add_argument("capabilities", nargs="+", metavar="CAPABILITY",
                   help="free-text capability description")
    p.add_argument("--endpoint", metavar="URL", help="where the agent is invoked")
    p.add_argument("--meta", action="extend", nargs="+", metavar="KEY=VALUE",
                   help="metadata entries, matched by query --filter")

    p = command("import-cards", "register agents from A2A agent-card JSON files or directories",
                cmd_import_cards, parents=[common, creates])
    p.add_argument("paths", nargs="+", metavar="PATH",
                   help="a card file, or a directory whose *.json files are cards")

    p = command("remove", "remove agents with their routing state and feedback", cmd_remove,
                parents=[common])
    p.add_argument("names", nargs="+", metavar="NAME", help="a registered agent's name")

    p = command("query", "rank agents for a query", cmd_query, parents=[common])
    p.add_argument("text", nargs="+", metavar="TEXT", help="query text (words are joined)")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--explain", action="store_true", help="show the scoring breakdown")
    mode.add_argument("--confidence", action="store_true",
                      help="show how far the reasoning kernels agree")
    p.add_argument("--filter", action="append", metavar="EXPR",
                   help="metadata condition: key=value, key<number, key>number, "
                   "key~substring or key:a,b (one of); repeatable, all must hold")
    p.add_argument("--limit", type=_positive_int, default=10, metavar="N",
                   help="show at most N agents, best first (default: 10)")

    p = command("feedback", "record the outcome of an interaction with an agent", cmd_feedback,
                parents=[common])
    p.add_argument("name", metavar="NAME", help="the agent the outcome is about")
    p.add_argument("outcome", choices=["success", "failure"], help="how the interaction went")
    p.add_argument("--query", metavar="TEXT",
                   help="the query that led to the agent; similar queries learn from it")

    command("tick", "apply one step of temporal decay", cmd_tick, parents=[common])
    command("agents", "list agents with their routing state", cmd_agents, parents=[common])

    p = command("drift", "report agents whose successful queries left their capabilities",
                cmd_drift, parents=[common])
    p.add_argument("--threshold", type=_float, default=0.3, metavar="X",
                   help="alignment below which an agent has drifted (default: 0.3)")
    p.add_argument("--min-samples", type=_non_negative_int, default=5, metavar="N",
                   help="successful queries needed before an agent is judged (default: 5)")

    p = command("import-tools", "register tool definitions (OpenAI, Anthropic or MCP) from a "
                "JSON file", cmd_import_tools, parents=[common, creates])
    p.add_argument("file", type=Path, metavar="FILE",
                   help="a JSON list of definitions, an MCP tools/list result or JSON Lines")
    p.add_argument("--source", metavar="NAME",
                   help="recorded as the tools' tool_source metadata (a server name, say)")

    p = command("mcp", "serve the network to MCP clients over stdio", cmd_mcp,
                parents=[state_only, creates])
    p.add_argument("--lock-timeout", type=_float, default=10.0, metavar="SECONDS",
                   help="how long a change waits for another writer's lock (default: 10)")

    command("demo", "run a guided tour on a built-in registry of agents", cmd_demo)
    return parser


def _fail(message: str) -> int:
    print(f"{PROG}: error: {printable(' '.join(message.split()))}", file=sys.stderr)
    return 1


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.json and args.command in ("demo", "mcp"):
        parser.error(f"argument --json: not allowed with {args.command}, which "
                     + ("is a guided tour" if args.command == "demo" else "speaks MCP on stdout"))
    out = sys.stdout
    global _saved
    _saved = None
    try:
        check_text_arguments(args)
        return int(args.func(args, out))
    except (CliError, CardError) as exc:
        return _fail(str(exc))
    except BrokenPipeError:
        # The reader (head, less) went away: nothing left to say, but that the change stands.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        if _saved is not None:
            with suppress(OSError):  # stderr may be the same closed pipe
                _fail(f"the change was saved to {printable(_shown(_saved))}, but its output "
                      "went unread")
        return 1
    except OSError as exc:
        if _saved is None:
            return _fail(f"internal error: {type(exc).__name__}: {_reason(exc)}")
        return _fail(f"the change was saved to {printable(_shown(_saved))}, but its output "
                     f"could not be written: {_reason(exc)}")
    except KeyboardInterrupt:
        return 130
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - includes the binding's internal error type
        return _fail(f"internal error: {type(exc).__name__}: {_reason(exc)}")
