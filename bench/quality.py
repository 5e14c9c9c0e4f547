"""Retrieval quality on the labelled tool-selection data.

Every query names one or more correct tools. Recall@k is the share of a query's correct
tools found among the first k results, averaged over queries; Hit@k the share of queries with
a correct tool among the first k (the two differ only on the queries naming several tools,
where R@1 is at most one over their number); MRR averages 1 / the rank of the first correct
tool (0 when none is returned). A system that drops a tool (below its threshold) simply never
ranks it.

Learning is judged only on queries it never saw: the queries are dealt into folds with a fixed
seed; for each fold a fresh network is taught with every other fold's queries, as users report
them (`record_success(correct tool, query=q)` for each correct tool), and then asked the
fold's own queries. Every query is thus evaluated exactly once, held out; the tables pool
them and give the range of the per-fold R@1. Three conditions per scorer: no feedback; the
feedback reported with the query learning of the default network; and the same feedback with
query memory on. Each fold gets a fresh network under every condition, so that all are asked
the same number of queries (discovery counts forwards, which the ranking reads). The scorers'
settings are fixed defaults, chosen by cross-validation within training folds
(`bm25_quality --only=tune` shows the held-out figures of that nested choice equal the
defaults'); the lexical hybrid's weights and fusion were compared on these folds, where the
alternatives measured within noise or far below. Every network is measured with
exploration at its floor, where feedback brings it; a fresh network's would shuffle most
near-tied answers and make the no-feedback rows partly a measure of exploration.

The targets are set on a protocol that teaches every development query and asks others, and
count a query as found when a right tool comes first. Its measurable copies here use many
folds (each network taught with 95% of the queries) and, for the scorers with targets, leave
one out (taught all but the query asked: the same ratio as the targets', the asked query
drawn from the same pool as theirs), with Hit@k; beside the 5-fold table.

A second setting checks that memory does not push down agents without history: the tool set
joins a larger registry of real tool descriptions, only a third of the tools (seeded) get
feedback, and the held-out queries of the other tools are scored on their own.
"""

from __future__ import annotations

import random
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import peers
from workloads import Agent, LabelledQuery

SPLIT_SEED = 4242
FOLDS = 5
TARGET_FOLDS = 20  # each network taught with 95% of the queries, as near all of them as folds go
MEMORY = 100  # remembered texts per agent: what the documentation recommends
CURVE_POINTS = (0, 25, 50, 100, 200, 400, 800)
CONDITIONS = ("no feedback", "after feedback", "query memory")
EXPLORATION_SETTLED = 300  # feedback events that bring exploration to its floor
UNREGISTERED = "\x00 no such agent"


@dataclass(frozen=True)
class Scores:
    recall1: float
    recall5: float
    mrr: float
    queries: int
    hit1: float = 0.0
    hit5: float = 0.0


def _sums(ranked: Callable[[str], list[str]], queries: Sequence[LabelledQuery]):
    r1 = r5 = rr = h1 = h5 = 0.0
    for q in queries:
        names = ranked(q.text)
        correct = set(q.tools)
        r1 += len(correct.intersection(names[:1])) / len(correct)
        r5 += len(correct.intersection(names[:5])) / len(correct)
        rank = next((i for i, n in enumerate(names, 1) if n in correct), None)
        rr += 1.0 / rank if rank else 0.0
        h1 += rank is not None and rank <= 1
        h5 += rank is not None and rank <= 5
    return r1, r5, rr, h1, h5


def evaluate(ranked: Callable[[str], list[str]], queries: Sequence[LabelledQuery]) -> Scores:
    r1, r5, rr, h1, h5 = _sums(ranked, queries)
    n = max(len(queries), 1)
    return Scores(r1 / n, r5 / n, rr / n, len(queries), h1 / n, h5 / n)


def split(queries: Sequence[LabelledQuery], seed: int = SPLIT_SEED):
    order = list(queries)
    random.Random(seed).shuffle(order)
    half = len(order) // 2
    return order[:half], order[half:]


def folds(queries: Sequence[LabelledQuery], k: int = FOLDS,
          seed: int = SPLIT_SEED) -> list[list[LabelledQuery]]:
    order = list(queries)
    random.Random(seed).shuffle(order)
    return [order[i::k] for i in range(k)]


