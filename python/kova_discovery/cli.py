"""The ``kova-discovery`` command line: drive a discovery network kept in a state file.

Every command loads the state file (or starts an empty network when the file does not exist),
does its work and, when it changed the network, saves it back. The engine writes the file
through a temporary file and a rename, so a failed command never leaves a damaged file behind;
and every check on the command's input runs before anything is registered or recorded, so a
rejected command leaves the file exactly as it was.

What the state file keeps is what the engine persists: agents, their routing state, per-query
feedback and co-occurrence statistics. It does not keep circuit-breaker states or the
exploration schedule; each command starts with every circuit closed and exploration at its
initial value.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, NoReturn

PROG = "kova-discovery"
DEFAULT_STATE = "kova-state.json"

# The engine refuses longer names; checking here turns that into an ordinary input error.
MAX_NAME_BYTES = 256


class CliError(Exception):
    """Bad input or an unusable state file: reported as one line, exit status 1."""


# --------------------------------------------------------------------------------------------
# Plain-text tables (shared with the demo)


def _cell(value: object) -> str:
    text = value if isinstance(value, str) else str(value)
    # Control characters (a newline in an agent name, say) would break the table's rows.
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else " " for ch in text)


def fmt_float(value: float, digits: int = 3) -> str:
    if math.isnan(value):
        return "nan"
    return f"{value:.{digits}f}"


def render_table(headers: Sequence[str], rows: Iterable[Sequence[object]], align: str = "") -> str:
    """Render rows as aligned columns; ``align`` holds one 'l' or 'r' per column (default 'l')."""
    cells = [[_cell(v) for v in row] for row in rows]
    widths = [len(h) for h in headers]
    for row in cells:
        for i, text in enumerate(row):
            widths[i] = max(widths[i], len(text))
    align = align.ljust(len(headers), "l")

    def line(values: Sequence[str]) -> str:
        parts = [
            v.rjust(widths[i]) if align[i] == "r" else v.ljust(widths[i])
            for i, v in enumerate(values)
        ]
        return "  ".join(parts).rstrip()

    out = [line(list(headers)), line(["-" * w for w in widths])]
    out.extend(line(row) for row in cells)
    return "\n".join(out)


def results_table(results: Sequence[Any], meta_keys: Sequence[str] = ()) -> str:
    """Rank, agent, score and similarity of plain discovery results, then either the chosen
    metadata entries or, by default, the endpoint."""
    rows = []
    for i, r in enumerate(results, 1):
        row: list[object] = [i, r.agent_name, fmt_float(r.score), fmt_float(r.similarity)]
        if meta_keys:
            metadata = r.metadata
            row.extend(metadata.get(k, "-") for k in meta_keys)
        else:
            row.append(r.endpoint or "-")
        rows.append(row)
    extra = list(meta_keys) or ["endpoint"]
    return render_table(["#", "agent", "score", "similarity", *extra], rows, "rlrr")


def explained_table(results: Sequence[Any]) -> str:
    """The full scoring breakdown of explained results."""
    rows = [
        (
            i,
            r.agent_name,
            fmt_float(r.final_score),
            fmt_float(r.raw_similarity),
            f"[{fmt_float(r.similarity_lower)}, {fmt_float(r.similarity_upper)}]",
            fmt_float(r.diameter),
            fmt_float(r.enzyme_score),
            f"{r.feedback_factor:+.3f}",
        )
        for i, r in enumerate(results, 1)
    ]
    headers = ["#", "agent", "score", "similarity", "95% band", "diameter", "enzyme", "feedback"]
    return render_table(headers, rows, "rlrrlrrr")


def confidence_line(response: Any) -> str:
    text = f"confidence: {response.confidence}"
    if response.dissenting_kernel:
        text += f" (dissenting kernel: {response.dissenting_kernel})"
    if response.alternative_agents:
        text += f" (alternatives: {', '.join(response.alternative_agents)})"
    return text + f"; recommended parallelism: {response.recommended_parallelism}"


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
        metadata[key] = value
    return metadata


def check_name(name: str, what: str = "agent name") -> None:
    if not name:
        raise CliError(f"{what} is empty")
    size = len(name.encode("utf-8", "surrogatepass"))
    if size > MAX_NAME_BYTES:
        raise CliError(f"{what} is {size} bytes long; at most {MAX_NAME_BYTES} are allowed")


# --------------------------------------------------------------------------------------------
# A2A agent cards


class Card:
    """One agent card read from a file, ready to register."""

    def __init__(self, path: Path, name: str, capabilities: list[str], endpoint: str | None,
                 metadata: dict[str, str]) -> None:
        self.path = path
        self.name = name
        self.capabilities = capabilities
        self.endpoint = endpoint
        self.metadata = metadata


def card_files(paths: Sequence[str]) -> list[Path]:
    """Expand directories into their ``*.json`` files (sorted); keep files as given."""
    files: list[Path] = []
    for raw in paths:
        path = Path(raw)
        if path.is_dir():
            found = sorted(p for p in path.glob("*.json") if p.is_file())
            if not found:
                raise CliError(f"{raw}: no .json card files in this directory")
            files.extend(found)
        elif path.exists():
            files.append(path)
        else:
            raise CliError(f"{raw}: no such file or directory")
    return files


def _text(value: Any) -> str | None:
    return value.strip() if isinstance(value, str) and value.strip() else None


def card_endpoint(card: dict[str, Any]) -> str | None:
    """The card's ``url``, or the first interface URL of cards that list interfaces instead."""
    url = _text(card.get("url"))
    if url:
        return url
    for key in ("supportedInterfaces", "additionalInterfaces"):
        interfaces = card.get(key)
        if isinstance(interfaces, list):
            for interface in interfaces:
                if isinstance(interface, dict) and _text(interface.get("url")):
                    return str(interface["url"]).strip()
    return None


