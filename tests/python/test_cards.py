"""Capability texts from A2A agent cards: the native rules and the package's card forms."""

import json

import pytest

from conftest import SHARED_DATA
from kova_discovery import LocalNetwork, capabilities_from_a2a
from kova_discovery._native import capabilities_from_a2a_rust as caps

CARDS_DIR = SHARED_DATA / "a2a_cards"


def skill(name=None, description=None, tags=None):
    fields = {"name": name, "description": description, "tags": tags}
    return {k: v for k, v in fields.items() if v is not None}


CARD = {
    "name": "legal-assistant",
    "description": "Legal document analysis",
    "skills": [skill("analyze_contract", "Analyze legal contracts", ["legal", "contracts"])],
}
EXPECTED = [
    "legal assistant: Legal document analysis",
    "analyze contract: Analyze legal contracts. legal, contracts",
]


@pytest.mark.parametrize(
    "card,expected",
    [
        (CARD, EXPECTED),
        ({}, []),
        ({"name": "_my-agent_"}, ["my agent"]),
        ({"skills": [skill("data-cleaning_tool")]}, ["data-cleaning tool"]),
        ({"skills": [skill(tags=["a", "b"])]}, ["a, b"]),
        ({"skills": [skill("x", tags=["a"])]}, ["x. a"]),
        ({"skills": [skill("x", tags=["a", 1, "b"])]}, ["x"]),
        ({"skills": [skill(tags=["a", 1])]}, []),
        ({"name": "n", "skills": "not skills"}, ["n"]),
        ({"name": "n", "skills": {"name": "mapping"}}, ["n"]),
        ({"skills": (skill("t1"), skill("t2"))}, ["t1", "t2"]),
        ({"skills": ["plain string skill", 5, None, skill("real")]}, ["real"]),
        ({"skills": [skill(tags=["legal", ""])]}, ["legal, "]),
        ({"name": 42, "description": "Translator"}, ["Translator"]),
        # Trimming of Unicode white space; only the skill head and card name are rewritten.
        ({"name": " \u3000agent\u00a0", "description": "\n desc \t"}, ["agent: desc"]),
        ({"skills": [skill(" _ ", "  ", [" t "])]}, [" t "]),
        ({"skills": [skill(tags="ab")]}, []),  # a str is never split into tags
        ({"skills": [skill("s", "d", [])]}, ["s: d"]),
        ({"skills": [skill(tags=[""])]}, [""]),
        ({"description": "only description", "skills": []}, ["only description"]),
    ],
)
def test_card_rules(card, expected):
    assert caps(card) == expected


def test_any_object_with_key_lookup_is_a_card():
    for not_a_card in (None, 42, "a string card", ["name"], b"bytes", object()):
        assert caps(not_a_card) == []

    class Card:
        def __getitem__(self, key):
            if key == "name":
                return "looked-up_x"
            if key == "skills":
                return [Card()]
            raise KeyError(key)  # every other member is absent

    class Exploding(dict):
        def __getitem__(self, key):
            raise RuntimeError("lookup failed")

    class Sub(dict):
        pass

    assert caps(Card()) == ["looked up x", "looked-up x"]
    assert caps(Exploding(name="x")) == []
    assert caps(agent_card=Sub(name="x")) == ["x"]


def test_package_function_reads_every_card_form(tmp_path):
    text = json.dumps(CARD)
    path = tmp_path / "card.json"
    path.write_text(text, encoding="utf-8")
    for form in (CARD, text, text.encode(), bytearray(text.encode()), path):
        assert capabilities_from_a2a(form) == EXPECTED, type(form)
    path.write_text(json.dumps({"name": "caf\u00e9_bot"}, ensure_ascii=False), encoding="utf-8")
    assert capabilities_from_a2a(path) == ["caf\u00e9 bot"]
    # Valid JSON that is not an object reads as a card without members.
    assert capabilities_from_a2a("[1, 2]") == []
    net = LocalNetwork()
    net.register("legal", capabilities_from_a2a(CARD))
    assert net.discover("analyze contract")[0].agent_name == "legal"


def test_package_function_errors(tmp_path):
    with pytest.raises(json.JSONDecodeError):
        capabilities_from_a2a("not json")
    with pytest.raises(json.JSONDecodeError):
        capabilities_from_a2a(str(tmp_path))  # a str is JSON text, never a file name
    with pytest.raises(FileNotFoundError):
        capabilities_from_a2a(tmp_path / "missing.json")
    with pytest.raises(TypeError, match="not int"):
        capabilities_from_a2a(42)


def reference(card):
    """The rules written plainly in Python, to cross-check real cards."""

    def text(obj, key):
        value = obj.get(key) if isinstance(obj, dict) else None
        return value if isinstance(value, str) else ""

    def head(name, description):
        return ": ".join(p for p in (name, description) if p)

    out = []
    card_text = head(text(card, "name").replace("-", " ").replace("_", " ").strip(),
                     text(card, "description").strip())
    if card_text:
        out.append(card_text)
    skills = card.get("skills")
    for s in skills if isinstance(skills, (list, tuple)) else []:
        h = head(text(s, "name").replace("_", " ").strip(), text(s, "description").strip())
        tags = s.get("tags") if isinstance(s, dict) else None
        ok = isinstance(tags, list) and tags and all(isinstance(t, str) for t in tags)
        parts = [p for p in (h if h else None, ", ".join(tags) if ok else None) if p is not None]
        if parts:
            out.append(". ".join(parts))
    return out


def real_cards():
    if not CARDS_DIR.is_dir():
        return []
    return sorted(CARDS_DIR.glob("*.json"))


@pytest.mark.skipif(not real_cards(), reason="shared A2A cards not present")
def test_real_cards_match_the_reference():
    for path in real_cards():
        card = json.loads(path.read_text(encoding="utf-8"))
        got = caps(card)
        assert got and got == reference(card), path.name
        assert capabilities_from_a2a(path) == got
        LocalNetwork().register(path.stem, got)
