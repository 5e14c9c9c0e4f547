"""Query and FilterValue: factories, copies, representations and argument errors."""

import math

import pytest

from conftest import exact
from kova_discovery import FilterValue, Query


# ---- Query ----


def test_composition_renders_structurally():
    assert repr(Query.all()) == "Query(All([]))"
    assert repr(Query.any()) == "Query(Any([]))"
    assert repr(Query.all("a", "b")) == 'Query(All([Text("a"), Text("b")]))'
    assert repr(Query.all("a").exclude("b")) == (
        'Query(Exclude { base: All([Text("a")]), exclusion: Text("b") })'
    )
    nested = Query.any(Query.all("a", "b"), "c")
    assert repr(nested) == 'Query(Any([All([Text("a"), Text("b")]), Text("c")]))'
    # Chained exclusions nest the earlier one in the base; static methods work on instances.
    q = Query.all("q").exclude("a").exclude(Query.any("b").any("b"))
    assert repr(q) == (
        'Query(Exclude { base: Exclude { base: All([Text("q")]), exclusion: Text("a") }, '
        'exclusion: Any([Text("b")]) })'
    )


def test_arguments_are_copied_and_receivers_unchanged():
    inner = Query.any("x", "y")
    before = repr(inner)
    outer = Query.all(inner, "z")
    excluded = inner.exclude("w")
    assert excluded is not inner
    assert repr(inner) == before
    assert repr(outer) == 'Query(All([Any([Text("x"), Text("y")]), Text("z")]))'
    # The copy is deep: building more from `inner` does not reach into `outer`.
    Query.all(inner.exclude("v"))
    assert repr(outer) == 'Query(All([Any([Text("x"), Text("y")]), Text("z")]))'


def test_texts_are_quoted_with_escapes():
    q = Query.all('say "hi"', "back\\slash", "line\nbreak\ttab\r\0", "\x01\x1f", "caf\u00e9 \u2603")
    assert repr(q) == (
        'Query(All([Text("say \\"hi\\""), Text("back\\\\slash"), '
        'Text("line\\nbreak\\ttab\\r\\0"), Text("\\u{1}\\u{1f}"), Text("caf\u00e9 \u2603")]))'
    )


def test_weighted_keeps_insertion_order_and_debug_floats():
    q = Query.weighted({"zeta": 1, "alpha": 2.5, "mid": 1e-5, "big": 1.5e16, "tiny": -2e-7})
    assert repr(q) == (
        'Query(Weighted([(Text("zeta"), 1.0), (Text("alpha"), 2.5), (Text("mid"), 1e-5), '
        '(Text("big"), 1.5e16), (Text("tiny"), -2e-7)]))'
    )
    q = Query.weighted({"a": 0.0, "b": -1.0, "c": math.nan, "d": math.inf, "e": 1e-4})
    assert repr(q) == (
        'Query(Weighted([(Text("a"), 0.0), (Text("b"), -1.0), (Text("c"), NaN), '
        '(Text("d"), inf), (Text("e"), 0.0001)]))'
    )
    assert repr(Query.weighted({})) == "Query(Weighted([]))"

    class Ordered(dict):
        pass

    assert repr(Query.weighted(mapping=Ordered(x=2))) == 'Query(Weighted([(Text("x"), 2.0)]))'


@pytest.mark.parametrize(
    "call",
    [
        lambda: Query.any("a", 3),
        lambda: Query.all(None),
        lambda: Query.all("a", b"bytes"),
        lambda: Query.all("a").exclude(1.5),
        lambda: Query.all("a").exclude(FilterValue.exact("x")),
    ],
)
def test_non_query_arguments_are_rejected(call):
    with pytest.raises(TypeError, match=exact("Query argument must be a str or Query object")):
        call()


def test_weighted_survives_host_code_that_mutates_the_mapping():
    mapping = {}

    class Weight:
        def __float__(self):
            mapping.clear()
            mapping.update({f"k{i}": 1.0 for i in range(50)})
            return 3.0

    mapping["first"] = Weight()
    mapping["second"] = 1.0
    q = Query.weighted(mapping)
    assert repr(q) == 'Query(Weighted([(Text("first"), 3.0), (Text("second"), 1.0)]))'


# ---- FilterValue ----


def test_filter_representations():
    assert repr(FilterValue.exact("mcp")) == "FilterValue.Exact('mcp')"
    assert repr(FilterValue.exact(value="x")) == "FilterValue.Exact('x')"
    assert repr(FilterValue.contains(substring="x")) == "FilterValue.Contains('x')"
    assert repr(FilterValue.one_of(options=["x"])) == 'FilterValue.OneOf(["x"])'
    assert repr(FilterValue.less_than(threshold=2)) == "FilterValue.LessThan(2)"
    assert repr(FilterValue.greater_than(threshold=2)) == "FilterValue.GreaterThan(2)"
    assert repr(FilterValue.exact("it's")) == "FilterValue.Exact('it's')"
    assert repr(FilterValue.contains('a"b\\')) == "FilterValue.Contains('a\"b\\')"
    assert repr(FilterValue.one_of(["a", "b"])) == 'FilterValue.OneOf(["a", "b"])'
    assert repr(FilterValue.one_of(('q"', "t\t"))) == 'FilterValue.OneOf(["q\\"", "t\\t"])'
    assert repr(FilterValue.one_of([])) == "FilterValue.OneOf([])"
    assert repr(FilterValue.less_than(100)) == "FilterValue.LessThan(100)"
    assert repr(FilterValue.greater_than(1.5)) == "FilterValue.GreaterThan(1.5)"
    assert repr(FilterValue.less_than(1e-7)) == "FilterValue.LessThan(0.0000001)"
    assert repr(FilterValue.greater_than(1e21)) == (
        "FilterValue.GreaterThan(1000000000000000000000)"
    )
    assert repr(FilterValue.less_than(-0.25)) == "FilterValue.LessThan(-0.25)"
    assert repr(FilterValue.less_than(math.nan)) == "FilterValue.LessThan(NaN)"
    assert repr(FilterValue.greater_than(-math.inf)) == "FilterValue.GreaterThan(-inf)"


@pytest.mark.parametrize(
    "call,prefix",
    [
        (lambda: FilterValue.one_of("ab"), "argument 'options': Can't extract `str` to `Vec`"),
        (lambda: FilterValue.one_of(["a", 1]), "argument 'options': "),
        (lambda: FilterValue.exact(5), "argument 'value': "),
        (lambda: FilterValue.contains(None), "argument 'substring': "),
        (lambda: FilterValue.less_than("ten"), "argument 'threshold': "),
        (lambda: Query.weighted([("a", 1.0)]), "argument 'mapping': "),
        (lambda: Query.weighted({"a": "heavy"}), "argument 'mapping': "),
        (lambda: Query.weighted({1: 1.0}), "argument 'mapping': "),
        (lambda: Query.all(queries="a"), ""),
    ],
)
def test_factory_argument_errors(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(prefix)