def card_metadata(card: dict[str, Any], path: Path) -> dict[str, str]:
    metadata = {"protocol": "a2a", "card": path.name}
    version = card.get("version")
    if isinstance(version, (str, int, float)) and not isinstance(version, bool):
        metadata["version"] = str(version)
    transport = _text(card.get("preferredTransport"))
    if transport:
        metadata["transport"] = transport
    provider = card.get("provider")
    if isinstance(provider, dict) and _text(provider.get("organization")):
        metadata["provider"] = str(provider["organization"]).strip()
    tags: list[str] = []
    skills = card.get("skills")
    if isinstance(skills, list):
        for skill in skills:
            if isinstance(skill, dict) and isinstance(skill.get("tags"), list):
                tags.extend(t for t in skill["tags"] if isinstance(t, str) and t not in tags)
    if tags:
        metadata["tags"] = ",".join(tags)
    return metadata


def read_card(path: Path) -> Card:
    from kova_discovery._native import capabilities_from_a2a_rust

    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise CliError(f"{path}: cannot read card: {_reason(exc)}") from None
    try:
        card = json.loads(text)
    except (json.JSONDecodeError, RecursionError) as exc:
        raise CliError(f"{path}: malformed card: {_reason(exc)}") from None
    if not isinstance(card, dict):
        raise CliError(f"{path}: malformed card: expected a JSON object")
    capabilities = list(capabilities_from_a2a_rust(card))
    if not capabilities:
        raise CliError(f"{path}: the card has no name, description or skills to index")
    name = _text(card.get("name")) or path.stem
    check_name(name, f"{path}: agent name")
    return Card(path, name, capabilities, card_endpoint(card), card_metadata(card, path))


# --------------------------------------------------------------------------------------------
# State file


def load_network(state: Path) -> Any:
    from kova_discovery._native import LocalNetwork

    if not state.exists():
        return LocalNetwork()
    try:
        return LocalNetwork.load(str(state))
    except OSError as exc:
        raise CliError(f"cannot load state file {state}: {_reason(exc)}") from None


def save_network(network: Any, state: Path) -> None:
    try:
        network.save(str(state))
    except OSError as exc:
        raise CliError(f"cannot save state file {state}: {_reason(exc)}") from None


def read_state_json(state: Path) -> dict[str, Any]:
    """The state file as plain JSON, for listings that need routing values."""
    try:
        data = json.loads(state.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError, RecursionError) as exc:
        raise CliError(f"cannot read state file {state}: {_reason(exc)}") from None
    if not isinstance(data, dict) or not isinstance(data.get("agents"), list):
        raise CliError(f"cannot read state file {state}: no \"agents\" list")
    version = data.get("version")
    if not isinstance(version, int) or isinstance(version, bool) or not 0 <= version <= 3:
        raise CliError(f"cannot read state file {state}: unsupported version {version!r}")
    return data


