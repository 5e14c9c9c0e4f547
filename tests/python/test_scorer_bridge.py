"""A host object as the engine's scorer: the protocol and what misbehaviour does."""

import sys

import pytest

from conftest import TableScorer, names
from kova_discovery._native import LocalNetwork, Query


def held(reply):
    """Reference counts of a reply, its items and their parts: a conversion gives back all."""
    items = list(reply) if isinstance(reply, (list, tuple)) else []
    parts = [p for item in items if isinstance(item, (list, tuple)) for p in item]
    return [sys.getrefcount(x) for x in (reply, *items, *parts)]


class Recorder(TableScorer):
    """Records every call; `score` returns whatever `reply` holds (or raises it)."""

    def __init__(self, reply=None):
        super().__init__({})
        self.reply = reply

    def score(self, query):
        self.calls.append(("score", query))
        if isinstance(self.reply, BaseException):
            raise self.reply
        return self.reply


def two_agents(scorer):
    net = LocalNetwork(scorer=scorer)
    net.register("a", ["first cap", "second cap"])
    net.register("b", ["third"])
    return net


def test_protocol_calls_and_arguments():
    scorer = Recorder([("a", 0.9), ("b", 1)])
    net = two_agents(scorer)
    results = net.discover("find something")
    net.deregister("a")
    assert scorer.calls == [("index", "a", ["first cap", "second cap"]), ("index", "b", ["third"]),
                            ("score", "find something"), ("remove", "a")]
    assert type(scorer.calls[0][2]) is list
    assert {r.agent_name: r.similarity for r in results} == {"a": 0.9, "b": 1.0}
    assert type(results[0].similarity) is float


class Failing:
    def index_capabilities(self, name, capabilities):
        raise RuntimeError("index down")

    def remove_agent(self, name):
        raise RuntimeError("remove down")

    def score(self, query):
        return [("a", 0.5)]


def test_missing_or_failing_methods_are_handled_not_raised():
    # Without any method the registry still works (warnings only) and queries find nothing.
    for scorer, found in ((object(), set()), (Failing(), {"a"})):
        net = LocalNetwork(scorer=scorer)
        net.register("a", ["x"])
        assert net.agents() == ["a"] and names(net.discover("x")) == found
        assert net.deregister("a") is True and net.agents() == []
        assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("reply", [
    [["a", 0.9]], ("a", 0.9), "a", [("a", 0.9, 1)], [("a",)], [(1, 0.9)], [("a", None)],
    {"a": 0.9}, None, ValueError("boom"), KeyboardInterrupt(),
    [("a", 0.9), ("b", "bad")],  # the first failing item stops the whole conversion
], ids=repr)
def test_scoring_failures_yield_no_results_and_no_pending_exception(reply):
    scorer = Recorder(reply)
    net = two_agents(scorer)
    before = held(reply)
    assert net.discover("x") == []
    assert net.discover(Query.all("x", "y")) == []
    assert net.discover_many(["x", "y"]) == [[], []]
    assert sys.exc_info() == (None, None, None)
    if not isinstance(reply, BaseException):  # a raised one is kept by its traceback
        assert held(reply) == before
    scorer.reply = [("a", 0.7)]
    assert names(net.discover("x")) == {"a"}


def test_valid_replies():
    class Seq:  # a sequence that is neither a list nor a tuple
        __len__ = lambda self: 2  # noqa: E731
        __getitem__ = lambda self, i: (("a", 0.6), ("b", 0.4))[i]  # noqa: E731

    FloatLike = type("FloatLike", (), {"__float__": lambda self: 0.5})
    Pair = type("Pair", (tuple,), {})
    for reply, expected in [
        ([], []), ((("a", 0.9),), ["a"]), (Seq(), ["a", "b"]), ([Pair(("a", FloatLike()))], ["a"]),
        # unknown names ignored, later wins; a fresh (uninterned) name shows a leaked reference
        ([("gh" + str(id(Seq)), 0.9), ("a", 0.2), ("a", 0.95)], ["a"]),
    ]:
        net = two_agents(Recorder(reply))
        before = held(reply)
        results = net.discover("x")
        assert names(results) == set(expected) and held(reply) == before, reply
    assert results[0].similarity == 0.95
