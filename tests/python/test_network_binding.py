"""LocalNetwork from Python: construction rules, feedback, replay log, drift, routing state,
query memory, persistence and borrow rules; engine log records in Python's logging (one logger
per engine target, levels, fields, records only when something would handle them, handlers that
run after the call). (Registry, invoke map and references: test_reliability_leaks.)"""

import json
import logging
import sys
import threading

import pytest

from conftest import TableScorer, exact
from kova_discovery._native import DiscoveryConfig, LocalNetwork, Query, TfIdfScorer


def test_conflicting_constructor_arguments():
    both = "Cannot specify both 'config' and 'scorer' parameters"
    for kwargs, message in [({"scorer": TfIdfScorer(), "similarity_threshold": 0.5}, both),
                            ({"similarity_threshold": 0.5}, "Cannot specify both 'config' and "
                             "'similarity_threshold' parameters. Use config.similarity_threshold "
                             "instead.")]:
        with pytest.raises(ValueError, match=exact(message)):
            LocalNetwork(config=DiscoveryConfig(), **kwargs)


@pytest.mark.parametrize("kwargs,query,found", [
    ({"similarity_threshold": 1.5}, "translate text", 0),  # applied unvalidated
    ({"similarity_threshold": 1.5, "config": None}, "translate text", 0),
    ({"similarity_threshold": -1.0}, "completely unrelated words", 1),
    ({"config": DiscoveryConfig(similarity_threshold=1.5)}, "translate text", 0),
    # With a scorer the threshold is ignored: 0.3 passes the default 0.1, not 0.5.
    ({"scorer": TableScorer({"q": {"a": 0.3}}), "similarity_threshold": 0.5}, "q", 1),
    # TfIdfScorer has no host scorer methods: wrapped as one, it would find nothing.
    ({"scorer": TfIdfScorer(), "similarity_threshold": 0.99}, "translate text", 1),
])
def test_threshold_scorer_and_config_are_applied(kwargs, query, found):
    if "scorer" in kwargs:
        with pytest.warns(UserWarning, match="similarity_threshold is not applied with a scorer"):
            net = LocalNetwork(**kwargs)
    else:
        net = LocalNetwork(**kwargs)
    net.register("a", ["translate text"])
    assert len(net.discover(query)) == found


def test_feedback_replay_log_and_epsilon():
    net = LocalNetwork()
    assert (net.exploration_epsilon, net.replay_enabled, net.replay_event_count) == (0.8, False, 0)
    net.record_success("ghost")  # unknown names never raise
    net.enable_replay(max_events=100)
    net.register("a", ["translate text"])
    net.record_success("a")
    net.record_failure("a", query="translate")
    net.tick()
    net.discover("translate text")
    assert 0.05 <= net.exploration_epsilon < 0.8 and type(net.exploration_epsilon) is float
    events = net.replay_events()
    assert net.replay_event_count == len(events) == 5
    assert list(events[0].items()) == [("type", "feedback_recorded"), ("agent_name", "a"),
                                       ("query", ""), ("outcome", 1.0)]
    assert (events[1]["query"], events[1]["outcome"]) == ("translate", -1.0)
    assert events[2:4] == [{"type": "tick_applied"},
                           {"type": "query_submitted", "query": "translate text"}]
    assert list(events[4]) == ["type", "query", "agent_name", "raw_similarity", "enzyme_score",
                               "feedback_factor", "final_score"]
    net.replay_clear()
    assert net.replay_event_count == 0 and net.replay_enabled is True


def test_routing_state_agrees_with_the_state_file_and_loads_without_callables(tmp_path):
    net = LocalNetwork()
    net.register("a", ["translate text"], endpoint="http://a:1/x", metadata={"p": "mcp"},
                 invoke=print)
    net.register("b", ["summarise text"])
    for _ in range(10):
        net.record_failure("b", query="summarise")
    net.record_success("a", query="translate")
    net.discover("translate text")
    net.save(tmp_path / "s.json")
    for agent in json.loads((tmp_path / "s.json").read_text())["agents"]:
        assert list(net.routing_state(agent["name"]).values()) == [
            agent["diameter"], agent["tau"], agent["sigma"], agent["forwards_count"],
            agent["consecutive_pulse_timeouts"], "open" if agent["name"] == "b" else "closed",
            len(agent["feedback"]), agent["endpoint"]]
    with pytest.raises(KeyError, match="'nobody'"):
        net.routing_state("nobody")
    result = LocalNetwork.load(path=str(tmp_path / "s.json")).discover("translate text")[0]
    assert (result.agent_name, result.endpoint, result.metadata, result.invoke) == (
        "a", "http://a:1/x", {"p": "mcp"}, None)
    assert net.discover("translate text")[0].invoke is print  # the original keeps its map


