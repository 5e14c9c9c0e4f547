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
    for name in own:
        assert getattr(kova_discovery, name) is getattr(native, name)
    assert set(own) | {"capabilities_from_a2a"} <= set(kova_discovery.__all__)
    namespace = {}
    exec("from kova_discovery import *", namespace)
    assert set(kova_discovery.__all__) <= namespace.keys()
    assert re.match(r"^\d+(\.\d+)*([.+-].*)?$", kova_discovery.__version__)
    assert (pathlib.Path(kova_discovery.__file__).parent / "py.typed").exists()


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(native, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type
    if name in NO_CONSTRUCTOR:
        with pytest.raises(TypeError, match=exact(f"cannot create 'builtins.{name}' instances")):
            cls()
    else:
        args = [[(native.Bm25Scorer(), 1)]] if name == "HybridScorer" else []
        with pytest.raises(AttributeError):
            cls(*args).anything = 1
    for obj, prop in ((native.DiscoveryConfig(), "similarity_threshold"),
                      (native.LocalNetwork(), "agent_count")):
        with pytest.raises(AttributeError):
            setattr(obj, prop, 1)


def test_every_public_callable_has_a_signature_and_a_docstring():
    # The two factory methods have always had no docstring of their own.
    bare = {"CircuitBreakerConfig.with_threshold_and_timeout", "MycorrhizalPropagator.with_config"}
    missing = []
    for name, obj in vars(native).items():
        if name.startswith("_"):
            continue
        members = [(f"{name}.{m}", getattr(obj, m)) for m in vars(obj) if not m.startswith("_")
                   ] if isinstance(obj, type) else []
        for label, member in [(name, obj), *members]:
            if not callable(member):
                continue
            if label not in bare and not (member.__doc__ or "").strip():
                missing.append(f"{label}: docstring")
            if label not in NO_CONSTRUCTOR and not (member.__text_signature__ or "").startswith("("):
                missing.append(f"{label}: signature")
    assert missing == []
    assert native.CircuitBreakerConfig.with_threshold_and_timeout.__doc__ is None
