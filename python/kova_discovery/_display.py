"""Tables and numbers as the command line and the demo print them.

Rendering goes through ``rich``. On a terminal tables fit its width and headers are bold
(unless ``NO_COLOR`` is set); anywhere else the output is plain text, one row per line, never
wrapped, so that it can be read by ``grep``, ``awk`` or a test.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Sequence
from typing import Any, TextIO

from rich import box
from rich.console import Console
from rich.table import Table
from rich.text import Text

#: Decimal places of every number printed as text; JSON output carries the exact values.
DIGITS = 3

# Dashes under the header and nothing else: readable, copyable and ASCII on every terminal.
_RULE = box.Box("    \n    \n -- \n    \n    \n    \n    \n    \n", ascii=True)
# Wide enough that no row of a file or pipe is ever wrapped.
_UNBOUNDED_WIDTH = 1 << 20


def fmt_float(value: float) -> str:
    if math.isnan(value):
        return "nan"
    return f"{value:.{DIGITS}f}"


def fmt_signed(value: float) -> str:
    if math.isnan(value):
        return "nan"
    return f"{value:+.{DIGITS}f}"


def fmt_number(value: object) -> str:
    """A routing value as stored in a state file: integers as they are, floats rounded."""
    if isinstance(value, bool) or value is None:
        return "-"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return fmt_float(value)
    return "?"


def isatty(out: TextIO) -> bool:
    try:
        return out.isatty()
    except (AttributeError, ValueError):  # no such method, or a closed stream
        return False


def console(out: TextIO) -> Console:
    """A console on ``out``: colour and terminal width only when ``out`` is a terminal."""
    tty = isatty(out)
    # rich itself only drops colours for NO_COLOR and keeps bold; no escape codes at all is
    # what users setting it expect. markup and emoji off: names and metadata are data.
    plain = os.environ.get("NO_COLOR", "") != ""
    return Console(file=out, width=None if tty else _UNBOUNDED_WIDTH,
                   color_system=None if plain else "auto", highlight=False, markup=False,
                   emoji=False)


def printable(text: str) -> str:
    """``text`` with control characters as spaces: names and file names come from cards and
    files, and an escape sequence in one must not reach the terminal."""
    return text if text.isprintable() else "".join(ch if ch.isprintable() else " " for ch in text)


def _cell(value: object) -> Text:
    text = value if isinstance(value, Text) else Text(value if isinstance(value, str)
                                                      else str(value))
    # Control characters (a newline in an agent name, say) would break the table's rows.
    if not text.plain.isprintable():
        text = Text(printable(text.plain), style=text.style)
    return text


def table(headers: Sequence[str], rows: Iterable[Sequence[object]], align: str = "") -> Table:
    """Rows as aligned columns; ``align`` holds one 'l' or 'r' per column (default 'l')."""
    result = Table(box=_RULE, show_edge=False, pad_edge=False, collapse_padding=True,
                   header_style="bold")
    align = align.ljust(len(headers), "l")
    for header, how in zip(headers, align):
        result.add_column(Text(header), justify="right" if how == "r" else "left",
                          overflow="fold")
    for row in rows:
        result.add_row(*(_cell(v) for v in row))
    return result


def print_table(out: TextIO, rendered: Table, indent: str = "") -> None:
    con = console(out)
    with con.capture() as captured:
        con.print(rendered)
    # rich pads every cell to its column's width; trailing blanks only get in the way.
    for line in captured.get().splitlines():
        print((indent + line).rstrip(), file=out)


def results_table(results: Sequence[Any], meta_keys: Sequence[str] = ()) -> Table:
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
    return table(["#", "agent", "score", "similarity", *extra], rows, "rlrr")


def explained_table(results: Sequence[Any]) -> Table:
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
            fmt_signed(r.feedback_factor),
        )
        for i, r in enumerate(results, 1)
    ]
    headers = ["#", "agent", "score", "similarity", "95% band", "diameter", "enzyme", "feedback"]
    return table(headers, rows, "rlrrlrrr")


def confidence_line(response: Any) -> str:
    text = f"confidence: {response.confidence}"
    if response.dissenting_kernel:
        text += f" (dissenting kernel: {response.dissenting_kernel})"
    if response.alternative_agents:
        text += f" (alternatives: {printable(', '.join(response.alternative_agents))})"
    return text + f"; recommended parallelism: {response.recommended_parallelism}"
