"""LocalNetwork.discover and discover_many: filters, query kinds, flags and the engine operation
each combination reaches; the result objects: attributes, fresh values on each read,
representations, the response's sequence protocol and confidence fields. (Cycles:
test_reliability_leaks.py.)"""

import gc
import re

import pytest

import kova_discovery._native as native
from conftest import TableScorer, exact, names, scored_network, similarities
from kova_discovery import (
    DiscoveryResponse, DiscoveryResult, ExplainedResult, FilterValue, LocalNetwork, Query)

AGENTS = {"a": {"protocol": "mcp", "cost": "5", "desc": "translate legal"},
          "b": {"protocol": "a2a", "cost": "50", "desc": "translate"}, "c": {}}
handle = "a handled {}".format  # the callable agent "a" carries


@pytest.fixture
def net():
    """Three agents with chosen similarities for "q"; "low" scores all below the threshold."""
    network = LocalNetwork(scorer=TableScorer({
        "q": {"a": 0.9, "b": 0.6, "c": 0.3}, "low": {"b": 0.05, "a": 0.02}, "nothing matches": {},
        "x": {"a": 0.9, "b": 0.5, "c": 0.3}, "y": {"a": 0.2, "b": 0.8}, "Mixed Case": {"a": 0.5}}))
    for name, metadata in AGENTS.items():
        network.register(name, [f"capability of {name}"], metadata=metadata,
                         **({"invoke": handle, "endpoint": "mcp://a:1/x"} if name == "a" else {}))
    return network


@pytest.mark.parametrize("filters, expected", [
    (None, {"a", "b", "c"}), ({}, {"a", "b", "c"}), ({"protocol": "mcp"}, {"a"}),
    ({"protocol": FilterValue.exact("a2a")}, {"b"}),
    ({"protocol": {"$in": ["a2a", "other"]}}, {"b"}), ({"protocol": {"$in": ("mcp",)}}, {"a"}),
    ({"protocol": {"$in": []}}, set()), ({"cost": {"$lt": 10}}, {"a"}),
    ({"cost": {"$gt": 10.0}}, {"b"}), ({"desc": {"$contains": "legal"}}, {"a"}),
    ({"protocol": FilterValue.one_of(["mcp", "a2a"])}, {"a", "b"}),
    # "$in" is looked at before "$lt": the threshold would match nothing here.
    ({"protocol": {"$lt": 1, "$in": ["mcp"]}}, {"a"}),
    ({"cost": {"$contains": "0", "$gt": 1}}, {"a", "b"}),
    ({"desc": {"$contains": "legal", "note": "ignored"}}, {"a"}),
])
def test_filter_forms(net, filters, expected):
    assert names(net.discover("q", filters=filters)) == expected


def test_filters_survive_host_code_that_mutates_them(net):
    filters = {}

    class Threshold:
        def __float__(self):
            filters.clear()
            filters.update({f"k{i}": "v" for i in range(100)})
            return 10.0

    filters["cost"] = {"$lt": Threshold()}
    assert names(net.discover("q", filters=filters)) == {"a"}


NO_OPERATOR = "Filter dict must contain one of: $in, $lt, $gt, $contains"


@pytest.mark.parametrize("query, filters, error, message", [
    ("q", {"tags": {"$in": "mcp"}}, TypeError, "Can't extract `str` to `Vec`"),
    ("q", {"x": {"$nope": 1}}, ValueError, NO_OPERATOR), ("q", {"x": {}}, ValueError, NO_OPERATOR),
    ("q", {"cost": 2}, TypeError, None),  # a bare number is not a filter
    (42, {"x": {"$bogus": 1}}, ValueError, NO_OPERATOR),  # filters are read first
    *[(bad, None, TypeError, "query must be a str or Query object")
      for bad in (42, b"q", FilterValue.exact("q"))],
])
def test_query_and_filter_errors_with_exact_texts(net, query, filters, error, message):
    with pytest.raises(error, match=message and exact(message)):
        net.discover(query, filters=filters)


