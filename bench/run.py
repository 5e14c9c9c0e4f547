"""kova_discovery against the libraries a user would pick instead, in one run.

    python bench/run.py [--quick] [--out bench/results] [--cxx-dir build/engine]

Writes report.md, latency.png and learning.png into the output directory. KOVA_BENCH_QUICK=1
(or --quick) measures 1,000 and 10,000 agents only, with fewer repeats. Needs the package and
the `bench` extras installed, and the shared data in ../shared/data beside the repository (or
in $KOVA_DATA); without the data it says so and exits cleanly.
"""

from __future__ import annotations

import os

# Every system runs on one core, as the engine does; keep numpy's and BLAS's pools single.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import pathlib  # noqa: E402
import platform  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from importlib import metadata  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import encoders  # noqa: E402
import peers  # noqa: E402
import quality  # noqa: E402
import report  # noqa: E402
import speed  # noqa: E402
import timing  # noqa: E402
import workloads  # noqa: E402

CXX_BENCHES = ("bench_foundation", "bench_registry", "bench_discovery", "bench_state",
               "bench_tfidf", "bench_query_memory", "bench_bm25")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        default=os.environ.get("KOVA_BENCH_QUICK", "") not in ("", "0"))
    parser.add_argument("--out", type=pathlib.Path, default=workloads.REPO / "bench" / "results")
    parser.add_argument("--sizes", help="comma-separated registry sizes")
    parser.add_argument("--repeats", type=int, help="timed passes per latency row")
    parser.add_argument("--budget", type=float, help="CPU seconds per timed pass")
    parser.add_argument("--query-pool", type=int, default=200)
    parser.add_argument("--memory-sizes", help="comma-separated sizes for the memory probe")
    parser.add_argument("--feedback-agents", type=int, default=1000,
                        help="agents in the full-feedback memory probe (0 skips it)")
    parser.add_argument("--quality-queries", type=int,
                        help="use only this many labelled queries (default: all)")
    parser.add_argument("--quality-folds", type=int, default=quality.FOLDS,
                        help=f"folds of the labelled queries (default: {quality.FOLDS})")
    parser.add_argument("--quality-distractors", type=int,
                        help="corpus agents beside the tool set in the larger-registry setting "
                             "(default: the whole corpus, at most 20 per labelled query)")
    parser.add_argument("--no-minilm", action="store_true",
                        help="leave out the MiniLM embedding rows even where they can run "
                             "(also left out when --quality-queries samples the queries)")
    parser.add_argument("--cxx-dir", type=pathlib.Path, default=workloads.REPO / "build" / "engine",
                        help="where the C++ benchmark programs were built")
    parser.add_argument("--no-cxx", action="store_true", help="skip the C++ benchmarks")
    args = parser.parse_args(argv)
    full = not args.quick
    args.sizes = _ints(args.sizes) or ((1_000, 10_000, 100_000) if full else (1_000, 10_000))
    args.memory_sizes = _ints(args.memory_sizes) or args.sizes
    args.repeats = args.repeats or (5 if full else 3)
    args.budget = args.budget or (0.25 if full else 0.08)
    return args


def _ints(text: str | None) -> tuple[int, ...]:
    return tuple(int(x) for x in text.split(",") if x.strip()) if text else ()


def environment() -> dict[str, str]:
    cpu = "unknown"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    versions = []
    for dist in ("kova_discovery", "datasketch", "scikit-learn", "rank-bm25", "numpy", "scipy"):
        try:
            versions.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            versions.append(f"{dist} (not installed as a distribution)")
    return {
        "CPU": f"{cpu}, {os.cpu_count()} logical cores",
        "Python": platform.python_version(),
        "packages": ", ".join(versions),
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
    }


def calibrate() -> timing.Summary:
    """The same fixed pure-Python work timed repeatedly: how noisy this machine is now."""
    def work() -> int:
        total = 0
        for i in range(200_000):
            total += i * i % 7
        return total

    return timing.repeat(work, 15)


def run_cxx(directory: pathlib.Path, log) -> list[tuple[str, str]]:
    out = []
    for name in CXX_BENCHES:
        exe = directory / name
        if not exe.is_file():
            log(f"C++ benchmark {exe} not built; skipped")
            continue
        log(f"running {name}")
        try:
            proc = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
            out.append((name, proc.stdout + (proc.stderr if proc.returncode else "")))
        except subprocess.TimeoutExpired:
            out.append((name, "timed out after 300 s"))
    return out


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    started = time.perf_counter()

    def log(msg: str) -> None:
        print(f"[{time.perf_counter() - started:6.0f} s] {msg}", flush=True)

    missing = workloads.data_status()
    if missing:
        log(f"skipping the benchmarks: {missing}")
        return 0
    missing = peers.peers_available()
    if missing:
        log(missing)
        return 1

    load_before = os.getloadavg()
    settings = speed.Settings(args.sizes, args.repeats, args.budget, args.query_pool,
                              3 if not args.quick else 1)
    noise = calibrate()
    sizes = []
    for n in args.sizes:
        log(f"speed at {n:,} agents")
        sizes.append(speed.measure_size(n, settings, log))

    memory = []
    for n in args.memory_sizes:
        log(f"memory at {n:,} agents")
        memory.append(speed.memory_probe(n, 0, with_state=False))
    if args.feedback_agents:
        log(f"memory with full feedback at {args.feedback_agents:,} agents")
        memory.append(speed.memory_probe(args.feedback_agents, 100, with_state=True))

    log("quality")
    tools, labelled = workloads.labelled()
    if args.quality_queries:
        labelled = labelled[: args.quality_queries]
    spare = args.quality_distractors
    if spare is None:
        spare = 20 * len(labelled)
    distractors = workloads.corpus_agents()[:spare]
    named = [("hashed words", encoders.Memo(encoders.hashed()))]
    if args.no_minilm or args.quality_queries:
        log("MiniLM rows left out (--no-minilm or a sample of the queries)")
    elif (real := encoders.minilm()) is not None:
        named.append(("all-MiniLM-L6-v2", encoders.Memo(real)))
    else:
        log("MiniLM rows skipped: model files, tokenizers, safetensors or scipy not installed")
    texts = [q.text for q in labelled] + [a.description for a in tools + distractors]
    for label, memo in named:
        log(f"encoding {len(texts):,} texts with {label}")
        memo(texts)  # in batches, once: the networks built later all hit the memo
    quality_rows = quality.run(tools, labelled, distractors, k=args.quality_folds,
                               encoders=named, log=log)

    cxx = [] if args.no_cxx else run_cxx(args.cxx_dir, log)
    result = report.Run(environment(), settings, sizes, memory, quality_rows, None, noise,
                        load_before, os.getloadavg(), cxx, time.perf_counter() - started)
    path = report.write(result, args.out)
    log(f"wrote {path}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
