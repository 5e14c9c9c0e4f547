"""Shape of the package and its native module: attributes, class flags, signatures, docstrings
and the argument rules every method shares."""

import pathlib
import re

import pytest

import kova_discovery
import kova_discovery._native as native
from conftest import exact

CLASSES = [
    "LocalNetwork",
    "DiscoveryResult",
    "ExplainedResult",
    "DiscoveryResponse",
    "Query",
    "TfIdfScorer",
    "MycorrhizalPropagator",
    "CircuitBreakerConfig",
    "DiscoveryConfig",
    "FilterValue",
    "Bm25Scorer",
]
NO_CONSTRUCTOR = ["DiscoveryResult", "ExplainedResult", "DiscoveryResponse", "Query", "FilterValue"]


def test_module_and_package_attributes():
    own = [name for name in vars(native) if not name.startswith("__")]
    assert own == CLASSES + ["HybridScorer", "capabilities_from_a2a_rust"]
    assert native.__doc__ == "KOVA Discovery \u2014 local agent discovery via bio-inspired routing."
    assert native.__name__ == "kova_discovery._native"
    for name in own:
        assert getattr(kova_discovery, name) is getattr(native, name)
    assert set(own) | {"capabilities_from_a2a"} <= set(kova_discovery.__all__)
    assert all(hasattr(kova_discovery, name) for name in kova_discovery.__all__)
    namespace = {}
    exec("from kova_discovery import *", namespace)
    assert set(kova_discovery.__all__) <= namespace.keys()
    assert re.match(r"^\d+(\.\d+)*([.+-].*)?$", kova_discovery.__version__)
    root = pathlib.Path(kova_discovery.__file__).parent
    assert (root / "py.typed").exists()
    stub = (root / "_native.pyi").read_text(encoding="utf-8")
    assert all(f"class {name}:" in stub for name in CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(native, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert repr(cls) == f"<class 'builtins.{name}'>"
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type
    if name in NO_CONSTRUCTOR:
        with pytest.raises(TypeError, match=exact(f"cannot create 'builtins.{name}' instances")):
            cls()
    else:
        obj = cls()
        with pytest.raises(AttributeError):
            obj.anything = 1
        assert not hasattr(obj, "__dict__")


def test_properties_are_read_only():
    with pytest.raises(AttributeError):
        native.DiscoveryConfig().similarity_threshold = 0.5
    with pytest.raises(AttributeError):
        native.LocalNetwork().agent_count = 3
    assert repr(native.LocalNetwork()).startswith("<builtins.LocalNetwork object at 0x")


N, Q, F = native.LocalNetwork, native.Query, native.FilterValue
SIGNATURES = [
    (N, "(*, similarity_threshold=None, scorer=None, config=None, query_memory=0, "
        "query_expansion=None)"),
    (N.register, "($self, name, capabilities, *, endpoint=None, metadata=None, invoke=None)"),
    (N.deregister, "($self, name)"),
    (N.record_success, "($self, agent_name, *, query=None)"),
    (N.record_failure, "($self, agent_name, *, query=None)"),
    (N.tick, "($self)"),
    (N.agents, "($self)"),
    (N.enable_replay, "($self, max_events=10000)"),
    (N.replay_events, "($self)"),
    (N.replay_clear, "($self)"),
    (N.detect_drift, "($self, *, threshold=0.3, min_samples=5)"),
    (N.save, "($self, path, *, extra=None)"),
    (N.load, "(path, *, scorer=None)"),
    (N.remembered, "($self, name)"),
    (N.discover,
     "($self, query, *, filters=None, explain=False, with_confidence=False, limit=None)"),
    (N.discover_many, "($self, queries, *, filters=None, explain=False, limit=None)"),
    (native.TfIdfScorer, "()"),
    (native.CircuitBreakerConfig, "()"),
    (native.CircuitBreakerConfig.with_threshold_and_timeout,
     "(failure_threshold, recovery_timeout_secs)"),
    (native.MycorrhizalPropagator, "()"),
    (native.MycorrhizalPropagator.with_config, "(propagation_attenuation, propagation_threshold)"),
    (native.DiscoveryConfig,
     "(similarity_threshold=0.1, feedback_relevance_threshold=0.3, tie_epsilon=1e-4, "
     "tau_floor=0.001, max_feedback_records=100, diameter_initial=0.5, diameter_min=0.01, "
     "diameter_max=2.0, epsilon_initial=0.8, epsilon_floor=0.05, epsilon_decay_rate=0.99, "
     "max_disagreement_split=3)"),
    (Q.all, "(*queries)"),
    (Q.weighted, "(mapping)"),
    (Q.exclude, "($self, query)"),
    (F.one_of, "(options)"),
    (native.capabilities_from_a2a_rust, "(agent_card)"),
]


@pytest.mark.parametrize("obj,signature", SIGNATURES, ids=lambda x: getattr(x, "__name__", ""))
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_docstrings():
    starts = [
        (N, "Local agent discovery network.\n"),
        (N.exploration_epsilon, "Current exploration epsilon value.\n\nStarts high (default 0.8)"),
        (N.discover, "Discover agents matching a query string.\n\nReturns a ranked list"),
        (native.TfIdfScorer, "Built-in TF-IDF scorer for semantic matching."),
        (Q, "Composable query expression for agent discovery."),
        (native.DiscoveryResult, "A single discovery result.\n\nAttributes:\n"),
        (native.ExplainedResult, "Extended discovery result with full scoring breakdown."),
        (native.DiscoveryResponse, "Discovery response with confidence signal."),
        (native.DiscoveryResponse.best_below_threshold,
         "When results are empty, reports the highest similarity score that was filtered out.\n"
         "Format: (agent_name, similarity_score) or None"),
    ]
    for obj, start in starts:
        assert obj.__doc__.startswith(start), obj
    contains = [
        (N, "Example:"),
        (native.TfIdfScorer, "LocalNetwork(scorer=TfIdfScorer())"),
        (native.DiscoveryResult, "invoke: Callable if provided at registration, else None."),
        (native.ExplainedResult, "feedback_factor: Per-query feedback adjustment [-1.0, 1.0]."),
        (native.DiscoveryResponse, 'confidence: "unanimous", "majority", or "split".'),
        (N.discover_many, "Optional metadata filters (shared across all queries)."),
    ] + [(N.discover, form) for form in ('"$in"', '"$lt"', '"$gt"', '"$contains"',
                                         '{"protocol": "mcp"}')]
    for obj, text in contains:
        assert text in obj.__doc__, (obj, text)
    exactly = [
        (N.deregister,
         "Remove an agent from the network.\n\nReturns True if the agent was found and removed."),
        (N.agent_count, "Number of registered agents."),
        (native.DiscoveryResult.final_score,
         "Alias for `score` (matches ExplainedResult naming for consistency)."),
        (native.DiscoveryResult.raw_similarity,
         "Alias for `similarity` (matches ExplainedResult naming for consistency)."),
        (native.DiscoveryResponse.results, "Get the results as a list of DiscoveryResult objects."),
        (F, "Filter condition for metadata-based filtering."),
        (F.one_of, "Create a one-of filter (value must be in list)."),
        (native.CircuitBreakerConfig.with_threshold_and_timeout, None),
    ]
    for obj, doc in exactly:
        assert obj.__doc__ == doc, obj
    assert Q.__doc__.endswith("Pass a Query to ``network.discover()`` in place of a string.")


class TestArgumentParsing:
    def test_binding_errors(self):
        net = native.LocalNetwork()
        cases = [
            (lambda: net.register("a"), "missing 1 required positional argument: 'capabilities'"),
            (lambda: net.register(), "missing 2 required positional arguments: 'name' and 'capabilities'"),
            (lambda: net.register("a", ["x"], "e"), "takes 2 positional arguments but 3 were given"),
            (lambda: net.register("a", ["x"], name="b"), "got multiple values for argument 'name'"),
            (lambda: net.register("a", ["x"], bogus=1), "got an unexpected keyword argument 'bogus'"),
            (lambda: net.record_success("a", "q"), "takes 1 positional argument but 2 were given"),
            (lambda: net.detect_drift(0.3), "takes 0 positional arguments but 1 was given"),
            (lambda: native.LocalNetwork(0.5), "takes 0 positional arguments but 1 was given"),
            (lambda: native.TfIdfScorer(x=1), "got an unexpected keyword argument 'x'"),
            (lambda: native.capabilities_from_a2a_rust(), "missing 1 required positional argument"),
            (lambda: net.discover(), "missing 1 required positional argument"),
            (lambda: net.discover("q", None), "positional"),
            (lambda: net.discover("q", explained=True), "unexpected keyword argument 'explained'"),
            (lambda: net.discover("q", query="q"), "multiple values"),
            (lambda: net.discover_many(filters={}), "missing"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError, match=re.escape(message)):
                call()
        # Keyword forms of positional-or-keyword parameters work.
        net.register(name="a", capabilities=["x"])
        assert net.deregister(name="a") is True

    def test_conversion_errors_carry_the_argument_prefix(self):
        net = native.LocalNetwork()
        net.register("t", ["translate text"])
        cases = [
            (lambda: net.register(1, ["x"]), TypeError, "argument 'name': "),
            (lambda: net.register("a", "abc"), TypeError, "argument 'capabilities': Can't extract `str` to `Vec`"),
            (lambda: net.register("a", 5), TypeError, "argument 'capabilities': "),
            (lambda: net.register("a", ["x", 2]), TypeError, "argument 'capabilities': "),
            (lambda: net.register("a", ["x"], endpoint=3), TypeError, "argument 'endpoint': "),
            (lambda: net.register("a", ["x"], metadata={"k": 1}), TypeError, "argument 'metadata': "),
            (lambda: net.register("a", ["x"], metadata={1: "v"}), TypeError, "argument 'metadata': "),
            (lambda: net.register("a", ["x"], metadata=[("k", "v")]), TypeError, "argument 'metadata': "),
            (lambda: net.record_success(b"a"), TypeError, "argument 'agent_name': "),
            (lambda: net.enable_replay(-1), OverflowError, "argument 'max_events': "),
            (lambda: net.enable_replay(2**64), OverflowError, "argument 'max_events': "),
            (lambda: net.enable_replay(1.5), TypeError, "argument 'max_events': "),
            (lambda: net.detect_drift(threshold="x"), TypeError, "argument 'threshold': "),
            (lambda: net.detect_drift(threshold=None), TypeError, "argument 'threshold': "),
            (lambda: native.LocalNetwork(config=1), TypeError, "argument 'config': "),
            (lambda: native.LocalNetwork(similarity_threshold="x"), TypeError, "argument 'similarity_threshold': "),
            # Flags take bools only.
            (lambda: net.discover("t", explain=1), TypeError, "argument 'explain': "),
            (lambda: net.discover("t", with_confidence="yes"), TypeError, "argument 'with_confidence': "),
            (lambda: net.discover_many(["t"], explain=0), TypeError, "argument 'explain': "),
        ]
        for call, exc, prefix in cases:
            with pytest.raises(exc) as info:
                call()
            assert str(info.value).startswith(prefix), str(info.value)
        assert net.agents() == ["t"]
        assert len(net.discover("translate text", explain=True)) == 1

    def test_subclasses_of_builtin_containers_are_accepted(self):
        class S(str):
            pass

        class L(list):
            pass

        class T(tuple):
            pass

        class D(dict):
            pass

        net = native.LocalNetwork()
        net.register(S("a"), L([S("cap one")]), endpoint=S("e"), metadata=D({S("k"): S("v")}))
        net.register("b", T(("cap two", "cap three")))
        net.record_success(S("a"), query=S("cap one"))
        assert net.agents() == ["a", "b"]
        assert "a" in {r.agent_name for r in net.discover(S("cap one"))}

    def test_numpy_bool_is_a_flag(self):
        np = pytest.importorskip("numpy")
        net = native.LocalNetwork()
        net.register("a", ["translate text"])
        assert len(net.discover("translate text", explain=np.bool_(True))) == 1
        with pytest.raises(TypeError):
            net.discover("translate text", explain=np.int64(1))