@pytest.mark.parametrize("query", ["q", Query.any("q")], ids=["text", "composed"])
def test_flags_choose_the_result_shape(net, query):
    for flags, kind in [({}, DiscoveryResult), ({"explain": True}, ExplainedResult),
                        ({"explain": False, "with_confidence": False}, DiscoveryResult),
                        ({"explain": True, "with_confidence": True}, ExplainedResult)]:
        got = net.discover(query, **flags)
        assert type(got) is list and {type(r) for r in got} == {kind} and names(got) == set(AGENTS)
    response = net.discover(query, with_confidence=True)
    invokes = {"a": handle, "b": None, "c": None}
    assert type(response) is DiscoveryResponse and {r.agent_name: r.invoke for r in response} == \
        invokes == {r.agent_name: r.invoke for r in net.discover(query)}
    if isinstance(query, str):
        assert {r.agent_name: r.invoke for r in net.discover_many([query])[0]} == invokes
    assert next(r for r in response if r.agent_name == "a").invoke("x") == "a handled x"


def test_only_plain_texts_are_written_to_the_replay_log(net):
    net.enable_replay()
    assert len(net.discover("q")) == 3 and net.replay_event_count == 4  # one query, 3 results
    net.discover("q", explain=True)
    net.discover("q", with_confidence=True)
    net.discover(Query.all("q"))
    net.discover(Query.all("q"), with_confidence=True)
    net.discover_many(["q"], explain=True)
    assert net.replay_event_count == 4
    net.discover_many(["q", "nothing matches"])
    assert net.replay_event_count == 9
    kinds = [e["type"] for e in net.replay_events()]
    assert kinds[:4] == ["query_submitted", "agent_scored", "agent_scored", "agent_scored"]


def test_composed_queries_combine_the_host_scores(net):
    assert similarities(net.discover(Query.all("x", "y"))) == {"a": 0.2, "b": 0.5}
    weighted = similarities(net.discover(Query.weighted({"x": 2.0, "y": 1.0})))
    assert weighted == pytest.approx({"a": 2.0 / 3, "b": 0.6, "c": 0.2})
    explained = net.discover(Query.any("x", "y"), explain=True)
    assert {r.agent_name: r.raw_similarity for r in explained} == {"a": 0.9, "b": 0.8, "c": 0.3}
    # The table knows only the exact text: a lowered or rewritten text would fail to score.
    assert similarities(net.discover(Query.any("Mixed Case"))) == {"a": 0.5}


def test_discover_many_matches_single_calls_and_takes_only_texts(net):
    batches = net.discover_many(["x", "y", "nothing matches"])
    assert [similarities(b) for b in batches] == [
        {"a": 0.9, "b": 0.5, "c": 0.3}, {"a": 0.2, "b": 0.8}, {}]
    explained = net.discover_many(("y",), explain=True)
    assert [[type(r) for r in b] for b in explained] == [[ExplainedResult, ExplainedResult]]
    assert net.discover_many([]) == []
    batches = net.discover_many(["q", "q"], filters={"protocol": {"$in": ["mcp"]}})
    assert [names(b) for b in batches] == [{"a"}, {"a"}]
    for bad, message in (({"filters": "protocol=mcp"}, "^argument 'filters': "),
                         ({"queries": ["a", Query.all("b")]}, "^argument 'queries': "),
                         ({"queries": "q"}, "Can't extract `str` to `Vec`"),
                         ({"queries": None}, "^argument 'queries': ")):
        with pytest.raises(TypeError, match=message):
            net.discover_many(**{"queries": ["q"], **bad})


LIMITED_CALLS = {
    "text": lambda net, **kw: net.discover("q", **kw),
    "explain": lambda net, **kw: net.discover("q", explain=True, **kw),
    "confidence": lambda net, **kw: net.discover("q", with_confidence=True, **kw).results,
    "composed": lambda net, **kw: net.discover(Query.any("q", "nothing matches"), **kw),
    "filtered": lambda net, **kw: net.discover("q", filters={"cost": {"$lt": 100}}, **kw),
    "many": lambda net, **kw: net.discover_many(["q", "nothing matches"], **kw)[0],
    "many explained": lambda net, **kw: net.discover_many(["q"], explain=True, **kw)[0],
}


@pytest.mark.parametrize("call", LIMITED_CALLS.values(), ids=LIMITED_CALLS.keys())
@pytest.mark.parametrize("limit", [1, 2, 3, 10**30, None])
def test_limit_keeps_the_start_of_the_ranking(net, call, limit):
    # The three similarities are far apart, so no tie shuffles this ranking. (Scores move
    # from call to call with the forwards counted; the engine's tests compare them.)
    full = call(net)
    some = call(net, limit=limit)
    assert [r.agent_name for r in some] == [r.agent_name for r in full][:limit]
    if some and isinstance(some[0], DiscoveryResult):
        assert some[0].invoke is handle


