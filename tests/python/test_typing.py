"""The stubs: a typed usage example passes ``mypy --strict``, misuse is reported, and stubtest
finds the stubs consistent with the built module."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import kova_discovery

pytest.importorskip("mypy")

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLE = HERE / "typing_example.py"
PACKAGE_ROOT = pathlib.Path(kova_discovery.__file__).resolve().parent.parent


def run_mypy_tool(args, tmp_path):
    env = dict(os.environ)
    # An installed package is found through site-packages; a staged or source tree one needs
    # its directory on the search path (mypy refuses site-packages there).
    if "site-packages" not in PACKAGE_ROOT.parts:
        env["MYPYPATH"] = str(PACKAGE_ROOT)
        env["PYTHONPATH"] = os.pathsep.join([str(PACKAGE_ROOT), env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True,
        timeout=600,
    )


def test_usage_example_passes_mypy_strict(tmp_path):
    proc = run_mypy_tool(["mypy", "--strict", "--no-incremental", str(EXAMPLE)], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_usage_example_runs():
    namespace = {"__name__": "typing_example"}
    exec(compile(EXAMPLE.read_text(encoding="utf-8"), str(EXAMPLE), "exec"), namespace)
    namespace["main"]()


MISUSE = {
    "network.discover(42)": "discover",
    "network.discover('q', explain=1)": "discover",
    "network.discover('q', filters={'k': 5})": "filters",
    "network.discover_many([Query.all('a')])": "discover_many",
    "network.register('a', ['x'], metadata={'k': 1})": "metadata",
    "network.discover('q')[0].score = 1.0": "score",
    "Query.weighted({'a': 'heavy'})": "weighted",
    "Query.all('a', 3)": "all",
    "FilterValue.less_than('10')": "less_than",
    "len(network.discover('q', explain=True)[0].similarity_lower)": "len",
    "LocalNetwork(similarity_threshold='high')": "LocalNetwork",
}


def test_misuse_is_reported(tmp_path):
    lines = ["from kova_discovery import FilterValue, LocalNetwork, Query", "",
             "network = LocalNetwork()"]
    first = len(lines) + 1
    lines += list(MISUSE)
    bad = tmp_path / "misuse.py"
    bad.write_text("\n".join(lines) + "\n", encoding="utf-8")
    proc = run_mypy_tool(["mypy", "--strict", "--no-incremental", str(bad)], tmp_path)
    flagged = {int(line.split(":")[1]) for line in proc.stdout.splitlines()
               if line.startswith(bad.name + ":") and ": error:" in line}
    missing = [code for i, code in enumerate(MISUSE, start=first) if i not in flagged]
    assert not missing, proc.stdout


def test_stubtest_agrees_with_the_module(tmp_path):
    proc = run_mypy_tool(["mypy.stubtest", "kova_discovery._native"], tmp_path)
    assert proc.returncode == 0, textwrap.shorten(proc.stdout + proc.stderr, 4000)
