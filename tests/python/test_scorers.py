"""The scorers from Python. A host object as the engine's scorer: the protocol and what
misbehaviour does. Bm25Scorer and HybridScorer: construction, bad input, fusion through a
network, failing host parts and garbage collection of host parts. EmbeddingScorer: incremental
upkeep against a from-scratch build, the host protocol, and the package importing without numpy.
"""

import decimal
import fractions
import json
import math
import random
import re
import subprocess
import sys
import zlib

import pytest

from conftest import TableScorer, exact, names, scored_network, similarities
from kova_discovery import (
    Bm25Scorer, EmbeddingScorer, HybridScorer, LocalNetwork, Query, TfIdfScorer)

np = pytest.importorskip("numpy")


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
    assert net.discover("x") == [] and net.discover(Query.all("x", "y")) == []
    assert net.discover_many(["x", "y"]) == [[], []]
    assert sys.exc_info() == (None, None, None)
    if not isinstance(reply, BaseException):  # a raised one is kept by its traceback
        assert held(reply) == before
    scorer.reply = [("a", 0.7)]
    assert names(net.discover("x")) == {"a"}


def test_valid_replies():
    class Seq:  # a sequence that is neither a list nor a tuple, and cannot tell its length
        def __len__(self):
            raise ValueError("no length")

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


def test_a_host_scorers_infinite_similarity_gives_no_unsavable_credit(tmp_path):
    # Propagation adds similarity x 0.3 to a neighbour's tau; an infinite tau would be saved
    # as null and come back as the floor.
    net = scored_network({"a": {"a": 1.0, "b": math.inf, "c": 1e308}}, {"a": {}, "b": {}, "c": {}})
    before = net.routing_state("b")["tau"]
    net.record_success("a")
    net.save(tmp_path / "s.json")
    loaded = LocalNetwork.load(tmp_path / "s.json", scorer=TableScorer({}))
    for name in "bc":
        assert net.routing_state(name)["tau"] == loaded.routing_state(name)["tau"]
    assert net.routing_state("b")["tau"] == before and net.routing_state("c")["tau"] > 1e307


def test_a_host_scorer_may_consult_another_network():
    # The inner discovery runs while the outer one waits for its scorer; it must not write
    # into (or free) the similarities the outer one is about to read.
    inner = LocalNetwork()
    for i in range(300):
        inner.register(f"i{i}", ["translate legal contracts"])

    class Delegating(TableScorer):
        def score(self, query):
            inner.discover(query)
            return [("a0", 0.9)]

    outer = LocalNetwork(scorer=Delegating({}))
    for i in range(40):
        outer.register(f"a{i}", ["unrelated"])
    for _ in range(3):
        assert similarities(outer.discover("translate legal contracts")) == {"a0": 0.9}


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
    for kwargs, exc, message in [
            ({"b": 1.01}, ValueError, "b must be between 0 and 1, got 1.01"),
            ({"k1": "1"}, TypeError, "argument 'k1': "),
            ({"stemmer": 1}, TypeError, "argument 'stemmer': "),
            ((1.2,), TypeError, "Bm25Scorer() takes 0 positional arguments"),
            # The whole message, past a NUL in the value it names.
            ({"stemmer": "english\0x"}, ValueError,
             "unknown stemmer language 'english\0x' (available: ")]:
        with pytest.raises(exc, match="^" + re.escape(message)):
            Bm25Scorer(*kwargs) if isinstance(kwargs, tuple) else Bm25Scorer(**kwargs)


@pytest.mark.parametrize("scorers,exc,message", [
    ([], ValueError, "a hybrid scorer needs at least one scorer"),
    ([(Bm25Scorer(), -1)], ValueError, "item 0: weights must be finite numbers >= 0, got -1"),
    ([(Bm25Scorer(), math.nan)], ValueError,
     "item 0: weights must be finite numbers >= 0, got NaN"),
    ([(Bm25Scorer(), 0), (TfIdfScorer(), 0.0)], ValueError,
     "at least one weight must be greater than 0"),
    ([(Bm25Scorer(), 1e308), (TfIdfScorer(), 1e308)], ValueError,
     "the weights must have a finite sum"),
    # Its share of the sum rounds to 0: alone it would answer every query with nothing.
    ([(Bm25Scorer(), 5e-324), (TfIdfScorer(), 4.0)], ValueError,
     "weight 5e-324 is too small next to the others"),
    ([(Bm25Scorer(), 1e-320), (TfIdfScorer(), 1.0)], ValueError,  # a subnormal share
     "weight 1e-320 is too small next to the others"),
    ([(Bm25Scorer(), np.complex64(1 + 2j))], TypeError,
     "item 0: 'complex64' object cannot be converted to 'float'"),
    ([(Bm25Scorer(), np.True_)], TypeError, "item 0: 'bool' object cannot be converted to 'float'"),
    ([(Bm25Scorer(), 1, 2)], ValueError, "item 0 must be a (scorer, weight) pair, got length 3"),
    ([Bm25Scorer()], TypeError, "item 0 must be a (scorer, weight) pair: 'Bm25Scorer' object "
     "cannot be converted to 'tuple'"),
    ([(Bm25Scorer(), "1")], TypeError, "item 0: 'str' object cannot be converted to 'float'"),
    ([(None, 1)], TypeError, "item 0: the scorer is None"),
    ("ab", TypeError, "'str' object cannot be converted to 'Sequence'"),
])
def test_hybrid_bad_input(scorers, exc, message):
    with pytest.raises(exc, match=exact("argument 'scorers': " + message)):
        HybridScorer(scorers)


