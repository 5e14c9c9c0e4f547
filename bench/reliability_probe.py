"""Costs of hostile inputs to state files, feedback and the replay log, each in a fresh process.

    python bench/reliability_probe.py [--repeat 3] [--only NAME ...]

Prints one JSON object per probe with the median and the range over the repeats:

- `cooccurrence`: one `record_success` whose query and agent capability are 3,000 distinct
  words each; CPU seconds of that call and the process's peak resident size.
- `replay`: 150 discoveries of a 100 KB query over 50 agents with the replay log on; resident
  growth of the log, then of the dictionaries `replay_events()` returns.
- `error_text`: length of the exception text for a state file holding a 5,000,000-digit
  number, and for one holding an unterminated 5 MB string.
- `special_files`: what `load` does with /dev/zero, a FIFO and a directory, and whether
  `save` over a FIFO leaves it a FIFO; each attempt gets 5 s and a 2 GB address-space cap.
- `stale_temps`: temporary files left beside a target after 20 processes were killed while
  saving, then one more save.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import stat
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

PROBES = {
    "cooccurrence": """
        import resource, time
        from kova_discovery import LocalNetwork
        net = LocalNetwork()
        net.register("a", [" ".join(f"cap{i}" for i in range(3000))])
        query = " ".join(f"word{i}" for i in range(3000))
        start = time.process_time()
        net.record_success("a", query=query)
        result = {"seconds": time.process_time() - start,
                  "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}
    """,
    "replay": """
        import gc
        from kova_discovery import LocalNetwork
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        net = LocalNetwork()
        for i in range(50):
            net.register(f"agent{i}", ["translate legal contracts and documents"])
        net.enable_replay(100_000)
        query = ("translate legal contracts " * 4000)[:100_000]
        gc.collect()
        before = rss()
        for _ in range(150):
            net.discover(query)
        gc.collect()
        logged = rss()
        events = net.replay_events()
        result = {"rss_growth_mb": (logged - before) / 2**20, "events": len(events),
                  "dicts_rss_growth_mb": (rss() - logged) / 2**20}
    """,
    "error_text": """
        import os, tempfile
        from kova_discovery import LocalNetwork
        result = {}
        with tempfile.TemporaryDirectory() as tmp:
            cases = {"digits": '{"version": ' + "9" * 5_000_000 + ', "agents": []}',
                     "string": '{"version": 3, "agents": [{"name": "' + "x" * 5_000_000}
            for name, text in cases.items():
                path = os.path.join(tmp, name + ".json")
                with open(path, "w") as f:
                    f.write(text)
                try:
                    LocalNetwork.load(path)
                except OSError as e:
                    result[name + "_chars"] = len(str(e))
    """,
}

STALE_CHILD = """
import sys
from kova_discovery import LocalNetwork
net = LocalNetwork()
for i in range(200):
    net.register(f"a{i}", ["translate legal contracts " * 30])
    for _ in range(10):
        net.record_failure(f"a{i}", query=f"query {i}")
print("ready", flush=True)
while True:
    net.save(sys.argv[1])
"""


def run_probe(name: str) -> dict[str, object]:
    code = textwrap.dedent(PROBES[name]) + "\nimport json; print(json.dumps(result))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1:]}
    return json.loads(out.stdout)


def special_files() -> dict[str, object]:
    """Each attempt runs in its own process: a blocked open cannot be interrupted from Python."""
    result: dict[str, object] = {}
    with tempfile.TemporaryDirectory() as tmp:
        fifo = os.path.join(tmp, "fifo")
        os.mkfifo(fifo)
        attempts = {"load /dev/zero": f"L.load({'/dev/zero'!r})", "load fifo": f"L.load({fifo!r})",
                    "load directory": f"L.load({tmp!r})", "save fifo": f"L().save({fifo!r})"}
        for label, call in attempts.items():
            code = ("import resource; resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
                    "from kova_discovery import LocalNetwork as L\n"
                    f"try:\n    {call}\n    print('accepted')\n"
                    "except BaseException as e:\n    print(type(e).__name__ + ': ' + str(e)[:70])")
            start = time.monotonic()
            try:
                out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                     timeout=5)
                outcome = out.stdout.strip() or out.stderr.strip()[-70:]
            except subprocess.TimeoutExpired:
                outcome = "blocked"
            result[label] = f"{outcome} ({time.monotonic() - start:.2f} s)"
        result["fifo still a fifo"] = stat.S_ISFIFO(os.lstat(fifo).st_mode)
    return result


def stale_temps(kills: int = 20) -> dict[str, object]:
    with tempfile.TemporaryDirectory() as tmp:
        target = os.path.join(tmp, "state.json")
        for i in range(kills):
            child = subprocess.Popen([sys.executable, "-c", STALE_CHILD, target],
                                     stdout=subprocess.PIPE)
            assert child.stdout is not None and child.stdout.readline().strip() == b"ready"
            time.sleep(0.05 + 0.01 * (i % 7))
            child.send_signal(signal.SIGKILL)
            child.wait()
        after_kills = len([f for f in os.listdir(tmp) if f.startswith(".tmp")])
        subprocess.run([sys.executable, "-c",
                        "import sys; from kova_discovery import LocalNetwork as L; "
                        "L.load(sys.argv[1]).save(sys.argv[1])", target], check=True)
        left = len([f for f in os.listdir(tmp) if f.startswith(".tmp")])
    return {"kills": kills, "temps_after_kills": after_kills, "temps_after_save": left}


def summarise(runs: list[dict[str, object]]) -> dict[str, object]:
    out: dict[str, object] = {}
    for key, value in runs[0].items():
        values = [r.get(key) for r in runs]
        if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
            nums = [float(v) for v in values]  # type: ignore[arg-type]
            out[key] = {"median": round(statistics.median(nums), 4),
                        "min": round(min(nums), 4), "max": round(max(nums), 4)}
        else:
            out[key] = value
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", nargs="*", default=[*PROBES, "special_files", "stale_temps"])
    args = parser.parse_args()
    for name in args.only:
        special = {"special_files": special_files, "stale_temps": stale_temps}.get(name)
        runs = [special()] if special else [run_probe(name) for _ in range(args.repeat)]
        print(json.dumps({"probe": name, **summarise(runs)}), flush=True)


if __name__ == "__main__":
    main()
