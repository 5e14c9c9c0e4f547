"""Resident-size growth of one LocalNetwork, measured in a fresh interpreter.

    python bench/memory_probe.py --agents 2000 --feedback 100 [--state-dir DIR]

Prints one JSON object: resident bytes before and after registering the agents, after
filling every agent's feedback memory with `--feedback` records, the bytes of the agents'
own strings, and with --state-dir the save and load times and the state file's size. The
records come from distinct real queries reported as failures: a failure stores its record as
a success does but neither propagates nor feeds the co-occurrence statistics, so the growth
is the feedback memory alone. The agents' texts are built before the first
reading, so the growth is the engine's (its own copies of the strings included).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pathlib
import time

import workloads


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as handle:
        pages = int(handle.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--agents", type=int, required=True)
    parser.add_argument("--feedback", type=int, default=0)
    parser.add_argument("--scorer", choices=("minhash", "tfidf"), default="minhash")
    parser.add_argument("--state-dir")
    args = parser.parse_args()

    from kova_discovery import LocalNetwork, TfIdfScorer

    agents = workloads.grow(workloads.corpus_agents(), args.agents)
    texts = workloads.queries()
    feedback_queries = texts[: max(args.feedback, 1)]
    string_bytes = sum(len(a.name.encode()) + len(a.description.encode()) for a in agents)

    network = LocalNetwork(scorer=TfIdfScorer()) if args.scorer == "tfidf" else LocalNetwork()
    gc.collect()
    before = resident_bytes()
    for agent in agents:
        network.register(agent.name, [agent.description])
    gc.collect()
    registered = resident_bytes()
    out = {"agents": args.agents, "scorer": args.scorer, "string_bytes": string_bytes,
           "before": before, "registered": registered, "feedback_records": args.feedback}

    if args.feedback:
        start = time.process_time()
        for agent in agents:
            for query in feedback_queries[: args.feedback]:
                network.record_failure(agent.name, query=query)
        out["feedback_cpu"] = time.process_time() - start
        gc.collect()
        out["with_feedback"] = resident_bytes()

    if args.state_dir:
        path = pathlib.Path(args.state_dir) / f"state-{args.agents}-{args.feedback}.json"
        c0, w0 = time.process_time(), time.perf_counter()
        network.save(str(path))
        out["save_cpu"], out["save_wall"] = time.process_time() - c0, time.perf_counter() - w0
        out["file_bytes"] = path.stat().st_size
        del network
        gc.collect()
        c0, w0 = time.process_time(), time.perf_counter()
        loaded = LocalNetwork.load(str(path))
        out["load_cpu"], out["load_wall"] = time.process_time() - c0, time.perf_counter() - w0
        assert loaded.agent_count == args.agents
        path.unlink()
    print(json.dumps(out))


if __name__ == "__main__":
    main()
