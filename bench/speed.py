"""Speed measurements: per-query latency, registration, save and load, resident memory."""

from __future__ import annotations

import gc
import json
import os
import pathlib
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

import peers
import timing
import workloads


@dataclass
class SizeResult:
    agents: int
    latency: dict[str, timing.Summary] = field(default_factory=dict)
    results_per_query: dict[str, float] = field(default_factory=dict)
    build: dict[str, timing.Summary] = field(default_factory=dict)  # per agent
    save: timing.Summary | None = None
    load: timing.Summary | None = None
    file_bytes: int = 0


@dataclass(frozen=True)
class Settings:
    sizes: tuple[int, ...]
    repeats: int
    budget: float  # CPU seconds per timed pass
    query_pool: int
    build_repeats: int


def _mean_results(system: peers.Ranker, queries: list[str]) -> float:
    sample = queries[:20]
    return sum(len(system.rank(q)) for q in sample) / max(len(sample), 1)


def _time_build(system: peers.Ranker, agents, repeats: int) -> timing.Summary:
    cpu, wall = [], []
    for _ in range(repeats):
        if isinstance(system, peers.Engine):
            system.network = None  # free the previous build first
        gc.collect()
        c, w = timing.sample(lambda: system.build(agents))
        cpu.append(c)
        wall.append(w)
    return timing.Summary.of(cpu, wall, len(agents))


def _save_load(engine: peers.Engine, repeats: int, result: SizeResult) -> None:
    from kova_discovery import LocalNetwork

    with tempfile.TemporaryDirectory(prefix="kova-bench-") as tmp:
        path = str(pathlib.Path(tmp) / "state.json")
        result.save = timing.repeat(lambda: engine.network.save(path), repeats)
        result.file_bytes = os.path.getsize(path)
        result.load = timing.repeat(lambda: LocalNetwork.load(path), repeats)


def measure_size(n: int, settings: Settings, log) -> SizeResult:
    agents = workloads.grow(workloads.corpus_agents(), n)
    queries = workloads.queries(settings.query_pool)
    result = SizeResult(n)

    def latency(system: peers.Ranker) -> None:
        result.results_per_query[system.label] = _mean_results(system, queries)
        result.latency[system.label] = timing.per_query(
            system.rank_many, queries, settings.repeats, settings.budget)
        log(f"  {n:>7} agents  {system.label:<44} "
            f"{result.latency[system.label].cpu * 1e6:10.1f} us/query")

    for scorer in ("minhash", "tfidf"):
        engine = peers.Engine(scorer)
        result.build[engine.label] = _time_build(engine, agents, settings.build_repeats)
        latency(engine)
        many = peers.Engine(scorer, many=True)
        many.network = engine.network
        latency(many)
        if scorer == "minhash":
            _save_load(engine, settings.build_repeats, result)
        del engine, many
        gc.collect()

    for system in (peers.DataSketchScan(), peers.DataSketchLSH(), peers.SklearnTfidf(),
                   peers.Bm25()):
        result.build[system.label] = _time_build(system, agents, 1)
        latency(system)
        del system
        gc.collect()
    peers.forget_sketches()
    return result


@dataclass(frozen=True)
class MemoryResult:
    agents: int
    feedback: int
    bytes_per_agent: float  # resident growth per agent from registration
    string_bytes_per_agent: float
    feedback_bytes_per_agent: float | None  # further growth from a full feedback memory
    save_cpu: float | None = None
    save_wall: float | None = None
    load_cpu: float | None = None
    load_wall: float | None = None
    file_bytes: int | None = None


def memory_probe(agents: int, feedback: int, with_state: bool) -> MemoryResult:
    """Runs bench/memory_probe.py in a fresh interpreter and reads its JSON line."""
    script = pathlib.Path(__file__).with_name("memory_probe.py")
    with tempfile.TemporaryDirectory(prefix="kova-bench-") as tmp:
        cmd = [sys.executable, str(script), "--agents", str(agents), "--feedback", str(feedback)]
        if with_state:
            cmd += ["--state-dir", tmp]
        proc = subprocess.run(cmd, check=True, capture_output=True, text=True)
    data = json.loads(proc.stdout.strip().splitlines()[-1])
    grown = (data["registered"] - data["before"]) / agents
    extra = None
    if feedback:
        extra = (data["with_feedback"] - data["registered"]) / agents
    return MemoryResult(agents, feedback, grown, data["string_bytes"] / agents, extra,
                        data.get("save_cpu"), data.get("save_wall"), data.get("load_cpu"),
                        data.get("load_wall"), data.get("file_bytes"))
