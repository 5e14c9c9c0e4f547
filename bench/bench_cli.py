"""The command line's costs that grow with input or with concurrency.

    python bench/bench_cli.py [--repeats 5]

- import-cards of one generated card with 60,000 tags (about 800 KB): CPU time of the command
  in this process, median and range over the repeats;
- two processes each running 50 `add` (then 50 `feedback`) commands on one state file, with a
  third running `query` beside them: how many of the 100 updates the file keeps.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from kova_discovery.cli import main

WORKER = """
import sys
from kova_discovery.cli import main
state, who, kind = sys.argv[1:]
for i in range(50):
    argv = {"add": ["add", f"{who}{i}", "capability"],
            "feedback": ["feedback", "target", "success", "--query", f"{who} query {i}"],
            "query": ["query", "capability"]}[kind]
    assert main(["--state", state, *argv]) == 0
"""


def quiet_main(argv: list[str]) -> int:
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        return main(argv)


def import_tags(repeats: int) -> list[float]:
    tags = [f"tag{i:06d}" for i in range(60_000)]
    card = {"name": "tagged", "description": "an agent with many tags",
            "skills": [{"name": "skill", "description": "does x", "tags": tags}]}
    times = []
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "card.json"
        path.write_text(json.dumps(card))
        for i in range(repeats):
            started = time.process_time()
            assert quiet_main(["--state", f"{tmp}/s{i}.json", "import-cards", str(path)]) == 0
            times.append(time.process_time() - started)
    return times


def kept_updates(kind: str) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        state = f"{tmp}/s.json"
        assert quiet_main(["--state", state, "add", "target", "capability"]) == 0
        procs = [subprocess.Popen([sys.executable, "-c", WORKER, state, who, job],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                 for who, job in (("a", kind), ("b", kind), ("r", "query"))]
        assert [p.wait() for p in procs] == [0, 0, 0]
        agents = json.loads(Path(state).read_text())["agents"]
        if kind == "add":
            return len(agents) - 1
        return len(next(a for a in agents if a["name"] == "target")["feedback"])


def run() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    times = import_tags(args.repeats)
    print(f"import-cards, 60,000-tag card: median {statistics.median(times) * 1e3:.1f} ms CPU "
          f"(range {min(times) * 1e3:.1f}-{max(times) * 1e3:.1f}, {len(times)} runs)")
    for kind in ("add", "feedback"):
        print(f"2 x 50 concurrent {kind} beside queries: {kept_updates(kind)} of 100 kept")


if __name__ == "__main__":
    run()
