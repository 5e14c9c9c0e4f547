"""Arguments from Python: parsing, conversion, and what a bad value does. A bad value is refused
with an ordinary exception that names the argument, nothing crashes, and a call that raises
leaves the network exactly as it was."""

import json
import math
import os
import re

import pytest

from kova_discovery._native import (
    CircuitBreakerConfig,
    DiscoveryConfig,
    FilterValue,
    LocalNetwork,
    MycorrhizalPropagator,
    Query,
    TfIdfScorer,
    capabilities_from_a2a_rust,
)


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


FILTERED = lambda n, f: n.discover("translate", filters=f)  # noqa: E731
# Every way a value reaches the module: `v` on network `n`.
SITES = {
    "LocalNetwork(similarity_threshold)": lambda n, v: LocalNetwork(similarity_threshold=v),
    "LocalNetwork(config)": lambda n, v: LocalNetwork(config=v),
    "LocalNetwork(scorer)": lambda n, v: LocalNetwork(scorer=v),
    "register(name)": lambda n, v: n.register(v, ["cap"]),
    "register(capabilities)": lambda n, v: n.register("new", v),
    "register(endpoint)": lambda n, v: n.register("new", ["cap"], endpoint=v),
    "register(metadata)": lambda n, v: n.register("new", ["cap"], metadata=v),
    "deregister(name)": lambda n, v: n.deregister(v),
    "discover(query)": lambda n, v: n.discover(v),
    "discover(filters)": lambda n, v: FILTERED(n, v),
    "discover(filter value)": lambda n, v: FILTERED(n, {"protocol": v}),
    "discover($in)": lambda n, v: FILTERED(n, {"protocol": {"$in": v}}),
    "discover($lt)": lambda n, v: FILTERED(n, {"version": {"$lt": v}}),
    "discover($gt)": lambda n, v: FILTERED(n, {"version": {"$gt": v}}),
    "discover($contains)": lambda n, v: FILTERED(n, {"protocol": {"$contains": v}}),
    "discover(explain)": lambda n, v: n.discover("translate", explain=v),
    "discover(with_confidence)": lambda n, v: n.discover("translate", with_confidence=v),
    "discover_many(queries)": lambda n, v: n.discover_many(v),
    "discover_many(filters)": lambda n, v: n.discover_many(["translate"], filters=v),
    "discover_many(explain)": lambda n, v: n.discover_many(["translate"], explain=v),
    "record_success(agent_name)": lambda n, v: n.record_success(v),
    "record_success(query)": lambda n, v: n.record_success("translator", query=v),
    "record_failure(agent_name)": lambda n, v: n.record_failure(v),
    "record_failure(query)": lambda n, v: n.record_failure("poet", query=v),
    "enable_replay(max_events)": lambda n, v: n.enable_replay(v),
    "detect_drift(threshold)": lambda n, v: n.detect_drift(threshold=v),
    "detect_drift(min_samples)": lambda n, v: n.detect_drift(min_samples=v),
    "save(path)": lambda n, v: n.save(v),
    "load(path)": lambda n, v: LocalNetwork.load(v),
    "Query.all": lambda n, v: Query.all("a", v),
    "Query.weighted(mapping)": lambda n, v: Query.weighted(v),
    "Query.weighted(weight)": lambda n, v: Query.weighted({"a": v}),
    "Query.exclude": lambda n, v: Query.all("a").exclude(v),
    "FilterValue.exact": lambda n, v: FilterValue.exact(v),
    "FilterValue.one_of": lambda n, v: FilterValue.one_of(v),
    "FilterValue.less_than": lambda n, v: FilterValue.less_than(v),
    **{f"DiscoveryConfig({p})": (lambda n, v, p=p: DiscoveryConfig(**{p: v}))
       for p in ("similarity_threshold", "max_feedback_records", "diameter_min")},
    "CircuitBreakerConfig(threshold)":
        lambda n, v: CircuitBreakerConfig.with_threshold_and_timeout(v, 1),
    "CircuitBreakerConfig(timeout)":
        lambda n, v: CircuitBreakerConfig.with_threshold_and_timeout(1, v),
    "MycorrhizalPropagator(attenuation)": lambda n, v: MycorrhizalPropagator.with_config(v, 0.3),
    "capabilities_from_a2a_rust": lambda n, v: capabilities_from_a2a_rust(v),
    "capabilities_from_a2a_rust(name)":
        lambda n, v: capabilities_from_a2a_rust({"name": v, "skills": [{"tags": v}, v]}),
    "DiscoveryResponse[idx]": lambda n, v: RESPONSE[0][v],
}
OK_EXCEPTIONS = (TypeError, ValueError, OverflowError, OSError, IndexError, ZeroDivisionError)


def check_call(call, tmp_path, expected=OK_EXCEPTIONS, message=None):
    """Calls `call` on a fresh network: a raising call must leave it as it was, and whatever
    happened, it still answers with its callables attached."""
    net = make_network()
    before = state(net, tmp_path)
    try:
        call(net)
    except expected as e:
        assert str(e), f"{type(e).__name__} without a message"
        if message is not None:
            assert str(e).startswith(message), str(e)
        assert state(net, tmp_path) == before, "a failed call changed the network"
    else:
        assert expected is OK_EXCEPTIONS, "did not raise"
    net.tick()
    found = net.discover("translate legal contracts")
    assert [r.invoke for r in found if r.agent_name == "translator"] == [print]


