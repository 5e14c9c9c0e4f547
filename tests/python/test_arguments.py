"""Arguments from Python: parsing, conversion, and what a bad value does. A bad value is refused
with an ordinary exception that names the argument, nothing crashes, and a call that raises
leaves the network exactly as it was."""

import importlib.util
import json
import math
import os
import re

import pytest

from conftest import REPO

from kova_discovery._native import (  # several are reached only through eval()
    CircuitBreakerConfig, DiscoveryConfig, FilterValue, LocalNetwork, MycorrhizalPropagator,
    HybridScorer, Query, TfIdfScorer, capabilities_from_a2a_rust)


class Exploding:
    """Fails every conversion it is asked for."""

    def _fail(self, *args):
        raise ZeroDivisionError("no conversion here")

    __float__ = __index__ = __str__ = __len__ = __iter__ = __getitem__ = _fail


RESPONSE = [None]  # a response of the network make_network() built last


def make_network():
    net = LocalNetwork()
    net.enable_replay(1000)
    net.register("translator", ["translate legal contracts", "summarise documents"],
                 endpoint="http://localhost:1/t", metadata={"protocol": "mcp", "version": "2"},
                 invoke=print)
    net.register("poet", ["write poems about the sea"], metadata={"protocol": "a2a"})
    net.record_success("translator", query="translate a contract")
    RESPONSE[0] = net.discover("translate legal contracts", with_confidence=True)
    return net


def state(net, tmp_path):
    """Everything observable about a network, volatile clock values left out."""
    net.save(path := os.path.join(tmp_path, "state.json"))
    with open(path) as f:
        saved = json.load(f)
    saved.pop("network_epoch")
    for agent in saved["agents"]:
        agent.pop("last_activity_duration")
    return (net.agents(), net.agent_count, net.exploration_epsilon, net.replay_enabled,
            net.replay_events(), saved)


# Every way a value reaches the module: `v` on network `n`, read by eval().
SITES = [
    "LocalNetwork(similarity_threshold=v)", "LocalNetwork(config=v)", "LocalNetwork(scorer=v)",
    "n.register(v, ['cap'])", "n.register('new', v)", "n.register('new', ['cap'], endpoint=v)",
    "n.register('new', ['cap'], metadata=v)", "n.deregister(v)", "n.discover(v)",
    "n.discover('translate', filters=v)", "n.discover('translate', filters={'protocol': v})",
    "n.discover('translate', filters={'protocol': {'$in': v}})",
    "n.discover('translate', filters={'version': {'$lt': v}})",
    "n.discover('translate', filters={'version': {'$gt': v}})",
    "n.discover('translate', filters={'protocol': {'$contains': v}})",
    "n.discover('translate', explain=v)", "n.discover('translate', with_confidence=v)",
    "n.discover_many(v)", "n.discover_many(['translate'], filters=v)",
    "n.discover_many(['translate'], explain=v)", "n.record_success(v)",
    "n.record_success('translator', query=v)", "n.record_failure(v)",
    "n.record_failure('poet', query=v)", "n.enable_replay(v)", "n.detect_drift(threshold=v)",
    "n.detect_drift(min_samples=v)", "n.save(v)", "LocalNetwork.load(v)", "Query.all('a', v)",
    "Query.weighted(v)", "Query.weighted({'a': v})", "Query.all('a').exclude(v)",
    "FilterValue.exact(v)", "FilterValue.one_of(v)", "FilterValue.less_than(v)",
    "DiscoveryConfig(similarity_threshold=v)", "DiscoveryConfig(max_feedback_records=v)",
    "DiscoveryConfig(diameter_min=v)", "CircuitBreakerConfig.with_threshold_and_timeout(v, 1)",
    "CircuitBreakerConfig.with_threshold_and_timeout(1, v)",
    "MycorrhizalPropagator.with_config(v, 0.3)", "capabilities_from_a2a_rust(v)",
    "capabilities_from_a2a_rust({'name': v, 'skills': [{'tags': v}, v]})", "RESPONSE[0][v]",
]
OK_EXCEPTIONS = (TypeError, ValueError, OverflowError, OSError, IndexError, ZeroDivisionError)


def check_call(site, value, tmp_path, expected=OK_EXCEPTIONS, message=None):
    """Calls `site` on a fresh network: a raising call must leave it as it was, and whatever
    happened, it still answers with its callables attached. `expected=()` must not raise."""
    net = make_network()
    before = state(net, tmp_path)
    try:
        eval(site, globals(), {"n": net, "v": value})
    except expected as e:
        assert str(e), f"{type(e).__name__} without a message"
        assert message is None or str(e).startswith(message), str(e)
        assert state(net, tmp_path) == before, "a failed call changed the network"
    else:
        assert expected in (OK_EXCEPTIONS, ()), "did not raise"
    net.tick()
    found = net.discover("translate legal contracts")
    assert [r.invoke for r in found if r.agent_name == "translator"] == [print]


