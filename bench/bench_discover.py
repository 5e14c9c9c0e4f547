"""Discovery from Python over 1,000 agents: medians of plain timeit runs.

    python bench/bench_discover.py [--agents 1000] [--repeat 15]

Agents come from the shared tool corpus (../shared/data/tools_corpus.jsonl) when it is
present, else from generated capability texts; queries likewise from the labelled query set
or generated. Targets: discover <= 80 us per call (result objects included), discover_many of
100 queries <= 5 ms.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import random
import statistics
import timeit

from kova_discovery import LocalNetwork, Query

DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"

WORDS = (
    "translate summarize legal contract invoice weather forecast speech audio transcribe "
    "image generate code review database query search web scrape calendar schedule email "
    "send payment currency convert chart plot document pdf extract text sentiment news "
    "stock price travel booking hotel flight map route recipe music playlist video"
).split()


def corpus(n: int, rng: random.Random) -> list[tuple[str, str]]:
    path = DATA / "tools_corpus.jsonl"
    if path.exists():
        rows = [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]
        seen: dict[str, str] = {}
        for row in rows:
            seen.setdefault(row["name"], row["description"])
            if len(seen) == n:
                return list(seen.items())
    return [(f"agent-{i}", " ".join(rng.choices(WORDS, k=12))) for i in range(n)]


def queries(n: int, rng: random.Random) -> list[str]:
    path = DATA / "retrieval" / "queries_dev.jsonl"
    if path.exists():
        rows = [json.loads(line)["query"] for line in path.read_text(encoding="utf-8").splitlines()]
        return rows[:n]
    return [" ".join(rng.choices(WORDS, k=6)) for _ in range(n)]


def median_us(stmt, number: int, repeat: int) -> float:
    runs = timeit.repeat(stmt, number=number, repeat=repeat)
    return statistics.median(runs) / number * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--agents", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()

    rng = random.Random(7)
    network = LocalNetwork()
    for i, (name, description) in enumerate(corpus(args.agents, rng)):
        network.register(name, [description], metadata={"tier": str(i % 3)})
    qs = queries(100, rng)
    batch = qs[:100]
    one = qs[0]
    composed = Query.all(qs[1], qs[2])
    results_per_query = statistics.mean(len(network.discover(q)) for q in qs)

    rows = [
        ("discover (text)", median_us(lambda: network.discover(one), 200, args.repeat), 80.0),
        ("discover, filtered", median_us(
            lambda: network.discover(one, filters={"tier": {"$in": ["0", "1"]}}), 200,
            args.repeat), None),
        ("discover, explain", median_us(lambda: network.discover(one, explain=True), 200,
                                        args.repeat), None),
        ("discover, with_confidence", median_us(
            lambda: network.discover(one, with_confidence=True), 200, args.repeat), None),
        ("discover (composed query)", median_us(lambda: network.discover(composed), 200,
                                                args.repeat), None),
        ("discover_many (100 queries)", median_us(lambda: network.discover_many(batch), 5,
                                                  args.repeat), 5000.0),
    ]
    print(f"agents: {network.agent_count}   mean results per query: {results_per_query:.1f}")
    print(f"{'case':32} {'median':>12} {'target':>10}")
    for name, value, target in rows:
        limit = f"{target:.0f} us" if target else "-"
        print(f"{name:32} {value:9.1f} us {limit:>10}")


if __name__ == "__main__":
    main()
