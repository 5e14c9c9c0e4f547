"""The package and its native module: attributes, class flags, and a signature and docstring on
everything public; the value objects (Query, FilterValue, DiscoveryConfig and the small ones):
factories, copies, representations, rules and argument errors. (Argument rules in general:
test_arguments.py.)"""

import math
import pathlib
import re
import textwrap

import pytest

import kova_discovery
import kova_discovery._native as native
from conftest import exact
from kova_discovery._native import (
    CircuitBreakerConfig, DiscoveryConfig, FilterValue, MycorrhizalPropagator, Query, TfIdfScorer)

CLASSES = [
    "LocalNetwork", "DiscoveryResult", "ExplainedResult", "DiscoveryResponse", "Query",
    "TfIdfScorer", "MycorrhizalPropagator", "CircuitBreakerConfig", "DiscoveryConfig",
    "FilterValue", "Bm25Scorer", "HybridScorer",
]
NO_CONSTRUCTOR = ["DiscoveryResult", "ExplainedResult", "DiscoveryResponse", "Query", "FilterValue"]


def test_module_and_package_attributes():
    own = [name for name in vars(native) if not name.startswith("__")]
    assert own == CLASSES + ["capabilities_from_a2a_rust"]
    assert native.__name__ == "kova_discovery._native"
    assert all(getattr(kova_discovery, name) is getattr(native, name) for name in own)
    namespace = {}
    exec("from kova_discovery import *", namespace)
    assert set(own) | {"capabilities_from_a2a"} <= set(kova_discovery.__all__) <= namespace.keys()
    assert re.match(r"^\d+(\.\d+)*([.+-].*)?$", kova_discovery.__version__)
    assert (pathlib.Path(kova_discovery.__file__).parent / "py.typed").exists()


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape_signatures_and_docstrings(name):
    cls = getattr(native, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__bases__) == (
        "builtins", name, name, (object,))
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type
    if name in NO_CONSTRUCTOR:
        with pytest.raises(TypeError, match=exact(f"cannot create 'builtins.{name}' instances")):
            cls()
    else:
        with pytest.raises(AttributeError):
            cls(*([[(native.Bm25Scorer(), 1)]] if name == "HybridScorer" else [])).anything = 1
    # The two factory methods have always had no docstring of their own.
    bare = {"CircuitBreakerConfig.with_threshold_and_timeout", "MycorrhizalPropagator.with_config"}
    members = [(f"{name}.{m}", getattr(cls, m)) for m in vars(cls) if not m.startswith("_")]
    for label, member in [(name, cls), *members]:
        if callable(member):
            assert label in bare or (member.__doc__ or "").strip(), label
            assert label in NO_CONSTRUCTOR or (member.__text_signature__ or "").startswith("(")
    assert native.CircuitBreakerConfig.with_threshold_and_timeout.__doc__ is None
    fn = native.capabilities_from_a2a_rust
    assert fn.__doc__ and fn.__text_signature__.startswith("(")


def test_the_class_docstring_example_runs(capsys):
    example = native.LocalNetwork.__doc__.split("Example:\n")[1]
    exec(textwrap.dedent(example), {"LocalNetwork": native.LocalNetwork})
    assert capsys.readouterr().out == "translator http://localhost:8080/translate\n"


DEFAULTS = {
    "similarity_threshold": 0.1, "feedback_relevance_threshold": 0.3, "tie_epsilon": 1e-4,
    "tau_floor": 0.001, "max_feedback_records": 100, "diameter_initial": 0.5,
    "diameter_min": 0.01, "diameter_max": 2.0, "epsilon_initial": 0.8, "epsilon_floor": 0.05,
    "epsilon_decay_rate": 0.99, "max_disagreement_split": 3,
}


def test_discovery_config_values_land_in_order_with_their_types_and_rules_apply():
    config = DiscoveryConfig()
    assert {n: getattr(config, n) for n in DEFAULTS} == DEFAULTS
    assert [type(getattr(config, n)) for n in DEFAULTS] == [type(v) for v in DEFAULTS.values()]
    values = [0.2, 0.4, 0.001, 0.01, 7, 0.6, 0.05, 1.5, 0.9, 0.1, 0.95, 9]
    assert [getattr(DiscoveryConfig(*values), n) for n in DEFAULTS] == values
    config = DiscoveryConfig(max_disagreement_split=0, tau_floor=5)
    assert config.max_disagreement_split == 0 and type(config.tau_floor) is float
    assert repr(DiscoveryConfig(similarity_threshold=5.0, tau_floor=1e-7)) == (
        "DiscoveryConfig(similarity_threshold=5, feedback_relevance_threshold=0.3, "
        "tau_floor=0.0000001, diameter_initial=0.5)")
    assert math.isnan(DiscoveryConfig(tie_epsilon=float("nan")).tie_epsilon)  # no rule for NaN
    # Several rules broken: the first in rule order is reported.
    with pytest.raises(ValueError, match="^" + re.escape(
            "Invalid configuration: Configuration error: epsilon_floor must be > 0") + "$"):
        DiscoveryConfig(tau_floor=0, epsilon_floor=0)