# None fails or means "absent" at every converter; Exploding fails inside the host's own
# conversion code; a lone surrogate fails when its text is encoded.
@pytest.mark.parametrize("value", [None, Exploding(), "\ud800"],
                         ids=["none", "exploding", "surrogate"])
@pytest.mark.parametrize("site", SITES)
def test_every_site_refuses_or_accepts_cleanly(site, value, tmp_path):
    if site in ("n.save(v)", "LocalNetwork.load(v)") and value is None:
        value = str(tmp_path / "missing-dir" / "s.json")
    check_call(site, value, tmp_path)


BIG = 10 * 1024 * 1024
CASES = [  # (site, value, exception or None when accepted, start of its message)
    ("n.register(v, ['cap'])", b"a", TypeError, "argument 'name': "),
    ("n.register(v, ['cap'])", "\ud800", UnicodeEncodeError, None),
    ("n.register(v, ['cap'])", "", ValueError, "Configuration error: Agent name cannot be empty"),
    ("n.register(v, ['cap'])", "\u00e9" * 129, ValueError,
     "Configuration error: Agent name exceeds"),
    ("n.register('new', v)", "abc", TypeError,
     "argument 'capabilities': Can't extract `str` to `Vec`"),
    ("n.register('new', v)", ["x", 2], TypeError, "argument 'capabilities': "),
    ("n.register('new', v)", [], ValueError,
     "Configuration error: Capabilities list cannot be empty"),
    ("n.register('new', ['cap'], endpoint=v)", 3, TypeError, "argument 'endpoint': "),
    *[("n.register('new', ['cap'], metadata=v)", bad, TypeError, "argument 'metadata': ")
      for bad in ({"k": 1}, {1: "v"}, [("k", "v")])],
    ("n.record_success(v)", b"a", TypeError, "argument 'agent_name': "),
    ("n.discover('translate', explain=v)", 1, TypeError, "argument 'explain': "),
    ("n.discover('translate', with_confidence=v)", "yes", TypeError,
     "argument 'with_confidence': "),
    ("n.discover_many(['translate'], explain=v)", 0, TypeError, "argument 'explain': "),
    ("n.discover_many(v)", [None], TypeError, "argument 'queries': "),
    *[("n.enable_replay(v)", bad, error, "argument 'max_events': ")
      for bad, error in ((-1, OverflowError), (2**64, OverflowError), (1.5, TypeError),
                         (0, ValueError))],
    ("n.detect_drift(threshold=v)", "x", TypeError, "argument 'threshold': "),
    ("n.detect_drift(min_samples=v)", 10**400, OverflowError, None),
    ("n.save(v)", "a\x00b", OSError, None), ("LocalNetwork.load(v)", "", OSError, None),
    ("LocalNetwork(config=v)", 1, TypeError, "argument 'config': "),
    ("LocalNetwork(similarity_threshold=v)", "x", TypeError, "argument 'similarity_threshold': "),
    ("Query.weighted({'a': v})", Exploding(), ZeroDivisionError, None),
    ("DiscoveryConfig(max_feedback_records=v)", -1, OverflowError, None),
    ("CircuitBreakerConfig.with_threshold_and_timeout(v, 1)", 256, OverflowError,
     "argument 'failure_threshold': "),
    ("CircuitBreakerConfig.with_threshold_and_timeout(1, v)", -1, OverflowError,
     "argument 'recovery_timeout_secs': "),
    ("RESPONSE[0][v]", -(2**63) - 1, OverflowError, None),
    # Values that look bad but are accepted.
    ("n.register('new', v)", ["translate legal"] * 100_000, None, None),
    ("n.discover(v)", "", None, None), ("n.discover(v)", "legal " * (BIG // 6), None, None),
    ("n.discover(v)", Query.all("a"), None, None), ("RESPONSE[0][v]", -1, None, None),
    ("n.discover('translate', filters={'version': {'$lt': v}})", math.nan, None, None),
    ("n.discover_many(v)", ["translate legal"] * 100_000, None, None),
    ("n.detect_drift(threshold=v)", math.nan, None, None),
    ("Query.weighted({'a': v})", math.nan, None, None),
    ("FilterValue.less_than(v)", math.inf, None, None),
    ("DiscoveryConfig(similarity_threshold=v)", math.nan, None, None),
    ("DiscoveryConfig(diameter_min=v)", math.nan, None, None),  # NaN passes every rule
    ("MycorrhizalPropagator.with_config(v, 0.3)", math.inf, None, None),
    ("capabilities_from_a2a_rust(v)", None, None, None),
    ("capabilities_from_a2a_rust({'name': v, 'skills': [{'tags': v}, v]})", "\ud800", None, None),
]


@pytest.mark.parametrize("site,value,error,message", CASES,
                         ids=[f"{s}={v!r:.20}" for s, v, _, _ in CASES])
def test_values_raise_what_they_should(site, value, error, message, tmp_path):
    check_call(site, value, tmp_path, error or (), message)


def test_argument_parsing_messages():
    net = LocalNetwork()
    for call, message in [
        (lambda: net.register(),
         "missing 2 required positional arguments: 'name' and 'capabilities'"),
        (lambda: net.register("a", ["x"], "e"), "takes 2 positional arguments but 3 were given"),
        (lambda: net.register("a", ["x"], name="b"), "got multiple values for argument 'name'"),
        (lambda: net.register("a", ["x"], bogus=1), "got an unexpected keyword argument 'bogus'"),
        (lambda: net.register("a", ["x"], **{"\ud800": 1}), "unexpected keyword argument"),
        (lambda: net.record_success("a", "q"), "takes 1 positional argument but 2 were given"),
        (lambda: net.detect_drift(0.3), "takes 0 positional arguments but 1 was given"),
        (lambda: TfIdfScorer(x=1), "got an unexpected keyword argument 'x'"),
        (lambda: net.discover("q", None), "LocalNetwork.discover() takes 1 positional"),
        (lambda: DiscoveryConfig(*range(13)), "takes from 0 to 12 positional arguments but 13"),
        (lambda: MycorrhizalPropagator.with_config(0.1), "missing 1 required positional argument"),
    ]:
        with pytest.raises(TypeError, match=re.escape(message)):
            call()
    net.register(name="a", capabilities=["x"])  # keyword forms of positional parameters
    assert net.deregister(name="a") is True


def raising(error, method, base=object):
    def fail(*_):
        raise error
    return type("Raising", (base,), {method: fail})


def test_errors_raised_while_converting_keep_their_identity():
    with pytest.raises(SystemExit) as exited:
        LocalNetwork(similarity_threshold=raising(SystemExit(3), "__float__")())
    assert exited.value.code == 3
    with pytest.raises(FileNotFoundError) as missing:
        LocalNetwork().save(raising(FileNotFoundError(2, "gone", "/mnt/gone"), "__fspath__")())
    assert (missing.value.errno, missing.value.filename) == (2, "/mnt/gone")
    with pytest.raises(ZeroDivisionError):
        HybridScorer([raising(ZeroDivisionError(), "__len__", list)([TfIdfScorer(), 1.0])])
    for error in (KeyError("k"), ValueError("a", "b"), ValueError(), TypeError(42)):
        with pytest.raises(type(error)) as raised:
            LocalNetwork(query_memory=raising(error, "__index__")())
        assert raised.value.args == error.args
    assert raised.value.__notes__ == ["argument 'query_memory'"]


def test_subclasses_of_builtin_containers_and_numpy_bools_are_accepted():
    S, L, T, D = (type(base.__name__.upper(), (base,), {}) for base in (str, list, tuple, dict))
    net = LocalNetwork()
    net.register(S("a"), L([S("cap one")]), endpoint=S("e"), metadata=D({S("k"): S("v")}))
    net.register("b", T(("cap two", "cap three")))
    net.record_success(S("a"), query=S("cap one"))
    assert net.agents() == ["a", "b"]
    assert "a" in {r.agent_name for r in net.discover(S("cap one"), filters=D(k=S("v")))}
    np = pytest.importorskip("numpy")
    assert {type(r).__name__ for r in net.discover("cap one", explain=np.bool_(True))} == {
        "ExplainedResult"}
    with pytest.raises(TypeError):
        net.discover("translate text", explain=np.int64(1))


def test_fuzz_corpus_replays_cleanly():
    """Seeds and every input that once failed, through the Python-surface fuzz harness, when
    atheris is installed (`make fuzz` installs it)."""
    pytest.importorskip("atheris")
    spec = importlib.util.spec_from_file_location("fuzz_python_api",
                                                  REPO / "fuzz" / "fuzz_python_api.py")
    spec.loader.exec_module(harness := importlib.util.module_from_spec(spec))
    for path in sorted((REPO / "fuzz" / "corpus" / "fuzz_python_api").iterdir()):
        harness.test_one_input(path.read_bytes())
