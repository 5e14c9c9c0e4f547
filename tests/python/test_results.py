"""Result objects: attributes, fresh values on each read, representations, the response's
sequence protocol and confidence fields. (Cycles: test_reliability_leaks.py.)"""

import gc
import re

import pytest

import kova_discovery._native as native
from conftest import scored_network as network
from kova_discovery import Query


@pytest.fixture
def three():
    """Three agents with chosen similarities for "q"; "low" scores all below the threshold."""
    return network(
        {"q": {"a": 0.9, "b": 0.6, "c": 0.3}, "low": {"b": 0.05, "a": 0.02}, "none": {}},
        {
            "a": {"endpoint": "mcp://a:1/x", "metadata": {"k": "v", "z": "1"}},
            "b": {},
            "c": {"metadata": {"only": "c"}},
        },
    )


# ---- DiscoveryResult ----


def test_result_attributes_and_aliases(three):
    by_name = {r.agent_name: r for r in three.discover("q")}
    a = by_name["a"]
    assert a.similarity == 0.9 and a.raw_similarity == 0.9
    assert a.final_score == a.score > 0
    assert a.endpoint == "mcp://a:1/x"
    assert a.metadata == {"k": "v", "z": "1"}
    assert a.invoke is None
    assert by_name["b"].endpoint is None and by_name["b"].metadata == {}
    for attr in ("agent_name", "score", "metadata", "invoke", "final_score"):
        with pytest.raises(AttributeError):
            setattr(a, attr, None)
    # Metadata is a new dict on each read.
    first = a.metadata
    first["k"] = "changed"
    first["new"] = "x"
    assert a.metadata == {"k": "v", "z": "1"}
    assert a.metadata is not a.metadata


def test_representations_round_like_python():
    net = network({"q": {"a": 0.42}}, {"a": {}})
    (r,) = net.discover("q")
    assert repr(r) == f"DiscoveryResult(agent='a', similarity=0.420, score={r.score:.3f})"
    name = "agent-\u00e9\u2603'"
    net = network({"q": {name: 0.7}}, {name: {"endpoint": "e\u00e9"}})
    (r,) = net.discover("q")
    assert r.agent_name == name
    assert re.fullmatch(r"DiscoveryResult\(agent='agent-\u00e9\u2603'', similarity=0\.700, "
                        r"score=\d\.\d{3}, endpoint='e\u00e9'\)", repr(r))
    values = [0.0005, 0.0015, 0.1235, 0.9995, 0.12345678, 1.0, 0.1]
    net = network({"q": {f"n{i}": v for i, v in enumerate(values)}},
                  {f"n{i}": {} for i in range(len(values))})
    for e in net.discover("q", explain=True):
        assert f"sim={e.raw_similarity:.3f} " in repr(e)
    for r in net.discover("q"):
        assert f"similarity={r.similarity:.3f}," in repr(r)


# ---- ExplainedResult ----


def test_explained_result_fields_and_representation(three):
    explained = {e.agent_name: e for e in three.discover("q", explain=True)}
    a = explained["a"]
    assert a.raw_similarity == 0.9
    assert 0.0 <= a.similarity_lower <= 0.9 <= a.similarity_upper <= 1.0
    assert a.feedback_factor == 0.0
    assert a.final_score == pytest.approx((0.5 + 0.5 * a.enzyme_score) * 0.9)
    assert a.endpoint == "mcp://a:1/x" and a.metadata == {"k": "v", "z": "1"}
    assert a.metadata is not a.metadata
    for missing in ("similarity", "score", "invoke"):
        assert not hasattr(a, missing)
    assert repr(a) == (
        f"ExplainedResult(agent='a', sim={a.raw_similarity:.3f} "
        f"[{a.similarity_lower:.3f}, {a.similarity_upper:.3f}], diameter={a.diameter:.3f}, "
        f"enzyme={a.enzyme_score:.3f}, feedback={a.feedback_factor:.3f}, "
        f"score={a.final_score:.3f})"
    )


# ---- DiscoveryResponse ----


