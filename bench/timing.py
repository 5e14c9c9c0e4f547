"""Repeated timings and their summary.

Each sample times one pass over a batch of queries, in wall-clock time and in the process's
CPU time; the per-query figure is the pass divided by the batch size. On a shared machine
the wall clock also counts time spent waiting for a core, so the CPU time is the figure the
tables rank by, with the wall-clock median beside it.
"""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass


@dataclass(frozen=True)
class Summary:
    cpu: float  # median CPU seconds per unit
    wall: float  # median wall seconds per unit
    spread: float  # (max - min) / median of the CPU samples
    samples: int
    units: int  # units per sample (queries, agents, ...)

    @staticmethod
    def of(cpu: list[float], wall: list[float], units: int) -> Summary:
        med = statistics.median(cpu)
        spread = (max(cpu) - min(cpu)) / med if med > 0 and len(cpu) > 1 else 0.0
        return Summary(med / units, statistics.median(wall) / units, spread, len(cpu), units)


def sample(fn: Callable[[], object]) -> tuple[float, float]:
    """CPU and wall seconds of one call, with the cyclic garbage collector paused as timeit
    does: a collection walks every live object of the process (the whole benchmark's data),
    and when one happens to fall into a pass says more about the harness than the system."""
    gc.collect()
    gc.disable()
    try:
        c0, w0 = time.process_time(), time.perf_counter()
        fn()
        return time.process_time() - c0, time.perf_counter() - w0
    finally:
        gc.enable()


def repeat(fn: Callable[[], object], repeats: int, units: int = 1) -> Summary:
    cpu, wall = [], []
    for _ in range(repeats):
        c, w = sample(fn)
        cpu.append(c)
        wall.append(w)
    return Summary.of(cpu, wall, units)


def per_query(batch_fn: Callable[[list[str]], object], queries: list[str], repeats: int,
              budget: float, min_queries: int = 3) -> Summary:
    """Per-query cost of `batch_fn` over as many of `queries` as fit in `budget` seconds of
    CPU time per pass (at least `min_queries`), after one warm-up pass over a few of them.
    A system so slow that even the smallest pass takes several budgets gets three passes."""
    probe = queries[: max(1, min(len(queries), min_queries))]
    c, _ = sample(lambda: batch_fn(probe))
    estimate = max(c / len(probe), 1e-7)
    count = max(min_queries, min(len(queries), int(budget / estimate)))
    if estimate * count > 4 * budget:
        repeats = min(repeats, 3)
    batch = queries[:count]
    return repeat(lambda: batch_fn(batch), repeats, len(batch))
