"""Capability texts from A2A agent cards: the native rules and the package's card forms."""

import json

import pytest

from conftest import SHARED_DATA
from kova_discovery import LocalNetwork, capabilities_from_a2a
from kova_discovery._native import capabilities_from_a2a_rust as caps

CARDS_DIR = SHARED_DATA / "a2a_cards"


def skill(name=None, description=None, tags=None):
    return {k: v for k, v in (("name", name), ("description", description), ("tags", tags))
            if v is not None}


CARD = {"name": "legal-assistant", "description": "Legal document analysis",
        "skills": [skill("analyze_contract", "Analyze legal contracts", ["legal", "contracts"])]}
EXPECTED = ["legal assistant: Legal document analysis",
            "analyze contract: Analyze legal contracts. legal, contracts"]


@pytest.mark.parametrize("card,expected", [
    (CARD, EXPECTED), ({}, []), ({"name": "_my-agent_"}, ["my agent"]),
    ({"skills": [skill("data-cleaning_tool")]}, ["data-cleaning tool"]),
    ({"skills": [skill(tags=["a", "b"])]}, ["a, b"]),
    ({"skills": [skill("x", tags=["a"])]}, ["x. a"]),
    ({"skills": [skill("x", tags=["a", 1, "b"])]}, ["x"]), ({"skills": [skill(tags=["a", 1])]}, []),
    ({"name": "n", "skills": "not skills"}, ["n"]), ({"name": "n", "skills": {"name": "m"}}, ["n"]),
    ({"skills": (skill("t1"), skill("t2"))}, ["t1", "t2"]),
    ({"skills": ["plain string skill", 5, None, skill("real")]}, ["real"]),
    ({"skills": [skill(tags=["legal", ""])]}, ["legal, "]),
    ({"name": 42, "description": "Translator"}, ["Translator"]),
    # Trimming of Unicode white space; only the skill head and card name are rewritten.
    ({"name": " \u3000agent\u00a0", "description": "\n desc \t"}, ["agent: desc"]),
    ({"skills": [skill(" _ ", "  ", [" t "])]}, [" t "]),
    ({"skills": [skill(tags="ab")]}, []),  # a str is never split into tags
    ({"skills": [skill("s", "d", [])]}, ["s: d"]), ({"skills": [skill(tags=[""])]}, [""]),
    ({"description": "only description", "skills": []}, ["only description"]),
])
def test_card_rules(card, expected):
    assert caps(card) == expected


def test_any_object_with_key_lookup_is_a_card():
    for not_a_card in (None, 42, "a string card", ["name"], b"bytes", object()):
        assert caps(not_a_card) == []

    class Card:
        def __getitem__(self, key):
            if key in ("name", "skills"):
                return "looked-up_x" if key == "name" else [Card()]
            raise KeyError(key)  # every other member is absent

    class Exploding(dict):
        def __getitem__(self, key):
            raise RuntimeError("lookup failed")

    assert caps(Card()) == ["looked up x", "looked-up x"]
    assert caps(Exploding(name="x")) == []
    assert caps(agent_card=type("Sub", (dict,), {})(name="x")) == ["x"]


def test_package_function_reads_every_card_form(tmp_path, monkeypatch):
    text = json.dumps(CARD)
    (path := tmp_path / "card.json").write_text(text, encoding="utf-8")
    for form in (CARD, text, text.encode(), bytearray(text.encode()), path, str(path)):
        assert capabilities_from_a2a(form) == EXPECTED, type(form)
    path.write_text(json.dumps({"name": "caf\u00e9_bot"}, ensure_ascii=False), encoding="utf-8")
    assert capabilities_from_a2a(path) == ["caf\u00e9 bot"]
    assert capabilities_from_a2a("[1, 2]") == []  # valid JSON, not an object: no members
    monkeypatch.chdir(tmp_path)
    (tmp_path / '{"name": "x"}').write_text("not json")  # JSON text is never a file name
    assert capabilities_from_a2a('{"name": "x"}') == ["x"]
    for card, error in (("not json", json.JSONDecodeError),
                        ("absent.json", json.JSONDecodeError),  # not a file: JSON text
                        (str(tmp_path), json.JSONDecodeError),  # a directory is never a card
                        (tmp_path / "missing.json", FileNotFoundError), (42, TypeError)):
        with pytest.raises(error):
            capabilities_from_a2a(card)


@pytest.mark.skipif(not CARDS_DIR.is_dir(), reason="shared A2A cards not present")
def test_real_cards():
    for path in sorted(CARDS_DIR.glob("*.json")):
        got = caps(json.loads(path.read_text(encoding="utf-8")))
        assert got and capabilities_from_a2a(path) == got, path.name
        LocalNetwork().register(path.stem, got)
