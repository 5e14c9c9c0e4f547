"""EmbeddingScorer: incremental upkeep against a from-scratch build, the host protocol, and
the package importing without numpy."""

import random
import subprocess
import sys
import zlib

import pytest

np = pytest.importorskip("numpy")

from kova_discovery import EmbeddingScorer, LocalNetwork  # noqa: E402

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
            live.learn(name, text)
            if name in caps:
                memory[name].setdefault(text)
        else:
            text = rng.choice(list(memory.get(name, {})) or [phrase()])
            live.forget(name, text)
            memory.get(name, {}).pop(text, None)

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


@pytest.mark.parametrize("bad, message", [
    (lambda texts: np.zeros(len(texts)), "one vector per text"),
    (lambda texts: np.zeros((len(texts) + 1, 16)), "one vector per text"),
    (lambda texts: np.zeros((len(texts), 5)), "dimension 5, earlier ones had 16"),
    (lambda texts: np.full((len(texts), 16), np.nan), "NaN or infinite"),
])
def test_bad_encoder_output_is_refused_and_changes_nothing(bad, message):
    (scorer := EmbeddingScorer(encode)).index_capabilities("a", ["rain"])
    before, scorer._encode = scorer.score("rain"), bad
    with pytest.raises(ValueError, match=message):
        scorer.index_capabilities("a", ["snow"])
    scorer._encode = encode
    assert scorer.score("rain") == before


def test_bad_arguments_and_importing_without_numpy():
    with pytest.raises(TypeError, match="callable"):
        EmbeddingScorer("model")
    with pytest.raises(ValueError, match="-1"):
        EmbeddingScorer(encode, cache_size=-1)
    code = ("import sys; sys.modules['numpy'] = None\nimport kova_discovery\n"
            "try:\n    kova_discovery.EmbeddingScorer(len)\nexcept ImportError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "kova_discovery[embedding]" in out.stdout