def test_hybrids_nest_at_most_16_deep_and_take_any_real_weight():
    scorer = Bm25Scorer()
    # numpy weights, as tuning produces them, are numbers like any other
    for weight in (np.float32(0.5), np.int64(1), fractions.Fraction(1, 4), decimal.Decimal(2)):
        scorer = HybridScorer([(scorer, weight)])
    for _ in range(12):
        scorer = HybridScorer([(scorer, 1)])
    assert network(scorer).discover("weather forecasts")[0].agent_name == "weather"
    with pytest.raises(ValueError, match="hybrid scorers nest more than 16 deep"):
        HybridScorer([(scorer, 1)])


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
    # Scores apart only by rounding (a sum taken in another order) are no preference: the
    # table must not hand its whole weight to whichever agent the last bit favoured. With
    # nothing to rescale by, every agent keeps the table's own similarity.
    tied = 0.3256243824988273
    table.table["daily weather forecasts"] = {
        "weather": tied, "legal": 0.32562438249882725, "runner": tied}
    assert similarities(net.discover("daily weather forecasts")) == pytest.approx(
        {"weather": 0.25 + 0.75 * tied, "legal": 0.75 * tied, "runner": 0.75 * tied})


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


@pytest.mark.parametrize("last", [{"name": ""}, {"name": "a"}])  # unregistrable, repeated
def test_a_failed_load_leaves_a_passed_scorer_holding_no_agent(tmp_path, last):
    net = LocalNetwork()
    net.register("a", ["translate text"])
    net.register("b", ["send email"])
    net.save(path := tmp_path / "state.json")
    snapshot = json.loads(path.read_text())
    snapshot["agents"].append({**snapshot["agents"][0], **last})
    path.write_text(json.dumps(snapshot))
    scorer = Recorder([])
    with pytest.raises(OSError):
        LocalNetwork.load(path, scorer=scorer)
    indexed = [c[1] for c in scorer.calls if c[0] == "index"]
    assert indexed and sorted(c[1] for c in scorer.calls if c[0] == "remove") == sorted(indexed)


WORDS = "rain snow refund card pipeline build deploy invoice weather flight ticket".split()


def encode(texts):
    """Signed hashed bag of words: deterministic, and texts can point away from each other."""
    out = np.zeros((len(texts), 16))
    for row, text in enumerate(texts):
        for word in text.split():
            h = zlib.crc32(word.encode())
            out[row, h % 16] += 1.0 if h & 0x10000 else -1.0
    return out


def reference(capabilities, remembered, query):
    vectors = encode(list(capabilities) + list(remembered))
    mean = (vectors / np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-300)).mean(0)
    q = encode([query])[0]
    denom = np.linalg.norm(mean) * np.linalg.norm(q)
    return max(0.0, float(mean @ q / denom)) if denom else 0.0


def test_incremental_upkeep_equals_a_fresh_build_and_the_plain_formula():
    rng = random.Random(1)
    phrase = lambda: " ".join(rng.choices(WORDS, k=rng.randint(1, 4)))  # noqa: E731
    live, caps, memory = EmbeddingScorer(encode, cache_size=3), {}, {}
    for _ in range(400):
        name, op = f"a{rng.randrange(8)}", rng.random()
        if op < 0.15:
            caps[name], memory[name] = [phrase() for _ in range(rng.randint(0, 3))], {}
            live.index_capabilities(name, caps[name])
        elif op < 0.2:
            caps.pop(name, None), memory.pop(name, None)
            live.remove_agent(name)
        elif op < 0.65:
            text = phrase()
            if name in caps:
                live.learn(name, text)
                memory[name].setdefault(text)
            else:
                with pytest.raises(KeyError):  # the network then indexes the agent anew
                    live.learn(name, text)
        else:
            text = rng.choice(list(memory.get(name, {})) or [phrase()])
            if text in memory.get(name, {}):
                live.forget(name, text)
                memory[name].pop(text)
            else:
                with pytest.raises(KeyError):
                    live.forget(name, text)

    fresh = EmbeddingScorer(encode)
    for name in sorted(caps):
        fresh.index_capabilities(name, caps[name])
        for text in memory[name]:
            fresh.learn(name, text)
    for query in ["rain card", "deploy pipeline build", "flight", "nothing known here"]:
        got = dict(live.score(query))
        assert got == dict(fresh.score(query))  # exact: no drift from learn/forget
        assert set(got) <= set(caps) and all(0.0 < s <= 1.0 for s in got.values())
        for name in caps:
            want = reference(caps[name], memory[name], query)
            assert got.get(name, 0.0) == pytest.approx(want, abs=2e-4), name


