"""The package's public face: re-exports, version and capabilities_from_a2a."""

import json
import pathlib
import re

import pytest

import kova_discovery
import kova_discovery._native as native
from kova_discovery import capabilities_from_a2a

CLASSES = [
    "LocalNetwork",
    "DiscoveryResult",
    "ExplainedResult",
    "DiscoveryResponse",
    "Query",
    "FilterValue",
    "TfIdfScorer",
    "CircuitBreakerConfig",
    "MycorrhizalPropagator",
    "DiscoveryConfig",
]

CARD = {
    "name": "legal-assistant",
    "description": "Legal document analysis",
    "skills": [
        {"name": "analyze_contract", "description": "Analyze legal contracts",
         "tags": ["legal", "contracts"]},
    ],
}
EXPECTED = [
    "legal assistant: Legal document analysis",
    "analyze contract: Analyze legal contracts. legal, contracts",
]


def test_reexports_are_the_native_objects():
    for name in CLASSES + ["capabilities_from_a2a_rust"]:
        assert getattr(kova_discovery, name) is getattr(native, name)
        assert name in kova_discovery.__all__
    assert "capabilities_from_a2a" in kova_discovery.__all__
    for name in kova_discovery.__all__:
        assert hasattr(kova_discovery, name), name
    namespace = {}
    exec("from kova_discovery import *", namespace)
    assert set(CLASSES) <= namespace.keys()


def test_version_is_a_version_string():
    assert re.match(r"^\d+(\.\d+)*([.+-].*)?$", kova_discovery.__version__)


def test_typing_marker_and_stub_ship_with_the_package():
    root = pathlib.Path(kova_discovery.__file__).parent
    assert (root / "py.typed").exists()
    stub = (root / "_native.pyi").read_text(encoding="utf-8")
    for name in CLASSES:
        assert f"class {name}:" in stub


def test_capabilities_from_every_card_form(tmp_path):
    text = json.dumps(CARD)
    path = tmp_path / "card.json"
    path.write_text(text, encoding="utf-8")
    assert capabilities_from_a2a(CARD) == EXPECTED
    assert capabilities_from_a2a(text) == EXPECTED
    assert capabilities_from_a2a(text.encode()) == EXPECTED
    assert capabilities_from_a2a(bytearray(text.encode())) == EXPECTED
    assert capabilities_from_a2a(path) == EXPECTED
    assert native.capabilities_from_a2a_rust(CARD) == EXPECTED


def test_capabilities_from_unicode_card_file(tmp_path):
    path = tmp_path / "card.json"
    path.write_text(json.dumps({"name": "caf\u00e9_bot"}, ensure_ascii=False), encoding="utf-8")
    assert capabilities_from_a2a(path) == ["caf\u00e9 bot"]


def test_capabilities_from_a2a_errors(tmp_path):
    with pytest.raises(json.JSONDecodeError):
        capabilities_from_a2a("not json")
    with pytest.raises(json.JSONDecodeError):
        capabilities_from_a2a(str(tmp_path))  # a str is JSON text, never a file name
    with pytest.raises(FileNotFoundError):
        capabilities_from_a2a(tmp_path / "missing.json")
    with pytest.raises(TypeError, match="not int"):
        capabilities_from_a2a(42)
    # Valid JSON that is not an object reads as a card without members.
    assert capabilities_from_a2a("[1, 2]") == []


def test_real_cards_match_the_native_function():
    cards = pathlib.Path(__file__).resolve().parents[3] / "shared" / "data" / "a2a_cards"
    files = sorted(cards.glob("*.json"))
    if not files:
        pytest.skip("shared A2A cards not available")
    for f in files:
        card = json.loads(f.read_text(encoding="utf-8"))
        got = capabilities_from_a2a(f)
        assert got == native.capabilities_from_a2a_rust(card)
        assert got, f.name