def _reason(exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())


def _number(value: Any, digits: int = 3) -> str:
    if isinstance(value, bool) or value is None:
        return "-"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return fmt_float(value, digits)
    return "?"


# --------------------------------------------------------------------------------------------
# Commands


def cmd_add(args: argparse.Namespace, out: Any) -> int:
    check_name(args.name)
    metadata = parse_metadata(args.meta or [])
    network = load_network(args.state)
    existed = args.name in network.agents()
    try:
        network.register(args.name, list(args.capabilities), endpoint=args.endpoint,
                         metadata=metadata)
    except ValueError as exc:
        raise CliError(f"cannot register {args.name!r}: {_reason(exc)}") from None
    save_network(network, args.state)
    count = len(args.capabilities)
    verb = "re-registered (routing state reset)" if existed else "registered"
    print(f"{verb} {args.name} with {count} capabilit{'y' if count == 1 else 'ies'}", file=out)
    return 0


def cmd_import_cards(args: argparse.Namespace, out: Any) -> int:
    # Read and check every card before touching the network: one bad card imports nothing.
    cards = [read_card(path) for path in card_files(args.paths)]
    network = load_network(args.state)
    seen: dict[str, Path] = {}
    for card in cards:
        network.register(card.name, card.capabilities, endpoint=card.endpoint,
                         metadata=card.metadata)
        note = f" (replaces the card from {seen[card.name]})" if card.name in seen else ""
        seen[card.name] = card.path
        print(f"imported {card.name!r} from {card.path} "
              f"({len(card.capabilities)} capability texts){note}", file=out)
    save_network(network, args.state)
    print(f"{len(seen)} agents imported; {network.agent_count} in {args.state}", file=out)
    return 0


def cmd_query(args: argparse.Namespace, out: Any) -> int:
    text = " ".join(args.text)
    filters = parse_filters(args.filter or [])
    existed = args.state.exists()
    network = load_network(args.state)
    if args.explain:
        results = network.discover(text, filters=filters, explain=True)
        body = explained_table(results) if results else None
        response = None
    elif args.confidence:
        response = network.discover(text, filters=filters, with_confidence=True)
        results = response.results
        print(confidence_line(response), file=out)
        body = results_table(results) if results else None
    else:
        results = network.discover(text, filters=filters)
        body = results_table(results) if results else None
        response = None
    if body is None:
        message = "no agent matched"
        if response is not None and response.best_below_threshold is not None:
            name, similarity = response.best_below_threshold
            message += (f"; closest candidate: {name} (similarity {fmt_float(similarity)}), "
                        "filtered out or below the similarity threshold")
        print(message, file=out)
    else:
        print(body, file=out)
    # Discovery counts forwards for the agents it routes to, which the load-balancing kernel
    # reads later: keep them, but never create a state file just for an empty network.
    if existed:
        save_network(network, args.state)
    return 0


def cmd_feedback(args: argparse.Namespace, out: Any) -> int:
    network = load_network(args.state)
    if args.name not in network.agents():
        raise CliError(f"unknown agent {args.name!r}")
    if args.outcome == "success":
        network.record_success(args.name, query=args.query)
    else:
        network.record_failure(args.name, query=args.query)
    save_network(network, args.state)
    for agent in read_state_json(args.state)["agents"]:
        if isinstance(agent, dict) and agent.get("name") == args.name:
            print(f"recorded {args.outcome} for {args.name}: "
                  f"diameter {_number(agent.get('diameter'))}, tau {_number(agent.get('tau'))}, "
                  f"consecutive failures {_number(agent.get('consecutive_pulse_timeouts'))}",
                  file=out)
            break
    return 0


def cmd_tick(args: argparse.Namespace, out: Any) -> int:
    network = load_network(args.state)
    network.tick()
    save_network(network, args.state)
    print(f"applied one decay step to {network.agent_count} agents", file=out)
    return 0


