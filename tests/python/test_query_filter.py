"""Query and FilterValue: factories, copies, representations and argument errors."""

import math

import pytest

from kova_discovery import FilterValue, Query

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
