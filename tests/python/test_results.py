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
        {"a": {"endpoint": "mcp://a:1/x", "metadata": {"k": "v", "z": "1"}}, "b": {},
         "c": {"metadata": {"only": "c"}}})


def test_result_attributes_are_read_only_and_fresh_and_shown(three):
    by_name = {r.agent_name: r for r in three.discover("q")}
    a = by_name["a"]
    assert (a.similarity, a.raw_similarity, a.endpoint, a.invoke) == (0.9, 0.9, "mcp://a:1/x", None)
    assert a.final_score == a.score > 0
    assert by_name["b"].endpoint is None and by_name["b"].metadata == {}
    for attr in ("agent_name", "score", "metadata", "invoke", "final_score"):
        with pytest.raises(AttributeError):
            setattr(a, attr, None)
    a.metadata["k"] = "changed"
    assert a.metadata == {"k": "v", "z": "1"} and a.metadata is not a.metadata
    assert repr(by_name["c"]) == (f"DiscoveryResult(agent='c', similarity=0.300, "
                                  f"score={by_name['c'].score:.3f})")
    e = next(e for e in three.discover("q", explain=True) if e.agent_name == "a")
    assert e.raw_similarity == 0.9 and e.feedback_factor == 0.0
    assert 0.0 <= e.similarity_lower <= 0.9 <= e.similarity_upper <= 1.0
    assert e.final_score == pytest.approx((0.5 + 0.5 * e.enzyme_score) * 0.9)
    assert e.endpoint == "mcp://a:1/x" and e.metadata == {"k": "v", "z": "1"}
    assert e.metadata is not e.metadata
    assert not any(hasattr(e, missing) for missing in ("similarity", "score", "invoke"))
    assert repr(e) == (
        f"ExplainedResult(agent='a', sim={e.raw_similarity:.3f} "
        f"[{e.similarity_lower:.3f}, {e.similarity_upper:.3f}], diameter={e.diameter:.3f}, "
        f"enzyme={e.enzyme_score:.3f}, feedback={e.feedback_factor:.3f}, "
        f"score={e.final_score:.3f})")
    name = "agent-\u00e9\u2603'"
    (r,) = network({"q": {name: 0.7}}, {name: {"endpoint": "e\u00e9"}}).discover("q")
    assert re.fullmatch(r"DiscoveryResult\(agent='agent-\u00e9\u2603'', similarity=0\.700, "
                        r"score=\d\.\d{3}, endpoint='e\u00e9'\)", repr(r))


def test_response_sequence_protocol(three):
    response = three.discover("q", with_confidence=True)
    ranked = [r.agent_name for r in response.results]
    assert len(response) == 3 and [r.agent_name for r in response] == ranked
    assert [response[i].agent_name for i in (0, 1, 2, -1, -3)] == ranked + ranked[2:] + ranked[:1]
    for bad in (-4, 3, 2**40, -(2**62)):
        with pytest.raises(IndexError, match="^index out of range$"):
            response[bad]
    for bad, error in ((2**63, OverflowError), (slice(0, 2), TypeError), ("0", TypeError)):
        with pytest.raises(error):
            response[bad]
    it = iter(response)
    assert not hasattr(native, "PyDiscoveryResponseIter") and iter(it) is it
    assert [next(it).agent_name for _ in range(3)] + list(it) + list(it) == ranked
    with pytest.raises(TypeError):
        type(it)()
    first, second = response.results, response.results
    assert all(x is not y for x, y in zip(first, second)) and response[0] is not response[0]
    first.clear()
    response.alternative_agents.append("intruder")
    assert len(response.results) == 3 and "intruder" not in response.alternative_agents
    assert response.confidence in {"unanimous", "majority", "split"}
    assert (response.dissenting_kernel is None) == (response.confidence != "majority")
    assert response.confidence == "split" or response.alternative_agents == []
    assert repr(response) == (f"DiscoveryResponse(results=3, confidence='{response.confidence}', "
                              f"parallelism={response.recommended_parallelism})")


def test_single_empty_and_failed_responses(three):
    one = network({"q": {"a": 0.5}}, {"a": {}}).discover("q", with_confidence=True)
    assert (one.confidence, one.dissenting_kernel, one.alternative_agents,
            one.recommended_parallelism, one.best_below_threshold) == (
        "unanimous", None, [], 1, None)
    for attr in ("confidence", "results", "best_below_threshold"):
        with pytest.raises(AttributeError):
            setattr(one, attr, None)
    low = three.discover("low", with_confidence=True)
    assert (len(low), low.results, list(low), low.best_below_threshold) == (0, [], [], ("b", 0.05))
    assert three.discover("none", with_confidence=True).best_below_threshold is None
    # A scorer failure on the text path: no viable agents; on a composed query: no confidence.
    failed = three.discover("unknown text", with_confidence=True)
    assert (failed.confidence, failed.recommended_parallelism, len(failed)) == (
        "no_viable_agents", 0, 0)
    failed = three.discover(Query.all("q", "unknown text"), with_confidence=True)
    assert repr(failed) == "DiscoveryResponse(results=0, confidence='none', parallelism=1)"


def test_results_hold_their_own_values():
    net = network({"q": {"a": 0.9, "b": 0.8}},
                  {"a": {"invoke": lambda: None, "metadata": {"v": "1"}}, "b": {}})
    by_name = {r.agent_name: r for r in net.discover("q")}
    # Only results holding a callable are known to the collector.
    assert gc.is_tracked(by_name["a"]) and not gc.is_tracked(by_name["b"])
    assert by_name["b"].invoke is None and by_name["a"].invoke() is None
    net.register("a", ["a"], metadata={"v": "2", "w": "3"})
    after = next(r for r in net.discover("q") if r.agent_name == "a")
    net.deregister("a")
    gc.collect()
    assert by_name["a"].metadata == {"v": "1"} and after.metadata == {"v": "2", "w": "3"}
