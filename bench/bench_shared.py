"""SharedNetwork on a local redis-server: a mutation's round trip, applying remote events,
catching up from a checkpoint, and discovery on a synced replica against the plain engine.

    python bench/bench_shared.py [--agents 1000] [--repeats 7] [--catch-up 100000]
                                 [--out bench/results/shared.md]

Starts its own redis-server on a free loopback port in a temporary directory (AOF on, with
Redis's default fsync once a second; the mutation row is repeated with fsync on every write)
and stops it. Agents and queries come from the shared data (see workloads.py). Prints a
Markdown table and writes it to --out. Figures are medians of the passes with the spread
(max - min) / median beside them.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import redis  # noqa: E402
import workloads  # noqa: E402

from kova_discovery import Bm25Scorer, LocalNetwork  # noqa: E402
from kova_discovery.shared import SharedNetwork  # noqa: E402


def start_server(directory: str) -> tuple[subprocess.Popen[bytes], str]:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen(
        [shutil.which("redis-server") or "redis-server", "--port", str(port), "--bind",
         "127.0.0.1", "--dir", directory, "--appendonly", "yes", "--save", ""],
        stdout=subprocess.DEVNULL)
    client = redis.Redis(port=port)
    for _ in range(200):
        try:
            client.ping()
            break
        except redis.ConnectionError:
            time.sleep(0.02)
    return proc, f"redis://127.0.0.1:{port}/0"


def passes(fn: Callable[[], object], repeats: int, units: int,
           clock: Callable[[], float]) -> tuple[float, float]:
    """Median seconds per unit over `repeats` passes, and the spread of the passes."""
    samples = []
    for _ in range(repeats):
        t0 = clock()
        fn()
        samples.append((clock() - t0) / units)
    med = statistics.median(samples)
    return med, (max(samples) - min(samples)) / med if med else 0.0


def interleaved(a: Callable[[], object], b: Callable[[], object], repeats: int, units: int,
                clock: Callable[[], float]) -> list[tuple[float, float]]:
    """`passes` of two systems, alternating pass by pass so that both see the same noise,
    and the ratio b / a of neighbouring passes."""
    samples: list[list[float]] = [[], [], []]
    for r in range(repeats):
        for k in ((0, 1) if r % 2 == 0 else (1, 0)):  # neither always runs first
            t0 = clock()
            (a, b)[k]()
            samples[k].append((clock() - t0) / units)
        samples[2].append(samples[1][-1] / samples[0][-1])  # b / a, pass by pass
    out = []
    for xs in samples:
        med = statistics.median(xs)
        out.append((med, (max(xs) - min(xs)) / med if med else 0.0))
    return out


def feedback_events(agents: list[str], queries: list[str], count: int, seed: int,
                    with_query: bool) -> list[bytes]:
    """Events as another replica writes them: three successes to one failure."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        event = {"v": 1, "op": "success" if rng.random() < 0.75 else "failure",
                 "agent": rng.choice(agents), "from": "bench"}
        if with_query:
            event["query"] = rng.choice(queries)
        out.append(json.dumps(event, separators=(",", ":")).encode())
    return out


def apply_directly(network: LocalNetwork, events: list[bytes]) -> None:
    for payload in events:
        e = json.loads(payload)
        method = network.record_success if e["op"] == "success" else network.record_failure
        method(e["agent"], query=e.get("query"))