def test_small_value_objects():
    build = CircuitBreakerConfig.with_threshold_and_timeout
    assert [repr(o) for o in (TfIdfScorer(), CircuitBreakerConfig(),
                              build(failure_threshold=255, recovery_timeout_secs=2**64 - 1),
                              MycorrhizalPropagator(), MycorrhizalPropagator.with_config(-1.0, 2.0))
            ] == ["TfIdfScorer()", "CircuitBreakerConfig(threshold=5, timeout=60s)",
                  "CircuitBreakerConfig(threshold=255, timeout=18446744073709551615s)",
                  "MycorrhizalPropagator(attenuation=0.3, threshold=0.3)",
                  "MycorrhizalPropagator(attenuation=-1, threshold=2)"]


REPRS = [
    (Query.all(), "Query(All([]))"),
    (Query.any(Query.all("a", "b"), "c"), 'Query(Any([All([Text("a"), Text("b")]), Text("c")]))'),
    # Chained exclusions nest the earlier one in the base; static methods work on instances.
    (Query.all("q").exclude("a").exclude(Query.any("b").any("b")),
     'Query(Exclude { base: Exclude { base: All([Text("q")]), exclusion: Text("a") }, '
     'exclusion: Any([Text("b")]) })'),
    (Query.all('say "hi"\n', "caf\u00e9 \u2603"),
     'Query(All([Text("say \\"hi\\"\\n"), Text("caf\u00e9 \u2603")]))'),
    (Query.weighted(mapping=type("Ordered", (dict,), {})(zeta=1, alpha=math.nan)),
     'Query(Weighted([(Text("zeta"), 1.0), (Text("alpha"), NaN)]))'),
    (FilterValue.exact(value="it's"), "FilterValue.Exact('it's')"),
    (FilterValue.contains(substring='a"b\\'), "FilterValue.Contains('a\"b\\')"),
    (FilterValue.one_of(options=('q"', "t\t")), 'FilterValue.OneOf(["q\\"", "t\\t"])'),
    (FilterValue.less_than(threshold=1e-7), "FilterValue.LessThan(0.0000001)"),
    (FilterValue.greater_than(threshold=-math.inf), "FilterValue.GreaterThan(-inf)"),
]


def test_representations():
    assert [repr(value) for value, _ in REPRS] == [text for _, text in REPRS]


def test_arguments_are_copied_and_survive_host_code_that_mutates_them():
    inner = Query.any("x", "y")
    outer = Query.all(inner, "z")
    assert inner.exclude("w") is not inner
    Query.all(inner.exclude("v"))  # the copy is deep: nothing reaches into `outer`
    assert repr(inner) == 'Query(Any([Text("x"), Text("y")]))'
    assert repr(outer) == 'Query(All([Any([Text("x"), Text("y")]), Text("z")]))'
    mapping = {}

    class Weight:
        def __float__(self):
            mapping.clear()
            mapping.update({f"k{i}": 1.0 for i in range(50)})
            return 3.0

    mapping.update(first=Weight(), second=1.0)
    q = Query.weighted(mapping)
    assert repr(q) == 'Query(Weighted([(Text("first"), 3.0), (Text("second"), 1.0)]))'


QUERY_ARGUMENT = "Query argument must be a str or Query object"


@pytest.mark.parametrize("call,prefix", [
    (lambda: Query.any("a", 3), QUERY_ARGUMENT),
    (lambda: Query.all("a").exclude(FilterValue.exact("x")), QUERY_ARGUMENT),
    (lambda: FilterValue.one_of("ab"), "argument 'options': Can't extract `str` to `Vec`"),
    (lambda: FilterValue.one_of(["a", 1]), "argument 'options': "),
    (lambda: FilterValue.exact(5), "argument 'value': "),
    (lambda: FilterValue.contains(None), "argument 'substring': "),
    (lambda: FilterValue.less_than("ten"), "argument 'threshold': "),
    (lambda: Query.weighted([("a", 1.0)]), "argument 'mapping': "),
    (lambda: Query.weighted({1: 1.0}), "argument 'mapping': "),
    (lambda: Query.all(queries="a"), ""),
])
def test_factory_argument_errors(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(prefix)
    assert prefix != QUERY_ARGUMENT or str(info.value) == prefix