# None fails or means "absent" at every converter; Exploding fails inside the host's own
# conversion code; a lone surrogate fails when its text is encoded.
@pytest.mark.parametrize("value", [None, Exploding(), "\ud800"],
                         ids=["none", "exploding", "surrogate"])
@pytest.mark.parametrize("site", SITES)
def test_every_site_refuses_or_accepts_cleanly(site, value, tmp_path):
    if site in ("save(path)", "load(path)") and value is None:
        value = str(tmp_path / "missing-dir" / "s.json")
    check_call(lambda n: SITES[site](n, value), tmp_path)


BIG = 10 * 1024 * 1024
REFUSED = [
    # (site, value, exception, start of its message)
    ("register(name)", b"a", TypeError, "argument 'name': "),
    ("register(name)", "\ud800", UnicodeEncodeError, None),
    ("register(name)", "", ValueError, "Configuration error: Agent name cannot be empty"),
    ("register(name)", "\u00e9" * 129, ValueError, "Configuration error: Agent name exceeds"),
    ("register(capabilities)", "abc", TypeError,
     "argument 'capabilities': Can't extract `str` to `Vec`"),
    ("register(capabilities)", ["x", 2], TypeError, "argument 'capabilities': "),
    ("register(capabilities)", [], ValueError,
     "Configuration error: Capabilities list cannot be empty"),
    ("register(endpoint)", 3, TypeError, "argument 'endpoint': "),
    ("register(metadata)", {"k": 1}, TypeError, "argument 'metadata': "),
    ("register(metadata)", {1: "v"}, TypeError, "argument 'metadata': "),
    ("register(metadata)", [("k", "v")], TypeError, "argument 'metadata': "),
    ("record_success(agent_name)", b"a", TypeError, "argument 'agent_name': "),
    ("discover(explain)", 1, TypeError, "argument 'explain': "),
    ("discover(with_confidence)", "yes", TypeError, "argument 'with_confidence': "),
    ("discover_many(explain)", 0, TypeError, "argument 'explain': "),
    ("discover_many(queries)", [None], TypeError, "argument 'queries': "),
    ("enable_replay(max_events)", -1, OverflowError, "argument 'max_events': "),
    ("enable_replay(max_events)", 2**64, OverflowError, "argument 'max_events': "),
    ("enable_replay(max_events)", 1.5, TypeError, "argument 'max_events': "),
    ("enable_replay(max_events)", 0, ValueError, "argument 'max_events': "),
    ("detect_drift(threshold)", "x", TypeError, "argument 'threshold': "),
    ("detect_drift(min_samples)", 10**400, OverflowError, None),
    ("save(path)", "a\x00b", OSError, None), ("load(path)", "", OSError, None),
    ("LocalNetwork(config)", 1, TypeError, "argument 'config': "),
    ("LocalNetwork(similarity_threshold)", "x", TypeError, "argument 'similarity_threshold': "),
    ("Query.weighted(weight)", Exploding(), ZeroDivisionError, None),
    ("DiscoveryConfig(max_feedback_records)", -1, OverflowError, None),
    ("CircuitBreakerConfig(threshold)", 2**64, OverflowError, None),
    ("CircuitBreakerConfig(timeout)", -(2**63) - 1, OverflowError, None),
    ("DiscoveryResponse[idx]", -(2**63) - 1, OverflowError, None),
]


@pytest.mark.parametrize("site,value,error,message", REFUSED,
                         ids=[f"{s}={v!r:.20}" for s, v, _, _ in REFUSED])
def test_refused_values_raise_what_they_should(site, value, error, message, tmp_path):
    check_call(lambda n: SITES[site](n, value), tmp_path, error, message)


ACCEPTED = [
    ("register(capabilities)", ["translate legal"] * 100_000), ("discover(query)", ""),
    ("discover(query)", "legal " * (BIG // 6)), ("discover(query)", Query.all("a")),
    ("discover($lt)", math.nan), ("discover_many(queries)", ["translate legal"] * 100_000),
    ("detect_drift(threshold)", math.nan), ("Query.weighted(weight)", math.nan),
    ("FilterValue.less_than", math.inf), ("DiscoveryConfig(similarity_threshold)", math.nan),
    ("DiscoveryConfig(diameter_min)", math.nan),  # NaN passes every rule
    ("MycorrhizalPropagator(attenuation)", math.inf), ("capabilities_from_a2a_rust", None),
    ("capabilities_from_a2a_rust(name)", "\ud800"), ("DiscoveryResponse[idx]", -1),
]


@pytest.mark.parametrize("site,value", ACCEPTED, ids=[s for s, _ in ACCEPTED])
def test_values_that_look_bad_but_are_accepted(site, value):
    SITES[site](make_network(), value)


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
        (lambda: DiscoveryConfig(*range(1, 14)),
         "takes from 0 to 12 positional arguments but 13"),
    ]:
        with pytest.raises(TypeError, match=re.escape(message)):
            call()
    net.register(name="a", capabilities=["x"])  # keyword forms of positional parameters
    assert net.deregister(name="a") is True


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