def _pool(parts: Sequence[Scores]) -> Scores:
    n = sum(p.queries for p in parts)
    if not n:
        return Scores(0.0, 0.0, 0.0, 0)

    def mean(metric: str) -> float:
        return sum(getattr(p, metric) * p.queries for p in parts) / n

    return Scores(mean("recall1"), mean("recall5"), mean("mrr"), n, mean("hit1"), mean("hit5"))


# -- the engine configurations -------------------------------------------------------------

def memory_supported() -> bool:
    from kova_discovery import LocalNetwork

    try:
        LocalNetwork(query_memory=1)
    except TypeError:
        return False
    return True


@dataclass
class Config:
    """One scorer set-up; `make` builds a fresh scorer (None: the default MinHash)."""

    label: str
    make: Callable[[], Any]


class Learner:
    """A network over one configuration under one condition, taught as users report.

    Where the engine has no query memory yet, "query memory" is emulated with the same
    bound: a host scorer with `learn` is taught directly, a built-in one re-registers the
    agent with its capability followed by its remembered texts.
    """

    def __init__(self, config: Config, condition: str, tools: Sequence[Agent]) -> None:
        from kova_discovery import LocalNetwork

        self.condition = condition
        self.scorer = config.make()
        native_memory = condition == "query memory" and memory_supported()
        self.emulated = condition == "query memory" and not native_memory
        kwargs: dict[str, Any] = {"query_memory": MEMORY} if native_memory else {}
        self.network = LocalNetwork(scorer=self.scorer, **kwargs)
        self.capability = {t.name: t.description for t in tools}
        self.remembered: dict[str, list[str]] = {}
        for tool in tools:
            self.network.register(tool.name, [tool.description])
        # Exploration (shuffling near-tied results) starts at 0.8 and every feedback event
        # lowers it, to its floor of 0.05 by the 276th: taught networks rank at the floor. Every
        # network is measured there, so that a row compares rankings, not exploration. Failures
        # of a name nobody registered lower it and change nothing else.
        for _ in range(EXPLORATION_SETTLED):
            self.network.record_failure(UNREGISTERED)
        self.events = 0

    def report(self, tool: str, query: str) -> None:
        self.events += 1
        if self.condition == "no feedback":
            return
        if not self.emulated:
            self.network.record_success(tool, query=query)
            return
        texts = self.remembered.setdefault(tool, [])
        if query in texts:
            texts.remove(query)
        texts.append(query)
        dropped = texts.pop(0) if len(texts) > MEMORY else None
        if hasattr(self.scorer, "learn"):
            self.scorer.learn(tool, query)
            if dropped is not None:
                self.scorer.forget(tool, dropped)
        else:
            self.network.register(tool, [self.capability[tool]] + texts)

    def teach(self, queries: Sequence[LabelledQuery], only: set[str] | None = None) -> None:
        for q in queries:
            for tool in q.tools:
                if only is None or tool in only:
                    self.report(tool, q.text)

    def names(self, query: str) -> list[str]:
        return [r.agent_name for r in self.network.discover(query)]


# The configurations the targets name; MinHash is reported beside them, and so is the lexical
# hybrid, the best ranking that needs no model.
LEXICAL_HYBRID = "HybridScorer (Bm25Scorer 0.7, TfIdfScorer 0.3)"
TARGETED = ("MinHash (default)", "TfIdfScorer", "Bm25Scorer", LEXICAL_HYBRID)
LEAVE_ONE_OUT = ("TfIdfScorer", "Bm25Scorer")


def configs(encoders: Sequence[tuple[str, Callable[[list[str]], Any]]]) -> list[Config]:
    import kova_discovery
    from kova_discovery import EmbeddingScorer, TfIdfScorer

    out = [Config("MinHash (default)", lambda: None), Config("TfIdfScorer", TfIdfScorer)]
    bm25 = getattr(kova_discovery, "Bm25Scorer", None)
    if bm25 is not None:
        out.append(Config("Bm25Scorer", bm25))
    for name, encode in encoders:
        out.append(Config(f"EmbeddingScorer ({name})",
                          lambda encode=encode: EmbeddingScorer(encode)))
    hybrid = getattr(kova_discovery, "HybridScorer", None)
    if hybrid is not None and bm25 is not None:
        out.append(Config(LEXICAL_HYBRID,
                          lambda: hybrid([(bm25(), 0.7), (TfIdfScorer(), 0.3)])))
    if hybrid is not None and bm25 is not None and encoders:
        name, encode = encoders[-1]
        out.append(Config(f"HybridScorer (Bm25Scorer 0.25, embedding {name} 0.75)",
                          lambda: hybrid([(bm25(), 0.25), (EmbeddingScorer(encode), 0.75)])))
    return out


