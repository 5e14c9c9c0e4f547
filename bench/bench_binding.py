"""Per-call cost of LocalNetwork's cheapest entry points, measured with timeit.

Run with the package importable, e.g.
    PYTHONPATH=<staged package dir> python bench/bench_binding.py
Prints the median over several repeats, in nanoseconds per call, next to the budget.
"""

from __future__ import annotations

import statistics
import timeit

from kova_discovery._native import LocalNetwork

REPEATS = 9
NUMBER = 200_000


def median_ns(stmt: str, env: dict, number: int = NUMBER) -> float:
    times = timeit.repeat(stmt, globals=env, repeat=REPEATS, number=number)
    return statistics.median(times) / number * 1e9


def main() -> int:
    net = LocalNetwork()
    for i in range(100):
        net.register(f"agent-{i}", [f"capability number {i}", "shared words here"])
    env = {"net": net}
    rows = [
        ("agent_count", median_ns("net.agent_count", env), 150.0),
        ("exploration_epsilon", median_ns("net.exploration_epsilon", env), 150.0),
        ("record_success (unregistered)", median_ns("net.record_success('nobody')", env), 1000.0),
        (
            "record_success (unregistered, query)",
            median_ns("net.record_success('nobody', query='translate text')", env),
            1000.0,
        ),
        ("baseline: empty loop", median_ns("pass", env), float("nan")),
    ]
    print(f"{'operation':<40}{'median ns/call':>16}{'budget ns':>12}")
    failed = False
    for name, ns, budget in rows:
        ok = not ns > budget
        failed |= not ok
        print(f"{name:<40}{ns:>16.1f}{budget:>12.0f}{'' if ok else '  OVER'}")
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