def append_raw(client: redis.Redis, stream: str, events: list[bytes]) -> None:
    for start in range(0, len(events), 1000):
        pipe = client.pipeline(transaction=False)
        for payload in events[start:start + 1000]:
            pipe.xadd(stream, {"event": payload})
        pipe.execute()


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--agents", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--catch-up", type=int, default=100_000)
    parser.add_argument("--default-config", action="store_true",
                        help="the default MinHash network instead of the recommended "
                        "Bm25Scorer() with query_memory=100")
    parser.add_argument("--out", type=pathlib.Path,
                        default=workloads.REPO / "bench" / "results" / "shared.md")
    args = parser.parse_args(argv)

    agents = workloads.grow(workloads.corpus_agents(), args.agents)
    names = [a.name for a in agents]
    queries = workloads.queries(200)
    rows: list[tuple[str, str, str]] = []
    configuration = ("LocalNetwork()" if args.default_config
             else "LocalNetwork(scorer=Bm25Scorer(), query_memory=100)")

    def config() -> dict[str, object]:
        return {} if args.default_config else {"scorer": Bm25Scorer(), "query_memory": 100}

    def row(what: str, value: str, spread: float) -> None:
        rows.append((what, value, f"{spread:.0%}"))
        print(f"{what}: {value} (spread {spread:.0%})", flush=True)

    with tempfile.TemporaryDirectory() as tmp:
        proc, url = start_server(tmp)
        try:
            client = redis.Redis.from_url(url)
            net = SharedNetwork.open(url, "bench", **config())
            for a in agents:
                net.register(a.name, [a.description])
            plain = LocalNetwork(**config())  # type: ignore[arg-type]
            for a in agents:
                plain.register(a.name, [a.description])

            # The machine's own round trip, for scale.
            med, spread = passes(lambda: [client.ping() for _ in range(200)], args.repeats, 200,
                                 time.perf_counter)
            row("redis-py PING round trip (wall)", f"{med * 1e6:.0f} µs", spread)

            # Discovery on a synced replica (default sync_interval, so its periodic catch-up
            # is included) against the same engine called directly, before any feedback.
            synced = SharedNetwork.open(url, "bench", **config())
            engine = synced.network

            def discover_all(fn: Callable[[str], object]) -> Callable[[], None]:
                def run() -> None:
                    for _ in range(3):
                        for q in queries:
                            fn(q)
                return run

            (direct_q, spread), (wrapped, wspread), (ratio, rspread) = interleaved(
                discover_all(engine.discover), discover_all(synced.discover),
                max(args.repeats, 10), 3 * len(queries), time.thread_time)
            row(f"discover, plain engine ({args.agents} agents, CPU)", f"{direct_q * 1e6:.1f} µs",
                spread)
            row("discover, synced SharedNetwork (CPU)", f"{wrapped * 1e6:.1f} µs", wspread)
            row("discover, synced SharedNetwork / plain (pass by pass)", f"{ratio:.3f}", rspread)
            synced.close()

            # A mutation's round trip, against the same calls on a plain engine in the same
            # state (both apply identical sequences, passes interleaved).
            def feedback(target: object, with_query: bool, n: int) -> Callable[[], None]:
                def run() -> None:
                    for i in range(n):
                        target.record_success(  # type: ignore[attr-defined]
                            names[i % len(names)],
                            query=queries[i % len(queries)] if with_query else None)
                return run

            for with_query in (False, True):
                label = "record_success(agent, query=q)" if with_query else "record_success(agent)"
                pair = interleaved(feedback(plain, with_query, 200), feedback(net, with_query, 200),
                                   args.repeats, 200, time.perf_counter)
                row(f"{label}: plain LocalNetwork", f"{pair[0][0] * 1e6:.1f} µs", pair[0][1])
                row(f"{label}: shared, AOF fsync every second", f"{pair[1][0] * 1e6:.0f} µs",
                    pair[1][1])
            client.config_set("appendfsync", "always")
            med, spread = passes(feedback(net, False, 30), args.repeats, 30, time.perf_counter)
            row("record_success(agent): shared, AOF fsync every write", f"{med * 1e6:.0f} µs",
                spread)
            client.config_set("appendfsync", "everysec")

            # Applying what another replica appended, against a plain engine in the same state
            # applying the same events by direct calls.
            reader = SharedNetwork.open(url, "bench", sync_interval=float("inf"), **config())
            mirror_path = str(pathlib.Path(tmp) / "mirror.json")
            for with_query, batch in ((False, 20_000), (True, 2_000)):
                reader.save(mirror_path)
                mirror = LocalNetwork.load(mirror_path)
                shared_rates, plain_rates = [], []
                for r in range(args.repeats):
                    events = feedback_events(names, queries, batch, r, with_query)
                    append_raw(client, "bench", events)
                    c0 = time.process_time()
                    assert reader.sync() >= batch
                    shared_rates.append(batch / (time.process_time() - c0))
                    c0 = time.process_time()
                    apply_directly(mirror, events)
                    plain_rates.append(batch / (time.process_time() - c0))
                label = "feedback with queries" if with_query else "feedback without query"
                for who, rates in (("plain engine, direct calls", plain_rates),
                                   ("shared replica, sync()", shared_rates)):
                    med = statistics.median(rates)
                    row(f"applying {label} ({args.agents} agents): {who}, CPU",
                        f"{med:,.0f} events/s", (max(rates) - min(rates)) / med)

            # Catching up from a checkpoint (feedback without query: what the replication
            # itself costs), and the plain engine applying the same events directly.
            path = str(pathlib.Path(tmp) / "checkpoint.json")
            reader.checkpoint(path)
            events = feedback_events(names, queries, args.catch_up, 99, False)
            append_raw(client, "bench", events)
            times, direct = [], []
            for _ in range(3):
                t0 = time.perf_counter()
                with SharedNetwork.open(url, "bench", checkpoint=path) as late:
                    times.append(time.perf_counter() - t0)
                    assert late.agent_count == len(agents)
                mirror = LocalNetwork.load(path)
                t0 = time.perf_counter()
                apply_directly(mirror, events)
                direct.append(time.perf_counter() - t0)
            med = statistics.median(times)
            row(f"catching up {args.catch_up:,} events from a checkpoint (open, wall)",
                f"{med:.2f} s", (max(times) - min(times)) / med)
            med = statistics.median(direct)
            row("the same events applied by direct calls to a loaded engine (wall)",
                f"{med:.2f} s", (max(direct) - min(direct)) / med)

            for n in (net, reader):
                n.close()
        finally:
            proc.kill()
            proc.wait()

    table = ["| Measurement | Median | Spread |", "|---|---|---|"]
    table += [f"| {w} | {v} | {s} |" for w, v, s in rows]
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(f"# SharedNetwork on a local Redis\n\n{args.agents:,} agents, every "
                        f"network {configuration}.\n\n" + "\n".join(table) + "\n")
    print("\n".join(table))


if __name__ == "__main__":
    main()
