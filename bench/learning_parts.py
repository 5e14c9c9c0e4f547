"""Which part of query-related learning helps, and which undoes what query memory gives.

Folds over the labelled development queries: for each fold the tools are registered with
their one-line descriptions, every query of the other folds is reported as users report it
(`record_success(tool, query=q)` for each of its tools), and the fold's own queries, never
reported, are ranked. Rows differ in how the network is set up and how feedback is given;
R@1 and R@5 are averaged over folds (the spread is the folds' range).

    .venv/bin/python bench/learning_parts.py [--folds 5] [--scorer tfidf|minhash]
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import pathlib
from collections.abc import Callable, Sequence

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import workloads  # noqa: E402
from kova_discovery import LocalNetwork, TfIdfScorer  # noqa: E402
from workloads import Agent, LabelledQuery, labelled  # noqa: E402

SEED = 4242


def folds(queries: Sequence[LabelledQuery], k: int) -> list[list[LabelledQuery]]:
    order = list(queries)
    random.Random(SEED).shuffle(order)
    return [order[i::k] for i in range(k)]


def recall(network: LocalNetwork, queries: Sequence[LabelledQuery]) -> tuple[float, float]:
    r1 = r5 = 0.0
    for q, results in zip(queries, network.discover_many([q.text for q in queries])):
        names = [r.agent_name for r in results]
        want = set(q.tools)
        r1 += len(want.intersection(names[:1])) / len(want)
        r5 += len(want.intersection(names[:5])) / len(want)
    return r1 / len(queries), r5 / len(queries)


# A row: how to build the network from the tools and the reported queries.
Setup = Callable[[Sequence[Agent], Sequence[LabelledQuery]], LocalNetwork]


def make(scorer: str, memory: int = 0, **knobs: object) -> Callable[[], LocalNetwork]:
    def build() -> LocalNetwork:
        kind = TfIdfScorer() if scorer == "tfidf" else None
        return LocalNetwork(scorer=kind, query_memory=memory, **knobs)  # type: ignore[arg-type]
    return build


def registered_with_past_queries(new: Callable[[], LocalNetwork], report: str) -> Setup:
    """Each tool registered with its past queries as extra capability texts."""
    def setup(tools: Sequence[Agent], taught: Sequence[LabelledQuery]) -> LocalNetwork:
        past: dict[str, list[str]] = {t.name: [] for t in tools}
        for q in taught:
            for tool in q.tools:
                past[tool].append(q.text)
        network = new()
        for t in tools:
            network.register(t.name, [t.description, *past[t.name]])
        feed(network, taught, report)
        return network
    return setup


def descriptions_only(new: Callable[[], LocalNetwork], report: str) -> Setup:
    def setup(tools: Sequence[Agent], taught: Sequence[LabelledQuery]) -> LocalNetwork:
        network = new()
        for t in tools:
            network.register(t.name, [t.description])
        feed(network, taught, report)
        return network
    return setup


def feed(network: LocalNetwork, taught: Sequence[LabelledQuery], report: str) -> None:
    for q in taught:
        for tool in q.tools:
            if report == "query":
                network.record_success(tool, query=q.text)
            elif report == "plain":
                network.record_success(tool)
    # Every feedback event lowers exploration, even one naming no agent: rows without feedback
    # are brought to the floor the others reach, so that no row partly measures exploration.
    for _ in range(300):
        network.record_failure("\x00 no such agent")


def rows(scorer: str) -> list[tuple[str, Setup]]:
    return [
        ("descriptions, no feedback", descriptions_only(make(scorer), "none")),
        ("descriptions, success with query", descriptions_only(make(scorer), "query")),
        ("past queries as capabilities, no feedback",
         registered_with_past_queries(make(scorer), "none")),
        ("past queries as capabilities, success with query",
         registered_with_past_queries(make(scorer), "query")),
        ("past queries as capabilities, success without query",
         registered_with_past_queries(make(scorer), "plain")),
        ("past queries as capabilities, success with query, expansion off",
         registered_with_past_queries(make(scorer, query_expansion=False), "query")),
        ("query_memory=100, expansion on",
         descriptions_only(make(scorer, 100, query_expansion=True), "query")),
        ("query_memory=100 (expansion off by default)",
         descriptions_only(make(scorer, 100), "query")),
    ]


def mixed(scorer: str, k: int, memory: int, expansion: bool | None = None) -> None:
    """A large registry where only some agents have a history.

    The public tool corpus joins the labelled tools; only a seeded half of the labelled tools
    get their queries reported. Held-out queries are split by whether their tool had a
    history: remembered texts must lift those without pushing the others down.
    """
    tools, queries = labelled()
    corpus = [a for a in workloads.corpus_agents() if a.name not in {t.name for t in tools}]
    names = sorted(t.name for t in tools)
    with_history = set(random.Random(SEED).sample(names, len(names) // 2))
    parts = folds(queries, k)
    sums: dict[str, list[float]] = {"with history": [], "without history": []}
    for i, held_out in enumerate(parts):
        taught = [q for j, part in enumerate(parts) if j != i for q in part]
        network = make(scorer, memory, query_expansion=expansion)()
        for t in [*corpus, *tools]:
            network.register(t.name, [t.description])
        for q in taught:
            for tool in q.tools:
                if tool in with_history:
                    network.record_success(tool, query=q.text)
        for label, keep in (("with history", True), ("without history", False)):
            chosen = [q for q in held_out if all((t in with_history) == keep for t in q.tools)]
            sums[label].append(recall(network, chosen)[0])
    print(f"| {scorer}, query_memory={memory}, expansion {network.query_expansion}, "
          f"{len(corpus) + len(tools)} agents | "
          + " | ".join(f"{statistics.mean(v):.3f}" for v in sums.values()) + " |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--scorer", choices=("tfidf", "minhash"), default="tfidf")
    parser.add_argument("--only", help="run only rows whose label contains this text")
    parser.add_argument("--data", type=pathlib.Path, help="the shared data folder")
    parser.add_argument("--mixed", action="store_true",
                        help="a large registry where only some agents have a history")
    args = parser.parse_args()
    if args.data:
        workloads.TOOLS = args.data / "retrieval" / "tools.jsonl"
        workloads.QUERIES = args.data / "retrieval" / "queries_dev.jsonl"
    if args.mixed:
        workloads.CORPUS = (args.data or workloads.DATA) / "tools_corpus.jsonl"
        print("| registry | R@1, tools with history | R@1, tools without |")
        print("|---|---|---|")
        for memory, expansion in ((0, None), (0, False), (100, None)):
            mixed(args.scorer, args.folds, memory, expansion)
        return
    tools, queries = labelled()
    parts = folds(queries, args.folds)
    print(f"{args.scorer}, {args.folds} folds of {len(queries)} queries, {len(tools)} tools")
    print("| setup | R@1 | R@5 | R@1 range |")
    print("|---|---|---|---|")
    for label, setup in rows(args.scorer):
        if args.only and args.only not in label:
            continue
        r1s, r5s = [], []
        for i, held_out in enumerate(parts):
            taught = [q for j, part in enumerate(parts) if j != i for q in part]
            r1, r5 = recall(setup(tools, taught), held_out)
            r1s.append(r1)
            r5s.append(r5)
        print(f"| {label} | {statistics.mean(r1s):.3f} | {statistics.mean(r5s):.3f} "
              f"| {min(r1s):.3f}–{max(r1s):.3f} |", flush=True)


if __name__ == "__main__":
    main()