def test_reentrant_calls_from_a_scorer_are_refused_and_borrows_released():
    seen, net = [], None

    def attempt(*calls):
        for call in calls if net is not None else ():
            try:
                call()
            except RuntimeError as e:
                seen.append(str(e))

    class Reentrant:
        index_capabilities = staticmethod(lambda name, caps: attempt(lambda: net.agents()))
        remove_agent = staticmethod(lambda name: attempt(lambda: net.agent_count))

        def score(self, query):
            attempt(lambda: net.tick(), lambda: net.exploration_epsilon,
                    lambda: net.discover("again"))
            return [("a", 0.9)]

    net = LocalNetwork(scorer=Reentrant())
    net.register("a", ["x"])
    assert [r.agent_name for r in net.discover("q")] == ["a"]
    during_score = ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
    assert seen == ["Already mutably borrowed"] + during_score
    # Composed queries and confidence responses hold the borrow the same way.
    assert len(net.discover(Query.all("q"), with_confidence=True)) == 1
    assert [r.agent_name for r in net.discover_many(["q"])[0]] == ["a"]
    net.deregister("a")
    assert seen == ["Already mutably borrowed"] + during_score * 3 + ["Already mutably borrowed"]
    net, quiet = None, net
    # Failed calls release their borrow too: tick would raise "Already borrowed".
    for call in (lambda: quiet.register("", ["x"]), lambda: quiet.save("/nonexistent/d/x.json")):
        with pytest.raises((ValueError, OSError)):
            call()
        quiet.tick()
    quiet.register("b", ["y"])
    assert quiet.agents() == ["b"] and quiet.agent_count == 1


class WordScorer:
    """Host scorer: share of the query's words found in the agent's texts."""

    def __init__(self):
        self.texts = {}

    def index_capabilities(self, name, capabilities):
        self.texts[name] = list(capabilities)

    def score(self, query):
        words = set(query.split())
        return [(n, len(words & set(" ".join(t).split())) / len(words))
                for n, t in self.texts.items()]


class LearningScorer(WordScorer):
    fail = False

    def learn(self, name, text):
        if self.fail:
            raise RuntimeError("boom")
        self.texts[name].append(text)

    def forget(self, name, text):
        self.texts[name].remove(text)


@pytest.mark.parametrize("kind", [WordScorer, LearningScorer])
def test_host_scorers_follow_the_memory_and_come_back_from_a_file(kind, tmp_path):
    host = kind()
    net = LocalNetwork(scorer=host, query_memory=2)
    net.register("a", ["legal contract"])
    net.register("b", ["weather report"])
    for q in ("sign lease", "draft will", "sign lease", "file taxes"):
        net.record_success("a", query=q)
    assert net.remembered("a") == ["sign lease", "file taxes"]
    assert host.texts["a"] == ["legal contract", "sign lease", "file taxes"]
    assert net.discover("file taxes")[0].agent_name == "a"
    net.record_failure("a", query="sign lease")
    assert host.texts["a"] == ["legal contract", "file taxes"]

    path = str(tmp_path / "state.json")
    net.save(path)
    with pytest.raises(ValueError, match="^scorer error: .*host scorer"):
        LocalNetwork.load(path)
    again = kind()
    loaded = LocalNetwork.load(path, scorer=again)
    assert (loaded.query_memory, loaded.query_expansion) == (2, False)
    assert loaded.remembered("a") == ["file taxes"]
    assert again.texts == {"a": ["legal contract", "file taxes"], "b": ["weather report"]}


def test_query_memory_settings_and_bad_input():
    (host := LearningScorer()).fail = True  # logged; the host scorer is reindexed instead
    net = LocalNetwork(scorer=host, query_memory=5)
    net.register("a", ["x"])
    net.record_success("a", query="q")
    net.record_success("a")  # no query: nothing to remember
    assert (net.remembered("a"), host.texts["a"]) == (["q"], ["x", "q"])

    assert (LocalNetwork().query_memory, LocalNetwork().query_expansion) == (0, True)
    assert LocalNetwork(query_memory=True).query_memory == 1  # as the module's other ints
    with pytest.raises(ValueError, match=r"^argument 'query_memory': .*\(got -1\)$"):
        LocalNetwork(query_memory=-1)
    for kwargs in ({"query_memory": "3"}, {"query_memory": 2.5}, {"query_expansion": 1}):
        with pytest.raises(TypeError, match=f"^argument '{next(iter(kwargs))}'"):
            LocalNetwork(**kwargs)
    with pytest.raises(KeyError, match="nobody"):
        LocalNetwork().remembered("nobody")


class FailingScorer(TableScorer):
    def index_capabilities(self, name, capabilities):
        raise RuntimeError(f"cannot index {name}")

    def score(self, query):
        raise ValueError(f"no score for {query!r}")


EVENTS = {
    "host scorer score raises": (
        lambda net: net.discover("legal"), [], "kova_discovery.network.pipeline", logging.ERROR,
        "Scorer failed during query evaluation: scorer.score() failed: "
        "ValueError: no score for 'legal'",
        {"error": "scorer.score() failed: ValueError: no score for 'legal'"}),
    "index_capabilities raises": (
        lambda net: net.register("b", ["cap"]), None, "kova_discovery.pybridge", logging.WARNING,
        "Python scorer index_capabilities() failed: RuntimeError: cannot index b (agent_id=b)",
        {"agent_id": "b", "error": "RuntimeError: cannot index b"}),
    "feedback for an unknown agent": (
        lambda net: net.record_success("nope"), None, "kova_discovery.network", logging.WARNING,
        "Feedback names an unknown agent (agent_name=nope, operation=record_success)",
        {"agent_name": "nope", "operation": "record_success"}),
}


