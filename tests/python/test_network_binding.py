"""LocalNetwork from Python: construction rules, registry, invoke map, feedback, replay log,
drift, persistence and borrow rules. (Reference counts and memory: test_reliability_leaks.)"""

import json

import pytest

from conftest import TableScorer, exact
from kova_discovery._native import DiscoveryConfig, LocalNetwork, Query, TfIdfScorer

BOTH = "Cannot specify both 'config' and 'scorer' parameters"
CONFIG_AND_THRESHOLD = (
    "Cannot specify both 'config' and 'similarity_threshold' parameters. "
    "Use config.similarity_threshold instead."
)


class TestConstructor:
    def test_conflicting_arguments(self):
        with pytest.raises(ValueError, match=exact(BOTH)):
            LocalNetwork(config=DiscoveryConfig(), scorer=TfIdfScorer(), similarity_threshold=0.5)
        with pytest.raises(ValueError, match=exact(BOTH)):
            LocalNetwork(config=DiscoveryConfig(), scorer=object())
        with pytest.raises(ValueError, match=exact(CONFIG_AND_THRESHOLD)):
            LocalNetwork(config=DiscoveryConfig(), similarity_threshold=0.5)

    @pytest.mark.parametrize(
        "kwargs,query,found",
        [
            ({"similarity_threshold": 1.5}, "translate text", 0),  # applied unvalidated
            ({"similarity_threshold": 1.5, "config": None}, "translate text", 0),
            ({"similarity_threshold": -1.0}, "completely unrelated words", 1),
            ({"config": DiscoveryConfig(similarity_threshold=1.5)}, "translate text", 0),
            # With a scorer the threshold is ignored: 0.3 passes the default 0.1, not 0.5.
            ({"scorer": TableScorer({"q": {"a": 0.3}}), "similarity_threshold": 0.5}, "q", 1),
            # TfIdfScorer has no host scorer methods: wrapped as one, it would find nothing.
            ({"scorer": TfIdfScorer(), "similarity_threshold": 0.99}, "translate text", 1),
        ],
    )
    def test_threshold_scorer_and_config_are_applied(self, kwargs, query, found):
        net = LocalNetwork(**kwargs)
        net.register("a", ["translate text"])
        assert len(net.discover(query)) == found


class TestRegistry:
    def test_register_list_and_deregister(self):
        net = LocalNetwork()
        net.register("b", ["second"], endpoint="http://b", metadata={"k": "v"})
        net.register("a", ["first"])
        net.register("B", ["upper"])
        assert net.agents() == ["B", "a", "b"]
        assert net.agent_count == 3
        assert net.deregister("a") is True
        assert net.deregister("a") is False
        assert net.deregister("never") is False
        assert net.agents() == ["B", "b"]

    def test_invoke_map_follows_registration(self):
        def call():
            return "called"

        net = LocalNetwork()
        net.register("a", ["translate text"], invoke=call)
        assert net.discover("translate text")[0].invoke is call
        net.register("a", ["translate text"])  # without invoke: drops the callable
        assert net.discover("translate text")[0].invoke is None
        net.register("a", ["translate text"], invoke=call)
        net.deregister("a")
        net.register("a", ["translate text"], invoke=None)
        assert net.discover("translate text")[0].invoke is None
        net.register("a", ["translate text"], invoke="not callable")
        assert net.discover("translate text")[0].invoke == "not callable"