def test_serves_a_network_and_learns_what_users_asked():
    net = LocalNetwork(scorer=(scorer := EmbeddingScorer(encode)))
    net.register("weather", ["weather forecast rain snow"])
    net.register("billing", ["invoice card refund"])
    assert net.discover("rain snow")[0].agent_name == "weather"
    net.deregister("weather")
    net.register("ci", ["pipeline build deploy"])  # takes the freed row
    assert {r.agent_name for r in net.discover("deploy pipeline")} == {"ci"}
    assert repr(scorer) == "EmbeddingScorer(agents=2, dimension=16)"
    scorer.learn("billing", "flight ticket")
    assert net.discover("flight ticket")[0].agent_name == "billing"
    # Finite vectors of any magnitude: a norm taken naively overflows (or underflows) to 0.
    for scale in (1e200, 1e-200):
        huge = EmbeddingScorer(lambda texts, scale=scale: encode(texts) * scale)
        huge.index_capabilities("weather", ["weather forecast rain snow"])
        assert huge.score("weather forecast rain snow") == [("weather", pytest.approx(1.0))]


@pytest.mark.parametrize("seed", range(4))
def test_vectors_follow_the_network_through_encoder_failures_and_re_registrations(seed):
    # After failures the network indexes an agent anew with its remembered texts: its vector
    # must follow the network's memory, and learning must then go on one text at a time.
    rng = random.Random(seed)
    phrase = lambda: " ".join(rng.choices(WORDS, k=rng.randint(1, 3)))  # noqa: E731
    failing, calls = {"odds": 0.3}, []

    def flaky(texts):
        if rng.random() < failing["odds"]:
            raise TimeoutError("encoder busy")
        calls.append(len(texts))
        return encode(texts)

    net = LocalNetwork(scorer=(scorer := EmbeddingScorer(flaky, cache_size=0)), query_memory=3)
    caps: dict[str, list[str]] = {}
    for step in range(400):
        name, op = f"a{rng.randrange(3)}", rng.random()
        calls.clear()
        if registering := name not in caps or op < 0.2:
            # Often the old capabilities and one more: not to be taken for a rebuild.
            keep = caps.get(name, []) if rng.random() < 0.5 else []
            caps[name] = keep + [phrase()]
            net.register(name, caps[name])
        elif op < 0.7:  # a query may repeat a capability's text
            net.record_success(name, query=rng.choice([phrase(), *caps[name]]))
        else:
            net.record_failure(name, query=rng.choice(net.remembered(name) or [phrase()]))
        if step == 300:  # the encoder recovers; one success each brings every agent back
            failing["odds"] = 0.0
            for agent in caps:
                net.record_success(agent, query=f"recovered {agent}")
        if step > 300:
            assert registering or max(calls, default=0) <= 1, calls
            fresh = EmbeddingScorer(encode)  # a mean of the same texts, in one go
            for agent, own in caps.items():
                fresh.index_capabilities(agent, own + net.remembered(agent))
            for query in ("rain card", "deploy pipeline", "flight ticket", "snow"):
                assert dict(scorer.score(query)) == dict(fresh.score(query)), (step, query)


@pytest.mark.parametrize("bad, message", [
    (lambda texts: np.zeros(len(texts)), "one vector per text"),
    (lambda texts: np.zeros((len(texts) + 1, 16)), "one vector per text"),
    (lambda texts: np.zeros((len(texts), 5)), "dimension 5, earlier ones had 16"),
    (lambda texts: np.full((len(texts), 16), np.nan), "NaN or infinite"),
    (lambda texts: encode(texts) * 1j, "complex"),
    (lambda texts: (v for v in encode(texts)), "vectors of numbers"),
])
def test_bad_encoder_output_is_refused_and_the_old_vector_not_kept(bad, message):
    # Kept, the old vector would rank the agent on capabilities it no longer has.
    (scorer := EmbeddingScorer(encode)).index_capabilities("a", ["rain"])
    scorer.index_capabilities("b", ["rain"])
    scorer._encode = bad
    with pytest.raises(ValueError, match=message):
        scorer.index_capabilities("a", ["snow"])
    scorer._encode = encode
    assert [name for name, _ in scorer.score("rain")] == ["b"]


def test_bad_arguments_and_importing_without_numpy():
    with pytest.raises(TypeError, match="callable"):
        EmbeddingScorer("model")
    with pytest.raises(ValueError, match="-1"):
        EmbeddingScorer(encode, cache_size=-1)
    code = ("import sys; sys.modules['numpy'] = None\nimport kova_discovery\n"
            "try:\n    kova_discovery.EmbeddingScorer(len)\nexcept ImportError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "kova_discovery[embedding]" in out.stdout