def cmd_agents(args: argparse.Namespace, out: Any) -> int:
    if not args.state.exists():
        print(f"no agents ({args.state} does not exist yet)", file=out)
        return 0
    agents = read_state_json(args.state)["agents"]
    rows = []
    for agent in agents:
        if not isinstance(agent, dict):
            continue
        feedback = agent.get("feedback")
        rows.append((
            _cell(agent.get("name", "?")),
            _number(agent.get("diameter")),
            _number(agent.get("tau"), 4),
            _number(agent.get("forwards_count")),
            _number(agent.get("consecutive_pulse_timeouts")),
            len(feedback) if isinstance(feedback, list) else "-",
            agent.get("endpoint") or "-",
        ))
    if not rows:
        print("no agents", file=out)
        return 0
    headers = ["agent", "diameter", "tau", "forwards", "failures", "feedback", "endpoint"]
    print(render_table(headers, rows, "lrrrrrl"), file=out)
    return 0


def cmd_drift(args: argparse.Namespace, out: Any) -> int:
    network = load_network(args.state)
    reports = network.detect_drift(threshold=args.threshold, min_samples=args.min_samples)
    if not reports:
        print(f"no agent has {args.min_samples} or more successful queries with feedback",
              file=out)
        return 0
    rows = [
        (r["agent_name"], fmt_float(r["alignment"]), r["sample_count"],
         "DRIFTED" if r["drifted"] else "ok")
        for r in reports
    ]
    print(render_table(["agent", "alignment", "samples", "status"], rows, "lrrl"), file=out)
    return 0


# --------------------------------------------------------------------------------------------
# Tools for language-model applications: the MCP server and tool-definition import


def cmd_mcp(args: argparse.Namespace, out: Any) -> int:
    try:
        from kova_discovery import mcp_server
    except ImportError as exc:
        raise CliError(f"the mcp command needs the mcp package ({_reason(exc)}); install it "
                       "with: pip install 'kova_discovery[mcp]'") from None
    mcp_server.serve(args.state, lock_timeout=args.lock_timeout)
    return 0


def read_tool_file(path: Path) -> list[Any]:
    """Tool definitions from a JSON list, an MCP ``tools/list`` result (``{"tools": [...]}``)
    or JSON Lines (one definition a line)."""
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise CliError(f"{path}: cannot read: {_reason(exc)}") from None
    try:
        data: Any = json.loads(text)
    except json.JSONDecodeError as whole:
        try:
            data = [json.loads(line) for line in text.splitlines() if line.strip()]
        except json.JSONDecodeError:
            raise CliError(f"{path}: malformed JSON: {_reason(whole)}") from None
    except RecursionError as exc:
        raise CliError(f"{path}: malformed JSON: {_reason(exc)}") from None
    if isinstance(data, dict) and isinstance(data.get("result"), dict):
        data = data["result"]  # a whole JSON-RPC response
    if isinstance(data, dict) and isinstance(data.get("tools"), list):
        data = data["tools"]
    if not isinstance(data, list):
        raise CliError(f"{path}: expected a list of tool definitions or an object with "
                       "a \"tools\" list")
    return data


def cmd_import_tools(args: argparse.Namespace, out: Any) -> int:
    from kova_discovery import tools

    definitions = read_tool_file(args.file)
    try:
        prepared = tools.prepare_tools(definitions, args.source)
    except (TypeError, ValueError) as exc:
        raise CliError(f"{args.file}: {_reason(exc)}") from None
    network = load_network(args.state)
    existing = set(network.agents())
    with _progress(len(prepared), f"importing {args.file.name}", out) as advance:
        for start in range(0, len(prepared), _IMPORT_BATCH):
            batch = prepared[start:start + _IMPORT_BATCH]
            tools.register_prepared(network, batch)
            advance(len(batch))
    save_network(network, args.state)
    replaced = sum(1 for tool in prepared if tool.name in existing)
    note = f" ({replaced} replaced)" if replaced else ""
    print(f"{len(prepared)} tools imported{note}; {network.agent_count} agents in {args.state}",
          file=out)
    return 0


# Registration of a few hundred tools is far below what a person notices; the bar moves in
# steps of this many and shows only for files large enough to take a moment.
_IMPORT_BATCH = 200
_PROGRESS_MIN = 2000


@contextlib.contextmanager
def _progress(total: int, label: str, out: Any) -> Iterator[Callable[[int], None]]:
    if total < _PROGRESS_MIN or not getattr(out, "isatty", lambda: False)():
        yield lambda _n: None
        return
    from rich.progress import Progress

    with Progress(transient=True) as bar:
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


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a number >= 0, got {value}")
    return value


