"""The stubs: typed usage passes ``mypy --strict`` (and runs), misuse is reported, and stubtest
finds the stubs consistent with the built module."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import kova_discovery
from conftest import REPO

pytest.importorskip("mypy")

EXAMPLE = pathlib.Path(__file__).resolve().parent / "typing_example.py"
PACKAGE_ROOT = pathlib.Path(kova_discovery.__file__).resolve().parent.parent


def mypy(args, tmp_path):
    env = dict(os.environ)
    # An installed package is found through site-packages; a staged or source tree one needs
    # its directory on the search path (mypy refuses site-packages there).
    if "site-packages" not in PACKAGE_ROOT.parts:
        env["MYPYPATH"] = str(PACKAGE_ROOT)
        env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_ROOT), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=600)


def test_usage_example_and_the_package_pass_mypy_strict_and_the_example_runs(tmp_path):
    package = REPO / "python" / "kova_discovery"
    proc = mypy(["mypy", "--strict", "--no-incremental", str(EXAMPLE), str(package)], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    namespace = {"__name__": "typing_example"}
    exec(compile(EXAMPLE.read_text(encoding="utf-8"), str(EXAMPLE), "exec"), namespace)
    namespace["main"]()


MISUSE = [
    "network.discover(42)", "network.discover('q', explain=1)",
    "network.discover('q', filters={'k': 5})", "network.discover_many([Query.all('a')])",
    "network.register('a', ['x'], metadata={'k': 1})", "network.discover('q')[0].score = 1.0",
    "Query.weighted({'a': 'heavy'})", "Query.all('a', 3)", "FilterValue.less_than('10')",
    "len(network.discover('q', explain=True)[0].similarity_lower)",
    "LocalNetwork(similarity_threshold='high')",
]


def test_misuse_is_reported(tmp_path):
    head = ["from kova_discovery import FilterValue, LocalNetwork, Query",
            "network = LocalNetwork()"]
    (tmp_path / "misuse.py").write_text("\n".join(head + MISUSE) + "\n", encoding="utf-8")
    proc = mypy(["mypy", "--strict", "--no-incremental", "misuse.py"], tmp_path)
    flagged = {int(line.split(":")[1]) for line in proc.stdout.splitlines()
               if line.startswith("misuse.py:") and ": error:" in line}
    assert [c for i, c in enumerate(MISUSE, len(head) + 1) if i not in flagged] == [], proc.stdout


def test_stubtest_agrees_with_the_module(tmp_path):
    proc = mypy(["mypy.stubtest", "kova_discovery._native"], tmp_path)
    assert proc.returncode == 0, textwrap.shorten(proc.stdout + proc.stderr, 4000)