def recommended(all_configs: Sequence[Config]) -> Config:
    """The lexical configuration the documentation recommends (BM25 where it is built)."""
    by_label = {c.label: c for c in all_configs}
    return by_label.get("Bm25Scorer") or by_label["TfIdfScorer"]


# -- the measurements ----------------------------------------------------------------------

@dataclass(frozen=True)
class FoldRow:
    system: str
    condition: str
    pooled: Scores
    per_fold: tuple[Scores, ...]
    emulated: bool = False


def fold_row(config: Config, condition: str, tools: Sequence[Agent],
             parts: Sequence[Sequence[LabelledQuery]]) -> FoldRow:
    # A fresh network per fold under every condition, none taught: discovery itself moves the
    # ranking (forward counts), so a network asked every fold's queries in turn would be
    # measured after more traffic than the taught ones it is compared with.
    per, emulated = [], False
    for i, held_out in enumerate(parts):
        learner = Learner(config, condition, tools)
        if condition != "no feedback":
            learner.teach([q for j, part in enumerate(parts) if j != i for q in part])
        per.append(evaluate(learner.names, held_out))
        emulated = learner.emulated
    return FoldRow(config.label, condition, _pool(per), tuple(per), emulated)


def _training_texts(parts: Sequence[Sequence[LabelledQuery]], held_out: int
                    ) -> dict[str, list[str]]:
    """Each tool's queries in every fold but `held_out`."""
    texts: dict[str, list[str]] = {}
    for j, part in enumerate(parts):
        for q in part if j != held_out else ():
            for tool in q.tools:
                texts.setdefault(tool, []).append(q.text)
    return texts


def reference_rows(tools: Sequence[Agent], parts: Sequence[Sequence[LabelledQuery]]
                   ) -> list[FoldRow]:
    """The targets' reference ranking, without feedback and with each tool's training
    queries appended to its description, on the same folds; then a supervised classifier
    taught the same queries."""
    plain = baseline_row(peers.Bm25Stemmed(0.0), tools, parts)
    rows = [plain]
    for make, condition in ((lambda texts: peers.Bm25Stemmed(0.0, texts), "queries appended"),
                            (peers.SupervisedLinear, "trained on the queries")):
        per = []
        for i, held_out in enumerate(parts):
            system = make(_training_texts(parts, i))
            system.build(tools)
            per.append(evaluate(system.names, held_out))
        rows.append(FoldRow(system.label, condition, _pool(per), tuple(per)))
    return rows


def baseline_row(system: peers.Ranker, tools: Sequence[Agent],
                 parts: Sequence[Sequence[LabelledQuery]]) -> FoldRow:
    system.build(tools)
    per = [evaluate(system.names, part) for part in parts]
    return FoldRow(system.label, "no feedback", _pool(per), tuple(per))


@dataclass(frozen=True)
class MixedRow:
    """The larger registry: R@1 of queries whose tools had no feedback, and of the others."""

    system: str
    condition: str
    without_history: Scores
    with_history: Scores


def mixed_rows(config: Config, tools: Sequence[Agent], registry: Sequence[Agent],
               parts: Sequence[Sequence[LabelledQuery]], history: set[str]) -> list[MixedRow]:
    rows = []
    for condition in CONDITIONS:
        lone, taught = [], []
        for i, held_out in enumerate(parts):  # a fresh network per fold, as in fold_row
            learner = Learner(config, condition, registry)
            if condition != "no feedback":
                learner.teach([q for j, part in enumerate(parts) if j != i for q in part],
                              history)
            lone.append(evaluate(learner.names,
                                 [q for q in held_out if not history.intersection(q.tools)]))
            taught.append(evaluate(learner.names,
                                   [q for q in held_out if history.intersection(q.tools)]))
        rows.append(MixedRow(config.label, condition, _pool(lone), _pool(taught)))
    return rows


@dataclass(frozen=True)
class Curve:
    label: str
    points: tuple[tuple[float, float], ...]  # (feedback events, held-out R@1)