@pytest.mark.parametrize("limit", [0, -1, -10**30, True, 2.0, "3", [1]])
def test_bad_limits_are_refused(net, limit):
    error = ValueError if isinstance(limit, int) and not isinstance(limit, bool) else TypeError
    message = exact(f"argument 'limit': expected a positive int or None, "
                    f"got {limit!r} ({type(limit).__name__})")
    for call in (net.discover, net.discover_many):
        with pytest.raises(error, match=message):
            call("q" if call == net.discover else ["q"], limit=limit)


def test_result_attributes_are_read_only_and_fresh_and_shown(net):
    by_name = {r.agent_name: r for r in net.discover("q")}
    a = by_name["a"]
    assert (a.similarity, a.raw_similarity, a.endpoint, a.invoke) == (0.9, 0.9, "mcp://a:1/x",
                                                                      handle)
    assert a.final_score == a.score > 0
    assert by_name["c"].endpoint is None and by_name["c"].metadata == {}
    for attr in ("agent_name", "score", "metadata", "invoke", "final_score"):
        with pytest.raises(AttributeError):
            setattr(a, attr, None)
    a.metadata["cost"] = "changed"
    assert a.metadata == AGENTS["a"] and a.metadata is not a.metadata
    assert repr(by_name["c"]) == (f"DiscoveryResult(agent='c', similarity=0.300, "
                                  f"score={by_name['c'].score:.3f})")
    e = next(e for e in net.discover("q", explain=True) if e.agent_name == "a")
    assert e.raw_similarity == 0.9 and e.feedback_factor == 0.0
    assert 0.0 <= e.similarity_lower <= 0.9 <= e.similarity_upper <= 1.0
    assert e.final_score == pytest.approx((0.5 + 0.5 * e.enzyme_score) * 0.9)
    assert e.endpoint == "mcp://a:1/x" and e.metadata == AGENTS["a"]
    assert e.metadata is not e.metadata
    assert not any(hasattr(e, missing) for missing in ("similarity", "score", "invoke"))
    assert repr(e) == (
        f"ExplainedResult(agent='a', sim={e.raw_similarity:.3f} "
        f"[{e.similarity_lower:.3f}, {e.similarity_upper:.3f}], diameter={e.diameter:.3f}, "
        f"enzyme={e.enzyme_score:.3f}, feedback={e.feedback_factor:.3f}, "
        f"score={e.final_score:.3f})")
    name = "agent-\u00e9\u2603'"
    (r,) = scored_network({"q": {name: 0.7}}, {name: {"endpoint": "e\u00e9"}}).discover("q")
    assert re.fullmatch(r"DiscoveryResult\(agent='agent-\u00e9\u2603'', similarity=0\.700, "
                        r"score=\d\.\d{3}, endpoint='e\u00e9'\)", repr(r))


def test_response_sequence_protocol(net):
    response = net.discover("q", with_confidence=True)
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


def test_single_empty_and_failed_responses(net):
    one = scored_network({"q": {"a": 0.5}}, {"a": {}}).discover("q", with_confidence=True)
    assert (one.confidence, one.dissenting_kernel, one.alternative_agents,
            one.recommended_parallelism, one.best_below_threshold) == (
        "unanimous", None, [], 1, None)
    for attr in ("confidence", "results", "best_below_threshold"):
        with pytest.raises(AttributeError):
            setattr(one, attr, None)
    low = net.discover("low", with_confidence=True)
    assert (len(low), low.results, list(low), low.best_below_threshold) == (0, [], [], ("b", 0.05))
    assert net.discover("nothing matches", with_confidence=True).best_below_threshold is None
    # A scorer failure on the text path: no viable agents; on a composed query: no confidence.
    failed = net.discover("unknown text", with_confidence=True)
    assert (failed.confidence, failed.recommended_parallelism, len(failed)) == (
        "no_viable_agents", 0, 0)
    failed = net.discover(Query.all("q", "unknown text"), with_confidence=True)
    assert repr(failed) == "DiscoveryResponse(results=0, confidence='none', parallelism=1)"


def test_results_hold_their_own_values():
    net = scored_network({"q": {"a": 0.9, "b": 0.8}},
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
