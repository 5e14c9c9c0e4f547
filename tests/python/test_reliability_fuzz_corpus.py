"""Replays the Python-surface fuzz corpus (seeds and every input that once failed) through the
fuzz harness, when atheris is installed (`make fuzz` installs it)."""

import importlib.util

import pytest

from conftest import REPO

atheris = pytest.importorskip("atheris")
CORPUS = sorted((REPO / "fuzz" / "corpus" / "fuzz_python_api").iterdir())
SPEC = importlib.util.spec_from_file_location("fuzz_python_api",
                                              REPO / "fuzz" / "fuzz_python_api.py")
SPEC.loader.exec_module(HARNESS := importlib.util.module_from_spec(SPEC))


@pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
def test_corpus_input(path):
    HARNESS.test_one_input(path.read_bytes())
