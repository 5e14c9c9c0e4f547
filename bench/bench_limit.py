"""Top-k discovery from Python: `discover(limit=...)` against the full list, per call.

    python bench/bench_limit.py [--agents 10000] [--limit 10] [--passes 15] [--data DIR]

The registry is the grown tool corpus of the comparison benchmark (workloads.py), the
queries its labelled development set. Each pass runs every query once; the figure is the
pass's CPU time of this thread divided by the number of queries, the median over the passes
with their spread ((max - min) / median). Target: 10,000 agents with limit=10 at or below
250 us per call.
"""

from __future__ import annotations

import argparse
import gc
import pathlib
import statistics
import time
from collections.abc import Callable

import workloads
from kova_discovery import LocalNetwork


def per_call(fn: Callable[[str], object], queries: list[str], passes: int) -> tuple[float, float]:
    """Median CPU seconds per call and the spread of the passes."""
    for q in queries[:5]:
        fn(q)
    samples = []
    for _ in range(passes):
        gc.collect()
        gc.disable()
        try:
            start = time.thread_time()
            for q in queries:
                fn(q)
            samples.append((time.thread_time() - start) / len(queries))
        finally:
            gc.enable()
    median = statistics.median(samples)
    return median, (max(samples) - min(samples)) / median


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--agents", type=int, default=10_000)
    parser.add_argument("--limit", type=int, default=10)
    parser.add_argument("--passes", type=int, default=15)
    parser.add_argument("--data", type=pathlib.Path, default=workloads.DATA,
                        help="the shared data directory (default: %(default)s)")
    args = parser.parse_args()
    workloads.CORPUS = args.data / "tools_corpus.jsonl"
    workloads.QUERIES = args.data / "retrieval" / "queries_dev.jsonl"

    network = LocalNetwork()
    for agent in workloads.grow(workloads.corpus_agents(), args.agents):
        network.register(agent.name, [agent.description])
    queries = workloads.queries(100)
    k = args.limit
    found = statistics.mean(len(network.discover(q)) for q in queries)

    rows = [
        ("discover (full list)", lambda q: network.discover(q), None),
        (f"discover, limit={k}", lambda q: network.discover(q, limit=k), 250e-6),
        (f"discover, limit={k}, explain", lambda q: network.discover(q, limit=k, explain=True),
         None),
        (f"discover, limit={k}, with_confidence",
         lambda q: network.discover(q, limit=k, with_confidence=True), None),
    ]
    print(f"agents: {network.agent_count}   queries: {len(queries)}   "
          f"mean results without a limit: {found:.1f}")
    print(f"{'case':36} {'median':>10} {'spread':>8} {'target':>8}")
    for name, fn, target in rows:
        median, spread = per_call(fn, queries, args.passes)
        goal = f"{target * 1e6:.0f} us" if target else "-"
        print(f"{name:36} {median * 1e6:7.1f} us {spread:7.0%} {goal:>8}")


if __name__ == "__main__":
    main()
