"""Replays the Python-surface fuzz corpus (seeds and every input that once failed) through the
fuzz harness, when atheris is installed (`make fuzz` installs it)."""

import importlib.util
import pathlib

import pytest

atheris = pytest.importorskip("atheris")

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPUS = sorted((ROOT / "fuzz" / "corpus" / "fuzz_python_api").iterdir())


@pytest.fixture(scope="module")
def harness():
    source = ROOT / "fuzz" / "fuzz_python_api.py"
    spec = importlib.util.spec_from_file_location("fuzz_python_api", source)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
def test_corpus_input(harness, path):
    harness.test_one_input(path.read_bytes())