def _float(text: str) -> float:
    if not _NUMBER.match(text.strip()):
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}")
    return float(text)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Register agents, discover them by capability and teach the ranking "
        "with feedback. The network lives in a JSON state file.",
    )
    state_help = f"state file (default: {DEFAULT_STATE}; created when missing)"
    parser.add_argument("--state", type=Path, default=Path(DEFAULT_STATE), metavar="FILE",
                        help=state_help)
    # Accept --state after the command name too, without overriding a value given before it.
    common = _Parser(add_help=False)
    common.add_argument("--state", type=Path, default=argparse.SUPPRESS, metavar="FILE",
                        help=state_help)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                parser_class=_Parser)

    p = sub.add_parser("add", parents=[common], help="register an agent (replaces one of the "
                       "same name)")
    p.add_argument("name", metavar="NAME")
    p.add_argument("capabilities", nargs="+", metavar="CAPABILITY",
                   help="free-text capability description")
    p.add_argument("--endpoint", metavar="URL", help="where the agent is invoked")
    p.add_argument("--meta", action="extend", nargs="+", metavar="KEY=VALUE",
                   help="metadata entries, matched by query --filter")
    p.set_defaults(func=cmd_add)

    p = sub.add_parser("import-cards", parents=[common],
                       help="register agents from A2A agent-card JSON files or directories")
    p.add_argument("paths", nargs="+", metavar="PATH")
    p.set_defaults(func=cmd_import_cards)

    p = sub.add_parser("query", parents=[common], help="rank agents for a query")
    p.add_argument("text", nargs="+", metavar="TEXT", help="query text (words are joined)")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--explain", action="store_true", help="show the scoring breakdown")
    mode.add_argument("--confidence", action="store_true",
                      help="show how far the reasoning kernels agree")
    p.add_argument("--filter", action="append", metavar="EXPR",
                   help="metadata condition: key=value, key<number, key>number, "
                   "key~substring or key:a,b (one of); repeatable, all must hold")
    p.set_defaults(func=cmd_query)

    p = sub.add_parser("feedback", parents=[common],
                       help="record the outcome of an interaction with an agent")
    p.add_argument("name", metavar="NAME")
    p.add_argument("outcome", choices=["success", "failure"])
    p.add_argument("--query", metavar="TEXT",
                   help="the query that led to the agent; similar queries learn from it")
    p.set_defaults(func=cmd_feedback)

    p = sub.add_parser("tick", parents=[common], help="apply one step of temporal decay")
    p.set_defaults(func=cmd_tick)

    p = sub.add_parser("agents", parents=[common],
                       help="list agents with their routing state")
    p.set_defaults(func=cmd_agents)

    p = sub.add_parser("drift", parents=[common],
                       help="report agents whose successful queries left their capabilities")
    p.add_argument("--threshold", type=_float, default=0.3, metavar="X",
                   help="alignment below which an agent has drifted (default: 0.3)")
    p.add_argument("--min-samples", type=_non_negative_int, default=5, metavar="N",
                   help="successful queries needed before an agent is judged (default: 5)")
    p.set_defaults(func=cmd_drift)

    p = sub.add_parser("import-tools", parents=[common],
                       help="register tool definitions (OpenAI, Anthropic or MCP) from a "
                       "JSON file")
    p.add_argument("file", type=Path, metavar="FILE",
                   help="a JSON list of definitions, an MCP tools/list result or JSON Lines")
    p.add_argument("--source", metavar="NAME",
                   help="recorded as the tools' tool_source metadata (a server name, say)")
    p.set_defaults(func=cmd_import_tools)

    p = sub.add_parser("mcp", parents=[common],
                       help="serve the network to MCP clients over stdio")
    p.add_argument("--lock-timeout", type=_float, default=10.0, metavar="SECONDS",
                   help="how long a change waits for another writer's lock (default: 10)")
    p.set_defaults(func=cmd_mcp)

    p = sub.add_parser("demo", help="run a guided tour on a built-in registry of agents")
    p.set_defaults(func=cmd_demo)
    return parser


def _fail(message: str) -> int:
    print(f"{PROG}: error: {' '.join(message.split())}", file=sys.stderr)
    return 1


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    out = sys.stdout
    try:
        return int(args.func(args, out))
    except CliError as exc:
        return _fail(str(exc))
    except BrokenPipeError:
        # The reader (head, less) went away: nothing left to say.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - includes the binding's internal error type
        return _fail(f"internal error: {type(exc).__name__}: {_reason(exc)}")
