"""Bm25Scorer and HybridScorer from Python: construction, bad input, ranking through a
network, failing host parts and garbage collection of host parts."""

import gc
import math
import re

import pytest

from conftest import TableScorer, exact, similarities
from kova_discovery import Bm25Scorer, HybridScorer, LocalNetwork, TfIdfScorer

AGENTS = {"runner": ["running shoes and marathon training plans"],
          "legal": ["translate legal contracts between languages"],
          "weather": ["daily weather forecasts for farms"]}


def network(scorer):
    net = LocalNetwork(scorer=scorer)
    for name, caps in AGENTS.items():
        net.register(name, caps)
    return net


def test_bm25_settings_are_kept_and_shown_and_bad_ones_refused():
    default = Bm25Scorer()
    assert (default.k1, default.b, default.stop_words, default.stemmer, default.memory_weight) == (
        1.2, 0.75, "english", "english", 0.25)
    custom = Bm25Scorer(k1=2, b=0, stop_words=None, stemmer="french", memory_weight=1)
    assert repr(custom) == (
        "Bm25Scorer(k1=2, b=0, stop_words=None, stemmer='french', memory_weight=1)")
    with pytest.raises(AttributeError):
        custom.k1 = 1.0
    for kwargs, exc, message in [
            ({"b": 1.01}, ValueError, "b must be between 0 and 1, got 1.01"),
            ({"k1": "1"}, TypeError, "argument 'k1': "),
            ({"stemmer": 1}, TypeError, "argument 'stemmer': "),
            ((1.2,), TypeError, "Bm25Scorer() takes 0 positional arguments")]:
        with pytest.raises(exc, match="^" + re.escape(message)):
            Bm25Scorer(*kwargs) if isinstance(kwargs, tuple) else Bm25Scorer(**kwargs)


@pytest.mark.parametrize("args,exc,message", [
    ([[]], ValueError, "argument 'scorers': a hybrid scorer needs at least one scorer"),
    ([[(Bm25Scorer(), -1)]], ValueError,
     "argument 'scorers': item 0: weights must be finite numbers >= 0, got -1"),
    ([[(Bm25Scorer(), math.nan)]], ValueError,
     "argument 'scorers': item 0: weights must be finite numbers >= 0, got NaN"),
    ([[(Bm25Scorer(), 0), (TfIdfScorer(), 0.0)]], ValueError,
     "argument 'scorers': at least one weight must be greater than 0"),
    ([[(Bm25Scorer(), 1, 2)]], ValueError,
     "argument 'scorers': item 0 must be a (scorer, weight) pair, got length 3"),
    ([[Bm25Scorer()]], TypeError,
     "argument 'scorers': item 0 must be a (scorer, weight) pair: 'Bm25Scorer' object cannot be "
     "converted to 'tuple'"),
    ([[(Bm25Scorer(), "1")]], TypeError,
     "argument 'scorers': item 0: 'str' object cannot be converted to 'float'"),
    ([[(None, 1)]], TypeError, "argument 'scorers': item 0: the scorer is None"),
    (["ab"], TypeError, "argument 'scorers': 'str' object cannot be converted to 'Sequence'"),
])
def test_hybrid_bad_input(args, exc, message):
    with pytest.raises(exc, match=exact(message)):
        HybridScorer(*args)


def test_hybrid_fuses_and_a_failing_host_part_contributes_nothing():
    bm25 = Bm25Scorer()
    table = TableScorer({"translate legal contracts": {"weather": 0.9, "legal": 0.3}})
    hybrid = HybridScorer([(bm25, 0.25), (table, 0.75)])
    assert hybrid.scorers == ((bm25, 0.25), (table, 0.75))
    assert repr(hybrid).startswith("HybridScorer([(Bm25Scorer(k1=1.2, b=0.75")
    assert repr(hybrid).endswith(", 0.75)])")
    net = network(hybrid)
    assert [call[:2] for call in table.calls] == [("index", name) for name in AGENTS]
    # Each part's best agent gets 1 and unlisted agents 0: legal is BM25's only match, and
    # gets a third of the table's best.
    assert similarities(net.discover("translate legal contracts")) == pytest.approx(
        {"legal": 0.25 + 0.75 / 3, "weather": 0.75})
    # The table has no answer for this query and raises: BM25 alone ranks it.
    assert similarities(net.discover("weather forecasts")) == {"weather": 1.0}
    # With every part failing, the query fails as a failing host scorer does.
    assert network(HybridScorer([(TableScorer({}), 1)])).discover("weather") == []


def test_state_files_rebuild_the_scorer_with_its_settings(tmp_path):
    path = str(tmp_path / "state.json")
    hybrid = HybridScorer([(Bm25Scorer(), 0.7), (TfIdfScorer(), 0.3)])
    for scorer in (Bm25Scorer(k1=2, b=0.2), hybrid):
        (net := network(scorer)).save(path)
        assert '"scorer": {\n    "kind": ' in (tmp_path / "state.json").read_text()
        query = "translate the legal contracts"
        assert similarities(LocalNetwork.load(path).discover(query)) == pytest.approx(
            similarities(net.discover(query)))
    # "run" is the stem of "running": only a stemming scorer finds the runner.
    assert network(Bm25Scorer()).discover("run")[0].agent_name == "runner"
    network(Bm25Scorer(stemmer=None)).save(path)
    assert LocalNetwork.load(path).discover("run") == []
    network(HybridScorer([(Bm25Scorer(), 1), (TableScorer({}), 1)])).save(path)
    with pytest.raises(ValueError, match="host scorer"):
        LocalNetwork.load(path)
    loaded = LocalNetwork.load(path, scorer=Bm25Scorer())
    assert loaded.discover("weather")[0].agent_name == "weather"


def test_host_parts_are_traversed_by_the_collector():
    freed = []

    class Host(TableScorer):
        def __del__(self):
            freed.append(True)

    host = Host({})
    hybrid = HybridScorer([(Bm25Scorer(), 1), (host, 1)])
    net = LocalNetwork(scorer=hybrid)
    host.cycle = (net, hybrid)  # network -> bridge -> host -> network, hybrid -> host -> hybrid
    net.register("a", ["x"])
    del host, hybrid, net
    gc.collect()
    assert freed == [True]