def test_response_sequence_protocol(three):
    response = three.discover("q", with_confidence=True)
    results = response.results
    assert len(response) == 3
    ranked = [r.agent_name for r in results]
    assert [response[i].agent_name for i in range(3)] == ranked
    assert response[-1].agent_name == ranked[2]
    assert response[-3].agent_name == ranked[0]
    for bad in (-4, 3, 2**40, -(2**62)):
        with pytest.raises(IndexError, match="^index out of range$"):
            response[bad]
    with pytest.raises(OverflowError):
        response[2**63]
    with pytest.raises(TypeError):
        response[0:2]
    with pytest.raises(TypeError):
        response["0"]
    assert [r.agent_name for r in response] == ranked
    it = iter(response)
    assert not hasattr(native, "PyDiscoveryResponseIter")
    assert iter(it) is it
    seen = [next(it).agent_name for _ in range(3)]
    assert seen == [r.agent_name for r in response.results]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    with pytest.raises(TypeError):
        type(it)()
    # Results are fresh objects on each read.
    first, second = response.results, response.results
    assert first is not second
    assert all(x is not y for x, y in zip(first, second))
    assert [repr(x) for x in first] == [repr(y) for y in second]
    assert response[0] is not response[0]
    first.clear()
    assert len(response.results) == 3
    alternatives = response.alternative_agents
    alternatives.append("intruder")
    assert "intruder" not in response.alternative_agents


def test_response_fields_for_a_single_agent():
    net = network({"q": {"a": 0.5}}, {"a": {}})
    response = net.discover("q", with_confidence=True)
    assert response.confidence == "unanimous"
    assert response.dissenting_kernel is None
    assert response.alternative_agents == []
    assert response.recommended_parallelism == 1
    assert response.best_below_threshold is None
    assert repr(response) == "DiscoveryResponse(results=1, confidence='unanimous', parallelism=1)"
    for attr in ("confidence", "results", "best_below_threshold"):
        with pytest.raises(AttributeError):
            setattr(response, attr, None)


def test_confidence_values_are_known_texts(three):
    response = three.discover("q", with_confidence=True)
    assert response.confidence in {"unanimous", "majority", "split"}
    if response.confidence == "majority":
        assert response.dissenting_kernel in {
            "capability_matching", "novelty_seeking", "load_balancing", "temporal_recency"}
    else:
        assert response.dissenting_kernel is None
    if response.confidence != "split":
        assert response.alternative_agents == []
    assert repr(response) == (
        f"DiscoveryResponse(results=3, confidence='{response.confidence}', "
        f"parallelism={response.recommended_parallelism})"
    )


def test_empty_and_failed_responses(three):
    low = three.discover("low", with_confidence=True)
    assert len(low) == 0 and low.results == [] and list(low) == []
    assert low.best_below_threshold == ("b", 0.05)
    nothing = three.discover("none", with_confidence=True)
    assert len(nothing) == 0 and nothing.best_below_threshold is None
    for index in (0, -1):
        with pytest.raises(IndexError, match="^index out of range$"):
            nothing[index]
    # A scorer failure on the text path: no viable agents.
    failed = three.discover("unknown text", with_confidence=True)
    assert (failed.confidence, failed.recommended_parallelism, len(failed)) == (
        "no_viable_agents", 0, 0)
    # A composed query that fails to evaluate: no confidence at all.
    failed = three.discover(Query.all("q", "unknown text"), with_confidence=True)
    assert (failed.confidence, failed.recommended_parallelism, failed.best_below_threshold) == (
        "none", 1, None)
    assert repr(failed) == "DiscoveryResponse(results=0, confidence='none', parallelism=1)"


# ---- references ----


def test_only_results_holding_a_callable_are_known_to_the_collector():
    net = network({"q": {"a": 0.9, "b": 0.8}}, {"a": {"invoke": lambda: None}, "b": {}})
    by_name = {r.agent_name: r for r in net.discover("q")}
    assert gc.is_tracked(by_name["a"])
    assert not gc.is_tracked(by_name["b"])
    assert by_name["b"].invoke is None and by_name["a"].invoke() is None
    gc.collect()
    assert by_name["b"].agent_name == "b"


def test_results_keep_the_metadata_they_were_found_with():
    net = network({"q": {"a": 0.9}}, {"a": {"metadata": {"v": "1"}}})
    before = net.discover("q")[0]
    net.register("a", ["a"], metadata={"v": "2", "w": "3"})
    after = net.discover("q")[0]
    assert before.metadata == {"v": "1"}
    assert after.metadata == {"v": "2", "w": "3"}
    net.deregister("a")
    assert before.metadata == {"v": "1"} and after.metadata["w"] == "3"
