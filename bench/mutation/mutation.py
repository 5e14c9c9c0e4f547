#!/usr/bin/env python3
"""A fixed sample of mutants, and which of them a version of the test suite kills.

    mutation.py [--sample NAME] select [--seed N]
                                            draw the sample at HEAD, write NAME.json
                                            (default mutants.json)
    mutation.py run --suites A [B] --labels LA [LB] [--first-killed-by L]
                                            apply each mutant to the sampled commit's product
                                            code once, run A's (and B's) tests on it, write
                                            results-LA.json (and results-LB.json)
    mutation.py table A B                   compare two runs as a Markdown table

Mutants come from universalmutator (PyPI; installed into build/mutation/venv on first use):
every mutant its rules make of the listed files, less the ones that only insert `break;` or
`continue;` or touch comments and includes, shuffled with the seed per file, taking the first
that compile (C++) or byte-compile (Python), at most one per line.

A run works on one scratch copy under build/mutation/ (git archive of A, with src/ and python/
from the sampled commit and B's tests/ under tests_b/), so that both suites meet exactly the
same build of the same product code. A run of one suite has only A's tests in its tree, so a
suite that exists only later is judged in a run of its own on the same product code. Per mutant
it rebuilds incrementally (at -O1); an engine mutant runs each suite's ctest (stops at the first
failure) and, for a suite whose ctest passes, the extension is linked and staged beside the
package sources and that suite's pytest runs (-x); binding mutants skip ctest, Python mutants
skip both builds. Results are written after every mutant, so an interrupted run resumes where it
stopped. `--first-killed-by` judges first the mutants an earlier run killed: the ones a later
suite must still kill.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import random
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
WORK = REPO / "build" / "mutation"
SAMPLE = HERE / "mutants.json"
SHARED = REPO.parent / "shared"

# How many mutants each file contributes: every area the suite is meant to guard.
PLAN = {
    "src/engine/network/persistence.cpp": 1,
    "src/engine/network/atomic_file.cpp": 1,
    "src/engine/network/snapshot_writer.cpp": 1,
    "src/engine/network/snapshot_reader.cpp": 1,
    "src/engine/network/registry_cache.cpp": 1,
    "src/engine/network/pipeline.cpp": 4,
    "src/engine/core/kernels.cpp": 3,
    "src/engine/network/feedback.cpp": 2,
    "src/engine/network/feedback_index.cpp": 1,
    "src/engine/network/propagation.cpp": 1,
    "src/engine/network/filter.cpp": 2,
    "src/engine/query/query.cpp": 3,
    "src/engine/core/lsh.cpp": 1,
    "src/engine/scorer/minhash.cpp": 2,
    "src/engine/scorer/tfidf.cpp": 2,
    "src/engine/scorer/bm25.cpp": 2,
    "src/engine/scorer/hybrid.cpp": 1,
    "src/engine/network/query_memory.cpp": 2,
    "src/engine/network/cooccurrence.cpp": 2,
    "src/binding/convert.cpp": 3,
    "src/binding/query_filter.cpp": 1,
    "src/binding/discover.cpp": 1,
    "src/binding/network.cpp": 1,
    "python/kova_discovery/cli.py": 2,
    "python/kova_discovery/_statefile.py": 2,
    "python/kova_discovery/tools.py": 2,
    "python/kova_discovery/shared.py": 1,
}
# The soak, stress, crash and depth tests at a tenth of their default length: both suites run
# with the same settings, and a mutant they alone would catch shows up at this length too.
SHORT_RUNS = {"KOVA_SOAK_CALLS": "10000", "KOVA_STRESS_CALLS": "400", "KOVA_CRASH_KILLS": "10",
              "KOVA_DEEP_LEVELS": "400"}
# The stub checks (mypy and stubtest, half a minute per run) check the stub file, which no
# mutant touches; both suites leave them out.
PYTEST_SKIPS = ["--deselect", "tests/python/test_typing.py", "--deselect",
                "tests_b/python/test_typing.py"]
# Rules whose mutants are nearly always ill-formed or the same program.
SKIPPED_RULES = {"universal.rules:83", "universal.rules:84"}


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def git(*args):
    return subprocess.run(["git", *args], cwd=REPO, check=True, capture_output=True,
                          text=True).stdout.strip()


def venv_python():
    return str(REPO / ".venv" / "bin" / "python")


def mutate_tool():
    env = WORK / "venv"
    tool = env / "bin" / "mutate"
    if not tool.exists():
        sh([sys.executable, "-m", "venv", str(env)])
        sh([str(env / "bin" / "pip"), "install", "-q", "universalmutator"])
    return str(tool)


def export_tree(dest: Path, suite: str, product: str):
    """The tree at `suite` with the product code of `product`."""
    if dest.exists():
        shutil.rmtree(dest)
    dest.mkdir(parents=True)
    for ref, paths in ((suite, []), (product, ["src", "python"])):
        if paths:
            for p in paths:
                shutil.rmtree(dest / p, ignore_errors=True)
        archive = subprocess.run(["git", "archive", ref, *paths], cwd=REPO, check=True,
                                 capture_output=True).stdout
        sh(["tar", "-x", "-C", str(dest)], input=archive)
    # The tests find the shared data and fixtures beside the repository.
    link = dest.parent / "shared"
    if SHARED.exists() and not link.exists():
        link.symlink_to(SHARED)


def configure(tree: Path, fast: bool = False):
    """`fast` builds at -O1: a mutant recompiles in about half the time, and the suites'
    heavy cases still run quickly enough."""
    build = tree / "build"
    env = dict(os.environ, PATH=f"{REPO / '.venv' / 'bin'}:{os.environ['PATH']}")
    flags = ["-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG"] if fast else []
    sh(["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
        "-DKOVA_BUILD_TESTS=ON", "-DSKBUILD=ON", f"-DPython_EXECUTABLE={venv_python()}",
        "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", *flags], env=env, stdout=subprocess.DEVNULL)
    return build


# ---- select ------------------------------------------------------------------------------------

def docstring_lines(path: Path) -> set[int]:
    """Lines of string statements (docstrings), whose mutants change no behaviour."""
    import ast

    lines = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant) and isinstance(
                node.value.value, str):
            lines.update(range(node.lineno, (node.end_lineno or node.lineno) + 1))
    return lines


def candidates(path: Path, rel: str):
    """(line, original, mutated, rule) for every mutant universalmutator makes of `path`."""
    with tempfile.TemporaryDirectory() as out:
        lang = "python" if rel.endswith(".py") else "cpp"
        log = subprocess.run([mutate_tool(), str(path), lang, "--noCheck", "--showRules",
                              "--mutantDir", out], capture_output=True, text=True).stdout
        rules = re.findall(r"\(FROM: builtin:(\S+?\.rules:\d+)\)", log)
        original = path.read_text().splitlines()
        quiet = docstring_lines(path) if lang == "python" else set()
        found = []
        stem, suffix = path.stem, path.suffix
        for i, rule in enumerate(rules):
            mutant = Path(out) / f"{stem}.mutant.{i}{suffix}"
            if rule in SKIPPED_RULES or not mutant.exists():
                continue
            lines = mutant.read_text().splitlines()
            if len(lines) != len(original):
                continue
            changed = [n for n, (a, b) in enumerate(zip(original, lines)) if a != b]
            if len(changed) != 1:
                continue
            n = changed[0]
            text = original[n].strip()
            if n + 1 in quiet:
                continue
            if (not text or text.startswith(("//", "#include", "#", "/*", "*"))
                    or lines[n].strip() == text):
                continue
            found.append({"line": n + 1, "original": original[n], "mutated": lines[n],
                          "rule": rule})
        return found


def compiles(tree: Path, build: Path, rel: str, commands) -> bool:
    if rel.endswith(".py"):
        return subprocess.run([venv_python(), "-m", "py_compile", str(tree / rel)],
                              capture_output=True).returncode == 0
    entry = commands[str(tree / rel)]
    args = shlex.split(entry["command"])
    if "-o" in args:
        i = args.index("-o")
        del args[i:i + 2]
    args = [a for a in args if a != "-c"] + ["-fsyntax-only"]
    return subprocess.run(args, cwd=entry["directory"], capture_output=True).returncode == 0


def select(seed: int):
    commit = git("rev-parse", "HEAD")
    tree = WORK / "select" / "tree"
    export_tree(tree, commit, commit)
    build = configure(tree)
    commands = {e["file"]: e for e in json.loads((build / "compile_commands.json").read_text())}
    sample = []
    for rel, count in PLAN.items():
        path = tree / rel
        pristine = path.read_text()
        pool = candidates(path, rel)
        random.Random(f"{seed}:{rel}").shuffle(pool)
        taken, lines_used, tried = 0, set(), 0
        for m in pool:
            if taken == count:
                break
            if m["line"] in lines_used:
                continue
            lines = pristine.splitlines(keepends=True)
            lines[m["line"] - 1] = m["mutated"] + "\n"
            path.write_text("".join(lines))
            tried += 1
            ok = compiles(tree, build, rel, commands)
            path.write_text(pristine)
            if ok:
                lines_used.add(m["line"])
                sample.append({"id": f"M{len(sample) + 1:02d}", "file": rel, **m})
                taken += 1
        print(f"{rel}: {taken} of {len(pool)} candidates ({tried} tried)", flush=True)
    SAMPLE.write_text(json.dumps({"commit": commit, "seed": seed, "mutants": sample},
                                 indent=1, ensure_ascii=False) + "\n")
    print(f"{len(sample)} mutants written to {SAMPLE}")


# ---- run ---------------------------------------------------------------------------------------

def timed(cmd, timeout, **kw):
    start = time.monotonic()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kw)
        return proc.returncode, proc.stdout + proc.stderr, time.monotonic() - start
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (
            e.stdout or "")
        return None, out, time.monotonic() - start


# The second suite's engine tests, built beside the first suite's against the same engine
# library, with their test names prefixed so that ctest can tell the two apart.
SECOND_SUITE_CMAKE = r"""
if(KOVA_BUILD_TESTS)
  file(GLOB KOVA_TEST_SOURCES_B CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests_b/engine/*.cpp)
  add_executable(kova_engine_tests_b ${KOVA_TEST_SOURCES_B} ${KOVA_FUZZ_REPLAY_SOURCES})
  target_link_libraries(kova_engine_tests_b PRIVATE kova_engine GTest::gtest GTest::gtest_main)
  target_compile_definitions(kova_engine_tests_b PRIVATE KOVA_FUZZ_REPLAY
    KOVA_FUZZ_CORPUS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus"
    KOVA_SHARED_DIR="${CMAKE_CURRENT_SOURCE_DIR}/../shared"
    KOVA_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests_b/engine/data")
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(kova_engine_tests_b PRIVATE -Wno-restrict)
  endif()
  gtest_discover_tests(kova_engine_tests_b TEST_PREFIX "b." DISCOVERY_TIMEOUT 60)
endif()
"""


class Suite:
    """One version of the tests inside the shared tree: its engine test binary, the ctest
    selection of its tests, and its pytest directory."""

    def __init__(self, label, target, ctest_args, pytest_dir):
        self.label, self.target, self.ctest_args, self.pytest_dir = (label, target, ctest_args,
                                                                     pytest_dir)
        self.ctest_limit = self.pytest_limit = 3600.0


class Runner:
    def __init__(self, tree: Path, jobs: int, suites):
        self.tree, self.build, self.jobs, self.suites = tree, tree / "build", jobs, suites
        self.env = dict(os.environ, PATH=f"{REPO / '.venv' / 'bin'}:{os.environ['PATH']}",
                        PYTHONPATH=str(tree / "python"), PYTHONDONTWRITEBYTECODE="1",
                        **SHORT_RUNS)

    def ninja(self, *targets):
        code, out, _ = timed(["cmake", "--build", str(self.build), "-j", str(self.jobs),
                              "--target", *targets], 1800, env=self.env)
        return code == 0, out

    def stage(self):
        for so in self.build.glob("_native*.so"):
            shutil.copy2(so, self.tree / "python" / "kova_discovery" / so.name)

    def ctest(self, suite):
        code, out, secs = timed(["ctest", "--test-dir", str(self.build), "--stop-on-failure",
                                 "-j", str(self.jobs), "--timeout", "300",
                                 "--output-on-failure", *suite.ctest_args], suite.ctest_limit,
                                env=self.env)
        failed = re.findall(r"\d+ - (\S+) \(", out)
        return code, (failed[0] if failed else out[-300:]), secs

    def pytest(self, suite):
        code, out, secs = timed([venv_python(), "-m", "pytest", "-x", "-q", "-p",
                                 "no:cacheprovider", *PYTEST_SKIPS, suite.pytest_dir],
                                suite.pytest_limit,
                                cwd=self.tree, env=self.env)
        failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", out, re.M)
        return code, (failed[0] if failed else out[-300:]), secs

    def baseline(self):
        ok, out = self.ninja(*[s.target for s in self.suites], "_native")
        if not ok:
            sys.exit("the unmutated tree does not build:\n" + out[-2000:])
        self.stage()
        figures = {}
        for suite in self.suites:
            code, detail, ctest_secs = self.ctest(suite)
            if code != 0:
                sys.exit(f"{suite.label}: ctest fails without a mutant: {detail}")
            code, detail, pytest_secs = self.pytest(suite)
            if code != 0:
                sys.exit(f"{suite.label}: pytest fails without a mutant: {detail}")
            suite.ctest_limit = 3 * ctest_secs + 300
            suite.pytest_limit = 3 * pytest_secs + 300
            figures[suite.label] = {"ctest_seconds": round(ctest_secs, 1),
                                    "pytest_seconds": round(pytest_secs, 1)}
        return figures

    @staticmethod
    def each(step, suites):
        """`step` for every suite at once: the suites are independent, and the machine is
        shared, so two processes get through sooner than one after the other."""
        with concurrent.futures.ThreadPoolExecutor(len(suites) or 1) as pool:
            return list(pool.map(step, suites))

    def judge(self, m):
        """A verdict per suite: the mutant is built once and each suite's tests run on it."""
        rel = m["file"]
        start = time.monotonic()
        verdicts = {s.label: {"id": m["id"]} for s in self.suites}
        pending = list(self.suites)
        if rel.startswith("src/"):
            engine = rel.startswith("src/engine/")
            ok, out = self.ninja(*([s.target for s in self.suites] if engine else ["_native"]))
            if not ok:
                return {s.label: {"id": m["id"], "killed": None, "by": "build",
                                  "detail": out[-300:]} for s in self.suites}
            if engine:
                for suite, (code, detail, _) in zip(self.suites, self.each(self.ctest,
                                                                          self.suites)):
                    if code != 0:
                        verdicts[suite.label].update(killed=True,
                                                     by="ctest" if code else "timeout",
                                                     detail=detail)
                pending = [s for s in self.suites if "killed" not in verdicts[s.label]]
                if pending:
                    ok, out = self.ninja("_native")
                    if not ok:
                        for s in pending:
                            verdicts[s.label].update(killed=None, by="build", detail=out[-300:])
                        pending = []
            if pending:
                self.stage()
        else:
            # The extension staged last may carry an earlier C++ mutant: rebuilt from the
            # restored sources (nothing to do if it was not), it is the product's own again.
            ok, out = self.ninja("_native")
            if not ok:
                sys.exit("the unmutated extension does not build:\n" + out[-2000:])
            self.stage()
        for suite, (code, detail, _) in zip(pending, self.each(self.pytest, pending)):
            by = "pytest" if code is not None else "timeout"
            verdicts[suite.label].update(killed=code != 0, by=by if code != 0 else None,
                                         detail=detail if code != 0 else "")
        for v in verdicts.values():
            v["seconds"] = round(time.monotonic() - start)
        return verdicts


def run(suites: list[str], labels: list[str], jobs: int, only: list[str], copy: str = "",
        first_killed_by: str = ""):
    """One or two suites on one scratch tree: the first suite's tests/ where they belong, the
    second's under tests_b/, and the sampled commit's product code."""
    if len(suites) != len(labels) or len(suites) not in (1, 2):
        sys.exit("give one or two suites and as many labels")
    sample = json.loads(SAMPLE.read_text())
    refs = [git("rev-parse", ref) for ref in suites]
    out_files = [HERE / f"results-{label}.json" for label in labels]
    results = [json.loads(f.read_text()) if f.exists() else {
        "suite": ref, "product": sample["commit"], "baseline": None, "mutants": {}}
        for f, ref in zip(out_files, refs)]
    tree = WORK / "-".join(labels) / "tree"
    if copy:
        # A second runner for Python mutants: the built tree copied, nothing rebuilt in it.
        source, tree = tree, WORK / "-".join(labels) / f"tree-{copy}"
        if not tree.exists():
            shutil.copytree(source, tree, symlinks=True, ignore=shutil.ignore_patterns("build"))
    elif not (tree / "build" / "build.ninja").exists():
        export_tree(tree, refs[0], sample["commit"])
        if len(refs) == 2:
            archive = subprocess.run(["git", "archive", refs[1], "tests"], cwd=REPO,
                                     check=True, capture_output=True).stdout
            (tree / "tests_b").mkdir()
            sh(["tar", "-x", "-C", str(tree / "tests_b"), "--strip-components=1"],
               input=archive)
            with open(tree / "CMakeLists.txt", "a") as f:
                f.write(SECOND_SUITE_CMAKE)
        configure(tree, fast=True)
    runner = Runner(tree, jobs, [
        Suite(labels[0], "kova_engine_tests", ["-E", "^b[.]"], "tests/python"),
        Suite(labels[-1], "kova_engine_tests_b", ["-R", "^b[.]"], "tests_b/python"),
    ][:len(labels)])
    if all(r["baseline"] for r in results):
        # Resumed: the unmutated tree passed both suites when the run began.
        for suite, r in zip(runner.suites, results):
            suite.ctest_limit = 3 * r["baseline"]["ctest_seconds"] + 300
            suite.pytest_limit = 4 * r["baseline"]["pytest_seconds"] + 300
    else:
        figures = runner.baseline()
        for r, label, f in zip(results, labels, out_files):
            r["baseline"] = figures[label]
            f.write_text(json.dumps(r, indent=1) + "\n")
    todo = [m for m in sample["mutants"]
            if m["id"] not in results[-1]["mutants"] and (not only or m["id"] in only)]
    killed_first = set()
    if first_killed_by:
        earlier = json.loads((HERE / f"results-{first_killed_by}.json").read_text())["mutants"]
        killed_first = {i for i, v in earlier.items() if v["killed"]}
    # A file switch rebuilds the file left as well.
    todo.sort(key=lambda m: (m["id"] not in killed_first, m["file"]))
    pristine: dict[Path, str] = {}
    try:
        for m in todo:
            path = tree / m["file"]
            for other, text in pristine.items():
                if other != path:
                    other.write_text(text)
            pristine = {path: pristine.get(path, path.read_text())}
            lines = pristine[path].splitlines(keepends=True)
            assert lines[m["line"] - 1].rstrip("\n") == m["original"], m["id"]
            lines[m["line"] - 1] = m["mutated"] + "\n"
            path.write_text("".join(lines))
            verdicts = runner.judge(m)
            states = []
            for r, label, f in zip(results, labels, out_files):
                r["mutants"].update(json.loads(f.read_text())["mutants"])  # another runner's
                r["mutants"][m["id"]] = verdicts[label]
                f.write_text(json.dumps(r, indent=1) + "\n")
                v = verdicts[label]
                states.append(f"{label}: " + {True: "killed", False: "SURVIVED",
                                              None: "invalid"}[v["killed"]]
                              + f" {v.get('by') or ''} {v.get('detail', '')[:60]!r}")
            print(f"{m['id']} {m['file']}:{m['line']} | " + " | ".join(states)
                  + f" ({verdicts[labels[0]]['seconds']} s)", flush=True)
    finally:
        for path, text in pristine.items():
            path.write_text(text)


# ---- table -------------------------------------------------------------------------------------

def table(labels: list[str]):
    sample = json.loads(SAMPLE.read_text())
    runs = [json.loads((HERE / f"results-{label}.json").read_text()) for label in labels]
    mark = {True: "killed", False: "**survived**", None: "n/a"}
    print("| mutant | file:line | operator | " + " | ".join(labels) + " |")
    print("|---|---|---|" + "---|" * len(labels))
    totals = [0] * len(labels)
    for m in sample["mutants"]:
        cells = []
        for i, r in enumerate(runs):
            v = r["mutants"].get(m["id"])
            killed = v["killed"] if v else None
            totals[i] += bool(killed)
            cells.append(mark[killed] + (f" ({v['by']})" if killed else ""))
        op = f"`{m['original'].strip()[:40]}` → `{m['mutated'].strip()[:40]}`"
        op = op.replace("|", "\\|")
        print(f"| {m['id']} | {m['file'].split('/', 1)[1]}:{m['line']} | {op} | "
              + " | ".join(cells) + " |")
    print("| total | | | " + " | ".join(f"{t}/{len(sample['mutants'])}" for t in totals) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sample", default="mutants",
                        help="the sample's file under bench/mutation/, without .json")
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("select")
    s.add_argument("--seed", type=int, default=22)
    r = sub.add_parser("run")
    r.add_argument("--suites", nargs="+", required=True,
                   help="the one or two commits whose tests run")
    r.add_argument("--labels", nargs="+", required=True)
    r.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    r.add_argument("--only", nargs="*", default=[], help="mutant ids to (re)run")
    r.add_argument("--copy", default="", help="run in a copy of the built tree (Python mutants)")
    r.add_argument("--first-killed-by", default="", metavar="LABEL",
                   help="judge first the mutants that this earlier run killed")
    t = sub.add_parser("table")
    t.add_argument("labels", nargs="+")
    args = parser.parse_args()
    global SAMPLE
    SAMPLE = HERE / f"{args.sample}.json"
    if args.command == "select":
        select(args.seed)
    elif args.command == "run":
        run(args.suites, args.labels, args.jobs, args.only, args.copy, args.first_killed_by)
    else:
        table(args.labels)


if __name__ == "__main__":
    main()