class TestFeedbackAndState:
    def test_feedback_tick_and_epsilon(self):
        net = LocalNetwork()
        assert net.exploration_epsilon == 0.8
        net.register("a", ["translate text"])
        net.record_success("a", query="translate text")
        net.record_failure("a")
        net.record_success("ghost")  # unknown names never raise
        net.tick()
        assert 0.05 <= net.exploration_epsilon < 0.8
        assert type(net.exploration_epsilon) is float

    def test_replay_log(self):
        net = LocalNetwork()
        assert net.replay_enabled is False and net.replay_event_count == 0
        with pytest.raises(ValueError, match="max_events"):
            net.enable_replay(0)
        assert net.replay_enabled is False
        net.enable_replay(max_events=100)
        net.register("a", ["translate text"])
        net.record_success("a")
        net.record_failure("a", query="translate")
        net.tick()
        net.discover("translate text")
        events = net.replay_events()
        assert net.replay_event_count == len(events) == 5
        assert events[0] == {"type": "feedback_recorded", "agent_name": "a", "query": "", "outcome": 1.0}
        assert events[1]["query"] == "translate" and events[1]["outcome"] == -1.0
        assert events[2] == {"type": "tick_applied"}
        assert events[3] == {"type": "query_submitted", "query": "translate text"}
        assert list(events[4]) == [
            "type", "query", "agent_name", "raw_similarity", "enzyme_score",
            "feedback_factor", "final_score",
        ]
        assert list(events[0]) == ["type", "agent_name", "query", "outcome"]
        net.replay_clear()
        assert net.replay_event_count == 0 and net.replay_enabled is True

    def test_drift_reports(self):
        net = LocalNetwork()
        net.register("beta", ["translate text between languages"])
        net.register("alpha", ["summarise long documents"])
        for _ in range(4):
            net.record_success("beta", query="translate text between languages")
            net.record_success("alpha", query="summarise long documents")
        for _ in range(10):
            net.record_failure("beta", query="translate")
        assert net.detect_drift() == []
        net.record_success("beta", query="translate text between languages")
        report = net.detect_drift()
        assert report == [{"agent_name": "beta", "alignment": 1.0, "sample_count": 5, "drifted": False}]
        assert list(report[0]) == ["agent_name", "alignment", "sample_count", "drifted"]
        both = net.detect_drift(threshold=1.5, min_samples=4)
        assert [(r["agent_name"], r["drifted"]) for r in both] == [("alpha", True), ("beta", True)]

    def test_save_and_load(self, tmp_path):
        net = LocalNetwork()
        net.register("a", ["translate text"], endpoint="http://a:1/x", metadata={"p": "mcp"}, invoke=print)
        net.register("b", ["summarise documents"])
        net.record_success("a", query="translate text")
        path = str(tmp_path / "state.json")
        net.save(path)
        loaded = LocalNetwork.load(path=path)
        assert type(loaded) is LocalNetwork
        assert loaded.agents() == ["a", "b"]
        result = loaded.discover("translate text")[0]
        assert (result.agent_name, result.endpoint, result.metadata) == ("a", "http://a:1/x", {"p": "mcp"})
        assert result.invoke is None
        assert net.discover("translate text")[0].invoke is print  # the original keeps its map

    def test_persistence_failures_are_os_errors(self, tmp_path):
        net = LocalNetwork()
        net.register("a", ["x"])
        with pytest.raises(OSError, match=r"^\[Errno \d+\] I/O error: "):
            net.save(str(tmp_path / "missing-dir" / "state.json"))
        with pytest.raises(OSError, match=r"^\[Errno \d+\] I/O error: "):
            LocalNetwork.load(str(tmp_path / "absent.json"))
        bad = tmp_path / "bad.json"
        bad.write_text("not json")
        with pytest.raises(OSError, match="^serialization error: "):
            LocalNetwork.load(str(bad))
        good = tmp_path / "good.json"
        net.save(str(good))
        state = json.loads(good.read_text())
        state["version"] = 99
        good.write_text(json.dumps(state))
        with pytest.raises(OSError, match=exact("unsupported snapshot version 99 (supported up to 3)")):
            LocalNetwork.load(str(good))
        assert net.agents() == ["a"]


class TestBorrowing:
    def test_reentrant_calls_from_a_scorer_are_refused(self):
        seen = []

        class Reentrant:
            net = None

            def index_capabilities(self, name, capabilities):
                self.attempt(lambda: self.net.agents())

            def remove_agent(self, name):
                self.attempt(lambda: self.net.agent_count)

            def score(self, query):
                self.attempt(lambda: self.net.tick())
                self.attempt(lambda: self.net.exploration_epsilon)
                self.attempt(lambda: self.net.discover("again"))
                return [("a", 0.9)]

            def attempt(self, call):
                try:
                    call()
                except RuntimeError as e:
                    seen.append(str(e))

        scorer = Reentrant()
        net = LocalNetwork(scorer=scorer)
        scorer.net = net
        net.register("a", ["x"])
        assert [r.agent_name for r in net.discover("q")] == ["a"]
        during_score = ["Already borrowed", "Already mutably borrowed", "Already borrowed"]
        assert seen == ["Already mutably borrowed"] + during_score
        # Composed queries and confidence responses hold the borrow the same way.
        assert len(net.discover(Query.all("q"), with_confidence=True)) == 1
        assert [r.agent_name for r in net.discover_many(["q"])[0]] == ["a"]
        net.deregister("a")
        assert seen == ["Already mutably borrowed"] + during_score * 3 + [
            "Already mutably borrowed"]
        # Every borrow was released: the network is fully usable afterwards.
        scorer.net = None
        net.register("b", ["y"])
        net.tick()
        assert net.agents() == ["b"] and net.agent_count == 1

    def test_failed_calls_release_their_borrow(self):
        net = LocalNetwork()
        for call in (lambda: net.register("", ["x"]), lambda: net.save("/nonexistent/dir/x.json")):
            with pytest.raises((ValueError, OSError)):
                call()
            net.tick()  # would raise "Already borrowed" if a borrow leaked
