"""Shape of the package and its native module: attributes, class flags, and a signature and
docstring on everything public. (Argument rules: test_arguments.py.)"""

import pathlib
import re

import pytest

import kova_discovery
import kova_discovery._native as native
from conftest import exact

CLASSES = [
    "LocalNetwork", "DiscoveryResult", "ExplainedResult", "DiscoveryResponse", "Query",
    "TfIdfScorer", "MycorrhizalPropagator", "CircuitBreakerConfig", "DiscoveryConfig",
    "FilterValue", "Bm25Scorer", "HybridScorer",
]
NO_CONSTRUCTOR = ["DiscoveryResult", "ExplainedResult", "DiscoveryResponse", "Query", "FilterValue"]


def test_module_and_package_attributes():
    own = [name for name in vars(native) if not name.startswith("__")]
    assert own == CLASSES + ["capabilities_from_a2a_rust"]
    assert native.__doc__ == "KOVA Discovery \u2014 local agent discovery via bio-inspired routing."
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