def learning_curve(config: Config, condition: str, tools: Sequence[Agent],
                   parts: Sequence[Sequence[LabelledQuery]]) -> Curve:
    """Held-out R@1 after every checkpoint of feedback events, averaged over the folds."""
    totals: dict[int, list[float]] = {}
    trains = [[(t, q.text) for j, part in enumerate(parts) if j != i for q in part
               for t in q.tools] for i in range(len(parts))]
    # Every fold stops at the shortest fold's count, so that each point averages all folds.
    last = min(len(t) for t in trains)
    marks = sorted({m for m in CURVE_POINTS if m < last} | {last})
    for held_out, train in zip(parts, trains):
        learner = Learner(config, condition, tools)
        done = 0
        for mark in marks:
            for tool, text in train[done:mark]:
                learner.report(tool, text)
            done = mark
            totals.setdefault(mark, []).append(evaluate(learner.names, held_out).recall1)
    points = tuple((m, sum(v) / len(v)) for m, v in sorted(totals.items()))
    return Curve(f"{config.label}, {condition}", points)


@dataclass
class Results:
    queries: int
    folds: int
    rows: list[FoldRow] = field(default_factory=list)
    target_rows: list[FoldRow] = field(default_factory=list)
    target_folds: int = TARGET_FOLDS
    mixed: list[MixedRow] = field(default_factory=list)
    mixed_agents: int = 0
    mixed_history: int = 0
    curves: list[Curve] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def run(tools: Sequence[Agent], queries: Sequence[LabelledQuery],
        distractors: Sequence[Agent] = (), k: int = FOLDS,
        encoders: Sequence[tuple[str, Callable[[list[str]], Any]]] = (),
        log: Callable[[str], None] = lambda _msg: None) -> Results:
    parts = folds(queries, k)
    out = Results(len(queries), k)
    all_configs = configs(encoders)
    for config in all_configs:
        log(f"quality: {config.label}")
        for condition in CONDITIONS:
            out.rows.append(fold_row(config, condition, tools, parts))
    # The baselines rank every agent: no threshold cuts their lists.
    for system in (peers.Bm25(0.0), peers.SklearnTfidf(0.0), peers.DataSketchScan(0.0)):
        out.rows.append(baseline_row(system, tools, parts))
    targeted = [c for c in all_configs if c.label in TARGETED]
    out.target_folds = max(2, min(TARGET_FOLDS, len(queries)))
    target_parts = folds(queries, out.target_folds)
    for config in targeted:
        log(f"quality, the targets' protocol: {config.label}")
        out.target_rows.append(fold_row(config, "query memory", tools, target_parts))
    # Leave one out: every network taught all development queries but the one it is asked,
    # the targets' own ratio of taught to asked (folds teach less and so understate). A
    # minute a scorer, so only for the two the targets set figures for.
    singles = folds(queries, len(queries))
    for config in targeted:
        if config.label in LEAVE_ONE_OUT:
            log(f"quality, leave one out: {config.label}")
            row = fold_row(config, "query memory", tools, singles)
            out.target_rows.append(replace(row, condition="query memory, leave one out"))
    out.target_rows += reference_rows(tools, target_parts)
    if any(r.emulated for r in out.rows):
        out.notes.append("The engine built here has no query memory: the query-memory rows "
                         "emulate it (capability plus remembered texts, same bound).")

    if distractors:
        known = {t.name.lower() for t in tools}
        registry = list(tools) + [a for a in distractors if a.name.lower() not in known]
        history = set(random.Random(SPLIT_SEED).sample(sorted(t.name for t in tools),
                                                       len(tools) // 3))
        out.mixed_agents, out.mixed_history = len(registry), len(history)
        for config in all_configs:
            log(f"quality, larger registry: {config.label}")
            out.mixed += mixed_rows(config, tools, registry, parts, history)

    best = recommended(all_configs)
    log("quality: learning curves")
    out.curves.append(learning_curve(best, "query memory", tools, parts))
    out.curves.append(learning_curve(all_configs[0], "after feedback", tools, parts))
    embedded = [c for c in all_configs if c.label.startswith("EmbeddingScorer")]
    if embedded:
        out.curves.append(learning_curve(embedded[-1], "query memory", tools, parts))
    return out