@pytest.mark.parametrize("action, result, logger, level, message, fields", EVENTS.values(),
                         ids=EVENTS.keys())
def test_engine_events_reach_logging(caplog, action, result, logger, level, message, fields):
    net = LocalNetwork(scorer=FailingScorer({}))
    net.register("a", ["cap"])
    caplog.set_level(logging.WARNING, logger="kova_discovery")
    assert action(net) == result  # nothing raises and results stay as they were
    [record] = caplog.records
    assert (record.name, record.levelno, record.getMessage()) == (logger, level, message)
    assert record.kova_fields == fields
    assert getattr(record, "kova_callsite", None) == (
        "event src/network/pipeline.rs:292" if level == logging.ERROR else None)
    assert record.filename == "test_network_binding.py"  # the caller's line, not the module's


@pytest.fixture
def package_logger():
    """The package logger at DEBUG with only its own NullHandler in reach."""
    logger = logging.getLogger("kova_discovery")
    own = list(logger.handlers)
    logger.propagate = False
    logger.setLevel(logging.DEBUG)  # a level change: the next call looks at everything again
    yield logger
    logging.disable(logging.NOTSET)
    for handler in set(logger.handlers) - set(own):
        logger.removeHandler(handler)
    logger.propagate = True
    logger.setLevel(logging.NOTSET)


def test_no_logging_call_unless_a_handler_takes_the_level(monkeypatch, package_logger):
    calls = []
    real_log = logging.Logger.log
    monkeypatch.setattr(logging.Logger, "log",
                        lambda self, *a, **k: calls.append(self.name) or real_log(self, *a, **k))
    net = LocalNetwork()
    handler = type("Quiet", (logging.Handler,), {"emit": lambda self, record: None})(30)
    # Handlers added and removed are seen without a level change; logging.disable is a level.
    for change, expected in [(None, 0), (package_logger.addHandler, 1),
                             (package_logger.removeHandler, 1),
                             (lambda h: (package_logger.addHandler(h), logging.disable()), 1)]:
        if change:
            change(handler)
        net.register(f"agent{len(calls)}", ["x"])  # a DEBUG record: no handler below WARNING
        net.record_success("nope")
        assert len(calls) == expected


def test_handlers_run_after_the_call_and_may_fail(monkeypatch, package_logger):
    net, hooked = LocalNetwork(), []

    def emit(record):  # the network is no longer borrowed
        net.register("late", ["x"])
        raise RuntimeError("handler broke")

    monkeypatch.setattr(sys, "unraisablehook", hooked.append)
    package_logger.addHandler(type("Reentrant", (logging.Handler,), {
        "emit": lambda self, record: emit(record)})(logging.WARNING))
    assert net.record_success("nope") is None and net.agents() == ["late"]
    assert [str(h.exc_value) for h in hooked] == ["handler broke"]


def test_handlers_that_log_again_through_the_network_lose_nothing_unless_unbounded(
        package_logger):
    net, seen, feeding = LocalNetwork(), [], []
    long_texts = [" ".join(["word"] * 60) + f" v{i}" for i in range(1500)]

    def emit(record):
        seen.append(record.getMessage())
        net.agents()  # a look-up per record logs nothing and costs nothing
        if len(seen) == 1 and not feeding:
            net.record_success("nobody else")  # one-off calls, chained: nothing is lost
        elif "big" not in net.agents():
            net.register("big", long_texts)  # 1,500 warnings
        elif feeding:  # each record makes two more: unbounded, the queue doubles per round
            net.tick()
            net.tick()

    package_logger.addHandler(type("Calling", (logging.Handler,), {
        "emit": lambda self, record: emit(record)})())
    net.record_success("nobody")
    assert sum("cut" in m or "trunc" in m for m in seen) == 1500
    feeding.append(True)
    for _ in range(3):
        seen.clear()
        net.tick()
        assert 0 < len(seen) < 2000 and "dropped" in seen[-1]


def test_a_waiting_handler_does_not_hold_back_another_threads_records(package_logger):
    net, names, waiting, release = LocalNetwork(), [], threading.Event(), threading.Event()

    def emit(record):
        names.append(threading.current_thread().name)
        if names == ["A"]:
            waiting.set()
            release.wait(10)  # lets the other thread run

    # `handle` without the handler's lock, which would make the other thread wait anyway.
    package_logger.addHandler(type("Waiting", (logging.Handler,), {
        "handle": lambda self, record: emit(record)})(logging.WARNING))
    a = threading.Thread(target=net.record_success, args=("nobody",), name="A")
    a.start()
    assert waiting.wait(10)
    b = threading.Thread(target=net.record_success, args=("nobody",), name="B")
    b.start()
    b.join(10)
    release.set()
    a.join(10)
    assert names == ["A", "B"]
