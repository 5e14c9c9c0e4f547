"""Retrieval quality on the labelled tool-selection data.

Every query names one or more correct tools. Recall@k is the share of a query's correct
tools found among the first k results, averaged over queries; MRR averages 1 / the rank of
the first correct tool (0 when none is returned). A system that drops a tool (below its
threshold) simply never ranks it.

Feedback learning: the queries are split in two halves with a fixed seed; for every query of
the first half, each correct tool's success is recorded with that query; then both halves are
evaluated on the same network. The first half shows how well the engine recalls what it was
taught, the second how far that teaching carries to queries it has not seen.
"""

from __future__ import annotations

import random
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import peers
from workloads import Agent, LabelledQuery

SPLIT_SEED = 4242


@dataclass(frozen=True)
class Scores:
    recall1: float
    recall5: float
    mrr: float
    queries: int


def evaluate(ranked: Callable[[str], list[str]], queries: Sequence[LabelledQuery]) -> Scores:
    r1 = r5 = rr = 0.0
    for q in queries:
        names = ranked(q.text)
        correct = set(q.tools)
        r1 += len(correct.intersection(names[:1])) / len(correct)
        r5 += len(correct.intersection(names[:5])) / len(correct)
        rank = next((i for i, n in enumerate(names, 1) if n in correct), None)
        rr += 1.0 / rank if rank else 0.0
    n = max(len(queries), 1)
    return Scores(r1 / n, r5 / n, rr / n, len(queries))


def split(queries: Sequence[LabelledQuery], seed: int = SPLIT_SEED):
    order = list(queries)
    random.Random(seed).shuffle(order)
    half = len(order) // 2
    return order[:half], order[half:]


@dataclass(frozen=True)
class Row:
    system: str
    condition: str  # "no feedback" or "after feedback"
    all: Scores | None
    taught: Scores
    held_out: Scores


def engine_rows(tools: Sequence[Agent], queries: Sequence[LabelledQuery], scorer: str,
                threshold: float | None) -> list[Row]:
    taught, held_out = split(queries)
    engine = peers.Engine(scorer, threshold=threshold)
    engine.build(tools)
    label = engine.label.replace("discover, ", "kova_discovery ")
    before = Row(label, "no feedback", evaluate(engine.names, queries),
                 evaluate(engine.names, taught), evaluate(engine.names, held_out))
    for q in taught:
        for tool in q.tools:
            engine.network.record_success(tool, query=q.text)
    after = Row(label, "after feedback", None, evaluate(engine.names, taught),
                evaluate(engine.names, held_out))
    return [before, after]


def baseline_row(system: peers.Ranker, tools: Sequence[Agent],
                 queries: Sequence[LabelledQuery]) -> Row:
    taught, held_out = split(queries)
    system.build(tools)
    return Row(system.label, "no feedback", evaluate(system.names, queries),
               evaluate(system.names, taught), evaluate(system.names, held_out))


def run(tools: Sequence[Agent], queries: Sequence[LabelledQuery]) -> list[Row]:
    rows: list[Row] = []
    for scorer in ("minhash", "tfidf"):
        for threshold in (None, 0.0):
            rows += engine_rows(tools, queries, scorer, threshold)
    # The baselines rank every agent: no threshold cuts their lists.
    for system in (peers.Bm25(0.0), peers.SklearnTfidf(0.0), peers.DataSketchScan(0.0)):
        rows.append(baseline_row(system, tools, queries))
    return rows
