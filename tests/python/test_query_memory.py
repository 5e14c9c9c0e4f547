import pytest

from kova_discovery import LocalNetwork


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


def test_settings_and_bad_input():
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
