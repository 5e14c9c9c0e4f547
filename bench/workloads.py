"""Benchmark workloads built from the shared real data.

The registry is the public tool corpus (one agent per tool: its name and its one-line
description). Sizes beyond the corpus are grown by recombining real descriptions: a new agent
takes the opening words of one description and the closing words of another, so its
vocabulary, length and phrasing stay those of real tools. Everything is drawn from seeded
generators, so a size always yields the same agents.
"""

from __future__ import annotations

import json
import os
import pathlib
import random
from dataclasses import dataclass

REPO = pathlib.Path(__file__).resolve().parents[1]
# KOVA_DATA points elsewhere, e.g. from a second checkout that has no data beside it.
DATA = pathlib.Path(os.environ.get("KOVA_DATA") or (REPO / ".." / "shared" / "data")).resolve()
CORPUS = DATA / "tools_corpus.jsonl"
QUERIES = DATA / "retrieval" / "queries_dev.jsonl"
TOOLS = DATA / "retrieval" / "tools.jsonl"

SEED = 20_240_611


class MissingData(RuntimeError):
    """A data file the benchmarks read is absent; the message names it."""


@dataclass(frozen=True)
class Agent:
    name: str
    description: str


@dataclass(frozen=True)
class LabelledQuery:
    text: str
    tools: tuple[str, ...]


def _read_jsonl(path: pathlib.Path) -> list[dict]:
    if not path.is_file():
        raise MissingData(f"benchmark data not found: {path}")
    with path.open(encoding="utf-8") as handle:
        return [json.loads(line) for line in handle if line.strip()]


def corpus_agents() -> list[Agent]:
    """The real corpus, one agent per distinct tool name, in file order."""
    seen: dict[str, str] = {}
    for row in _read_jsonl(CORPUS):
        name, description = row["name"].strip(), row["description"].strip()
        if name and description:
            seen.setdefault(name, description)
    return [Agent(n, d) for n, d in seen.items()]


def grow(agents: list[Agent], count: int, seed: int = SEED) -> list[Agent]:
    """`count` agents: a seeded sample of the real ones, then recombinations of them.

    A recombined agent joins a prefix of one real description (at least a third of it) with
    a suffix of another, and is named after both parents plus its position, which keeps
    names unique.
    """
    rng = random.Random(seed)
    base = list(agents)
    rng.shuffle(base)
    out = base[:count]
    words = [a.description.split() for a in base]
    while len(out) < count:
        i, j = rng.randrange(len(base)), rng.randrange(len(base))
        head, tail = words[i], words[j]
        cut_head = rng.randint(max(1, len(head) // 3), max(1, len(head)))
        cut_tail = rng.randint(0, max(0, (2 * len(tail)) // 3))
        text = " ".join(head[:cut_head] + tail[cut_tail:])
        out.append(Agent(f"{base[i].name} x {base[j].name} #{len(out)}", text))
    return out


def queries(count: int | None = None, seed: int = SEED) -> list[str]:
    """Query texts of the labelled development set, a seeded sample of `count` of them."""
    texts = [row["query"] for row in _read_jsonl(QUERIES)]
    if count is not None and count < len(texts):
        texts = random.Random(seed).sample(texts, count)
    return texts


def labelled() -> tuple[list[Agent], list[LabelledQuery]]:
    """The labelled tool set and its queries (each names one or more correct tools)."""
    tools = [Agent(r["name"], r["description"]) for r in _read_jsonl(TOOLS)]
    known = {t.name for t in tools}
    rows = [LabelledQuery(r["query"], tuple(r["tools"])) for r in _read_jsonl(QUERIES)]
    return tools, [q for q in rows if q.tools and all(t in known for t in q.tools)]


def data_status() -> str | None:
    """None when every data file is present, else a message naming the missing ones."""
    missing = [str(p) for p in (CORPUS, QUERIES, TOOLS) if not p.is_file()]
    return None if not missing else "benchmark data not found: " + ", ".join(missing)
