"""The comparison benchmark, run at a tiny size so that it cannot rot; no timing is asserted."""

from __future__ import annotations

import pathlib
import sys

import pytest

for _extra in ("numpy", "datasketch", "sklearn", "rank_bm25", "matplotlib"):
    pytest.importorskip(_extra, reason="benchmark extras not installed")

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import peers  # noqa: E402
import quality  # noqa: E402
import run  # noqa: E402
import workloads  # noqa: E402

needs_data = pytest.mark.skipif(workloads.data_status() is not None,
                                reason=str(workloads.data_status()))


def test_peer_shingles_are_the_engines():
    # The MinHash peer must sign the same shingle set as the engine: ASCII-only lower
    # casing, byte 3-grams, words split at space, tab, comma, hyphen, full stop, underscore.
    assert sorted(peers.engine_shingles("EN-DE")) == sorted(
        [b"en-", b"n-d", b"-de", b"en", b"de"])
    assert sorted(peers.engine_shingles("ab")) == [b"ab"]
    assert set(peers.engine_shingles("x\ny")) == {b"x\ny"}
    upper = peers.engine_shingles("\u00c4b")
    assert "\u00c4".encode() in b"".join(upper)  # non-ASCII keeps its case


def test_quality_measures_on_a_known_ranking():
    queries = [
        workloads.LabelledQuery("q1", ("a",)),  # first: R@1 1, RR 1
        workloads.LabelledQuery("q2", ("b", "c")),  # c third, b absent: R@1 0, R@5 .5, RR 1/3
        workloads.LabelledQuery("q3", ("z",)),  # never returned: all 0
    ]
    rankings = {"q1": ["a", "b"], "q2": ["x", "y", "c", "d", "e", "f"], "q3": ["a"]}
    scores = quality.evaluate(rankings.__getitem__, queries)
    assert scores.recall1 == pytest.approx(1 / 3)
    assert scores.recall5 == pytest.approx(1.5 / 3)
    assert scores.mrr == pytest.approx((1 + 1 / 3) / 3)
    assert (scores.hit1, scores.hit5) == pytest.approx((1 / 3, 2 / 3))  # q2 counts once at 5
    taught, held_out = quality.split(queries * 3)
    assert len(taught) + len(held_out) == 9 and quality.split(queries * 3) == (taught, held_out)


@needs_data
def test_grown_registry_is_seeded_and_unique():
    real = workloads.corpus_agents()
    grown = workloads.grow(real, len(real) + 300)
    assert grown == workloads.grow(real, len(real) + 300)
    assert len({a.name for a in grown}) == len(grown)
    assert all(a.description.strip() for a in grown)
    known = {w for a in real for w in a.description.split()}
    assert all(set(a.description.split()) <= known for a in grown[len(real):])


@needs_data
def test_every_system_ranks_the_same_small_registry():
    agents = workloads.grow(workloads.corpus_agents(), 60)
    query = agents[7].description  # an agent's own text must come out on top
    for system in peers.speed_systems():
        system.build(agents)
        ranked = system.names(query)
        assert ranked and ranked[0] == agents[7].name, system.label
        assert len(system.rank_many([query, query])) == 2


@needs_data
def test_tiny_run_writes_report_and_chart(tmp_path):
    code = run.main(["--sizes", "40,80", "--repeats", "2", "--budget", "0.005",
                     "--query-pool", "4", "--memory-sizes", "40", "--feedback-agents", "10",
                     "--quality-queries", "24", "--no-cxx", "--out", str(tmp_path)])
    assert code == 0
    text = (tmp_path / "report.md").read_text(encoding="utf-8")
    for heading in ("## Speed", "## Registration and index build", "## Memory and state file",
                    "## Retrieval quality", "## Machine and noise"):
        assert heading in text
    for label in ("discover, MinHash (default)", "discover_many, TfIdfScorer",
                  "datasketch MinHashLSH index", "scikit-learn TF-IDF + cosine",
                  "rank-bm25 (BM25Okapi)", "after feedback"):
        assert label in text
    assert (tmp_path / "latency.png").read_bytes().startswith(b"\x89PNG")


def test_missing_data_is_reported_not_raised(monkeypatch, tmp_path, capsys):
    monkeypatch.setattr(workloads, "CORPUS", tmp_path / "absent.jsonl")
    assert run.main(["--out", str(tmp_path / "out"), "--no-cxx"]) == 0
    assert "benchmark data not found" in capsys.readouterr().out
    assert not (tmp_path / "out").exists()
