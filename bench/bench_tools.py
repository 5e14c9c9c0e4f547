"""Tool selection from Python, and discovery through the MCP server, at 5,000 tools.

    python bench/bench_tools.py [--tools 5000] [--repeat 7] [--data DIR] [--no-mcp]

Tools: the real MCP tool definitions of ``DIR/mcp_tools.jsonl`` (their first occurrence per
name), then servers of ``DIR/tools_corpus.jsonl`` as schema-less MCP tools, up to ``--tools``.
Queries: the labelled requests of ``DIR/retrieval/queries_dev.jsonl``. Without the data the
benchmark says so and exits.

- ``select_tools`` with k = 10, per call in CPU time (``time.thread_time``), beside
  ``discover`` of the same query (the engine's own share). Targets: select_tools <= 100 us.
- ``record_success`` with query memory at 1,000 of the tools, each already remembering 100
  real queries, with a query it does not remember yet. Target: <= 20 us.
- ``discover_agents`` through the SDK's stdio client against ``kova-discovery mcp`` on a state
  file of the same tools, per round trip: the CPU time of client and server together (read
  from /proc; on a busy machine the wall clock mostly counts waiting for a core) and the wall
  clock. Target: <= 5 ms.

Each figure is the median of ``--repeat`` passes, with the spread (max - min) / median.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json
import os
import pathlib
import statistics
import sys
import tempfile
import time
from collections.abc import Callable

from kova_discovery import LocalNetwork
from kova_discovery.tools import register_tools, select_tools

DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"


def load_tools(data: pathlib.Path, count: int) -> list[dict]:
    found: dict[str, dict] = {}
    with open(data / "mcp_tools.jsonl", encoding="utf-8") as f:
        for line in f:
            tool = json.loads(line)
            found.setdefault(tool["name"], tool)
    with open(data / "tools_corpus.jsonl", encoding="utf-8") as f:
        for line in f:
            row = json.loads(line)
            found.setdefault(row["name"], {"name": row["name"], "description": row["description"],
                                           "inputSchema": {"type": "object"}})
    return list(found.values())[:count]


def load_queries(data: pathlib.Path, count: int) -> list[str]:
    with open(data / "retrieval" / "queries_dev.jsonl", encoding="utf-8") as f:
        return [json.loads(line)["query"] for line in f][:count]


def new_network() -> tuple[str, LocalNetwork]:
    """The recommended configuration where this build has it, else the default."""
    import kova_discovery

    bm25 = getattr(kova_discovery, "Bm25Scorer", None)
    if bm25 is not None:
        try:
            return "Bm25Scorer + query_memory=100", LocalNetwork(scorer=bm25(), query_memory=100)
        except TypeError:
            return "Bm25Scorer", LocalNetwork(scorer=bm25())
    return "default MinHash", LocalNetwork()


def passes(fn: Callable[[str], object], queries: list[str], repeat: int,
           clock: Callable[[], float]) -> tuple[float, float]:
    """Median seconds per query over ``repeat`` passes, and the spread."""
    for q in queries[:20]:
        fn(q)
    samples = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = clock()
            for q in queries:
                fn(q)
            samples.append((clock() - start) / len(queries))
        finally:
            gc.enable()
    med = statistics.median(samples)
    return med, (max(samples) - min(samples)) / med


def bench_select(tools: list[dict], queries: list[str], repeat: int) -> None:
    label, network = new_network()
    start = time.process_time()
    register_tools(network, tools)
    took = time.process_time() - start
    print(f"{len(tools)} tools, {label}: registered in {took:.2f} s CPU")
    for name, fn in (
        ("select_tools, k=10", lambda q: select_tools(network, q, 10)),
        ("discover, first 10", lambda q: network.discover(q)[:10]),
    ):
        med, spread = passes(fn, queries, repeat, time.thread_time)
        print(f"  {name:20} {med * 1e6:8.1f} us  (spread {spread:.0%}, {repeat} passes of "
              f"{len(queries)} queries)")


def bench_record(tools: list[dict], queries: list[str], repeat: int, agents: int = 1000) -> None:
    """record_success with a query each tool has not remembered yet, once every tool already
    remembers 100 queries: the steady state of a network in use (forget the oldest, learn the
    newest, propagate the success to similar tools)."""
    label, network = new_network()
    names = register_tools(network, tools[:agents])
    memory = 100
    for k in range(memory):
        for i, name in enumerate(names):
            network.record_success(name, query=queries[(37 * i + k) % len(queries)])
    calls = [(name, queries[(37 * i + memory + j) % len(queries)])
             for j in range(2) for i, name in enumerate(names)]
    samples = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.thread_time()
            for name, query in calls:
                network.record_success(name, query=query)
            samples.append((time.thread_time() - start) / len(calls))
        finally:
            gc.enable()
    med = statistics.median(samples)
    print(f"record_success, {len(names)} tools remembering {memory} queries each, {label}: "
          f"{med * 1e6:.1f} us  (spread {(max(samples) - min(samples)) / med:.0%}, {repeat} "
          f"passes of {len(calls)} calls)")


def children_cpu() -> float:
    """CPU seconds used so far by this process's children (the server), from /proc."""
    me, total = os.getpid(), 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == me:
            total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


async def bench_mcp(tools: list[dict], queries: list[str], repeat: int) -> None:
    from mcp import ClientSession, StdioServerParameters, stdio_client

    with tempfile.TemporaryDirectory() as tmp:
        state = pathlib.Path(tmp) / "state.json"
        label, network = new_network()
        register_tools(network, tools)
        network.save(str(state))
        params = StdioServerParameters(
            command=sys.executable, args=["-m", "kova_discovery", "--state", str(state), "mcp"])
        async with stdio_client(params) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                for q in queries[:20]:
                    await session.call_tool("discover_agents", {"query": q})
                wall, cpu = [], []
                for _ in range(repeat):
                    w0, c0, s0 = time.perf_counter(), time.process_time(), children_cpu()
                    for q in queries:
                        result = await session.call_tool("discover_agents",
                                                         {"query": q, "limit": 10})
                        assert not result.is_error, result.content
                    n = len(queries)
                    wall.append((time.perf_counter() - w0) / n)
                    cpu.append((time.process_time() - c0 + children_cpu() - s0) / n)
    print(f"MCP discover_agents over stdio, {len(tools)} agents, {label} "
          f"({repeat} passes of {len(queries)} calls):")
    for name, samples in (("CPU, client + server", cpu), ("wall clock", wall)):
        med = statistics.median(samples)
        print(f"  {name:20} {med * 1e3:8.2f} ms  (spread "
              f"{(max(samples) - min(samples)) / med:.0%})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--data", type=pathlib.Path, default=DATA)
    parser.add_argument("--no-mcp", action="store_true", help="skip the MCP round trips")
    args = parser.parse_args()
    if not (args.data / "mcp_tools.jsonl").exists():
        print(f"no tool data in {args.data}; nothing measured")
        return
    tools = load_tools(args.data, args.tools)
    bench_select(tools, load_queries(args.data, 500), args.repeat)
    bench_record(tools, load_queries(args.data, 2000), args.repeat)
    if not args.no_mcp:
        asyncio.run(bench_mcp(tools, load_queries(args.data, 100), args.repeat))


if __name__ == "__main__":
    main()
