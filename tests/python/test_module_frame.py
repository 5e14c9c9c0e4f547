"""Shape of the native module: its attributes, class flags, signatures and argument rules."""

import re

import pytest

import kova_discovery._native as native

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
]
NO_CONSTRUCTOR = ["DiscoveryResult", "ExplainedResult", "DiscoveryResponse", "Query", "FilterValue"]


def exact(msg):
    return "^" + re.escape(msg) + "$"


def test_module_attributes_are_exactly_the_classes_then_the_card_function():
    own = [name for name in vars(native) if not name.startswith("__")]
    assert own == CLASSES + ["capabilities_from_a2a_rust"]
    assert native.__doc__ == "KOVA Discovery \u2014 local agent discovery via bio-inspired routing."
    assert native.__name__ == "kova_discovery._native"


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(native, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert repr(cls) == f"<class 'builtins.{name}'>"
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor(name):
    with pytest.raises(TypeError, match=exact(f"cannot create 'builtins.{name}' instances")):
        getattr(native, name)()


def test_instances_have_no_dict_and_read_only_attributes():
    for obj in (
        native.LocalNetwork(),
        native.DiscoveryConfig(),
        native.TfIdfScorer(),
        native.CircuitBreakerConfig(),
        native.MycorrhizalPropagator(),
    ):
        with pytest.raises(AttributeError):
            obj.anything = 1
        assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        native.DiscoveryConfig().similarity_threshold = 0.5
    with pytest.raises(AttributeError):
        native.LocalNetwork().agent_count = 3
    assert repr(native.LocalNetwork()).startswith("<builtins.LocalNetwork object at 0x")


SIGNATURES = {
    (native.LocalNetwork, None): "(*, similarity_threshold=None, scorer=None, config=None)",
    (native.LocalNetwork, "register"): (
        "($self, name, capabilities, *, endpoint=None, metadata=None, invoke=None)"
    ),
    (native.LocalNetwork, "deregister"): "($self, name)",
    (native.LocalNetwork, "record_success"): "($self, agent_name, *, query=None)",
    (native.LocalNetwork, "record_failure"): "($self, agent_name, *, query=None)",
    (native.LocalNetwork, "tick"): "($self)",
    (native.LocalNetwork, "agents"): "($self)",
    (native.LocalNetwork, "enable_replay"): "($self, max_events=10000)",
    (native.LocalNetwork, "replay_events"): "($self)",
    (native.LocalNetwork, "replay_clear"): "($self)",
    (native.LocalNetwork, "detect_drift"): "($self, *, threshold=0.3, min_samples=5)",
    (native.LocalNetwork, "save"): "($self, path)",
    (native.LocalNetwork, "load"): "(path)",
    (native.TfIdfScorer, None): "()",
    (native.CircuitBreakerConfig, None): "()",
    (native.CircuitBreakerConfig, "with_threshold_and_timeout"): (
        "(failure_threshold, recovery_timeout_secs)"
    ),
    (native.MycorrhizalPropagator, None): "()",
    (native.MycorrhizalPropagator, "with_config"): (
        "(propagation_attenuation, propagation_threshold)"
    ),
    (native.DiscoveryConfig, None): (
        "(similarity_threshold=0.1, feedback_relevance_threshold=0.3, tie_epsilon=1e-4, "
        "tau_floor=0.001, max_feedback_records=100, diameter_initial=0.5, diameter_min=0.01, "
        "diameter_max=2.0, epsilon_initial=0.8, epsilon_floor=0.05, epsilon_decay_rate=0.99, "
        "max_disagreement_split=3)"
    ),
}


@pytest.mark.parametrize("owner,member", list(SIGNATURES), ids=lambda x: getattr(x, "__name__", x))
def test_text_signatures(owner, member):
    obj = owner if member is None else getattr(owner, member)
    assert obj.__text_signature__ == SIGNATURES[(owner, member)]


def test_card_function_signature_and_docstrings():
    assert native.capabilities_from_a2a_rust.__text_signature__ == "(agent_card)"
    assert native.LocalNetwork.__doc__.startswith("Local agent discovery network.\n")
    assert "Example:" in native.LocalNetwork.__doc__
    assert native.LocalNetwork.deregister.__doc__ == (
        "Remove an agent from the network.\n\nReturns True if the agent was found and removed."
    )
    assert native.LocalNetwork.agent_count.__doc__ == "Number of registered agents."
    assert native.LocalNetwork.exploration_epsilon.__doc__.startswith(
        "Current exploration epsilon value.\n\nStarts high (default 0.8)"
    )
    assert native.CircuitBreakerConfig.with_threshold_and_timeout.__doc__ is None


class TestArgumentParsing:
    def test_standard_argument_errors(self):
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
        ]
        for call, message in cases:
            with pytest.raises(TypeError, match=re.escape(message)):
                call()
        # Keyword forms of positional-or-keyword parameters work.
        net.register(name="a", capabilities=["x"])
        assert net.deregister(name="a") is True

    def test_conversion_errors_carry_the_argument_prefix(self):
        net = native.LocalNetwork()
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
        ]
        for call, exc, prefix in cases:
            with pytest.raises(exc) as info:
                call()
            assert str(info.value).startswith(prefix), str(info.value)
        assert net.agent_count == 0

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

    def test_flags_take_bools_only(self):
        net = native.LocalNetwork()
        net.register("a", ["translate text"])
        with pytest.raises(TypeError, match="^argument 'explain': "):
            net.discover("translate", explain=1)
        net.discover("translate", explain=True)

    def test_numpy_bool_is_a_flag(self):
        np = pytest.importorskip("numpy")
        net = native.LocalNetwork()
        net.register("a", ["translate text"])
        assert len(net.discover("translate text", explain=np.bool_(True))) == 1
        with pytest.raises(TypeError):
            net.discover("translate text", explain=np.int64(1))
