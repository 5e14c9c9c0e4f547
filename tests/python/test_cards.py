"""capabilities_from_a2a_rust: capability texts from A2A agent cards."""

import json
import pathlib

import pytest

from kova_discovery._native import LocalNetwork, capabilities_from_a2a_rust as caps

CARDS_DIR = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data" / "a2a_cards"


def skill(name=None, description=None, tags=None):
    out = {}
    if name is not None:
        out["name"] = name
    if description is not None:
        out["description"] = description
    if tags is not None:
        out["tags"] = tags
    return out


@pytest.mark.parametrize(
    "card,expected",
    [
        (
            {
                "name": "legal-assistant",
                "description": "Legal document analysis",
                "skills": [skill("analyze_contract", "Analyze legal contracts", ["legal", "contracts"])],
            },
            ["legal assistant: Legal document analysis",
             "analyze contract: Analyze legal contracts. legal, contracts"],
        ),
        ({}, []),
        ({"name": "_my-agent_"}, ["my agent"]),
        ({"skills": [skill("data-cleaning_tool")]}, ["data-cleaning tool"]),
        ({"skills": [skill(tags=["a", "b"])]}, ["a, b"]),
        ({"skills": [skill("x", tags=["a"])]}, ["x. a"]),
        ({"skills": [skill("x", tags=["a", 1, "b"])]}, ["x"]),
        ({"skills": [skill(tags=["a", 1])]}, []),
        ({"name": "n", "skills": "not skills"}, ["n"]),
        ({"name": "n", "skills": {"name": "mapping"}}, ["n"]),
        ({"name": "n", "skills": 7}, ["n"]),
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


@pytest.mark.parametrize("card", [None, 42, "a string card", ["name"], b"bytes", object()])
def test_non_mapping_cards_yield_nothing(card):
    assert caps(card) == []


def test_any_object_with_key_lookup_is_read():
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


def test_result_registers_directly():
    net = LocalNetwork()
    card = {"name": "legal-assistant", "skills": [skill("analyze_contract", tags=["legal"])]}
    net.register("legal", caps(card))
    assert net.discover("analyze contract")[0].agent_name == "legal"


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
        assert got == reference(card), path.name
        assert all(isinstance(t, str) for t in got)
        if got:
            net = LocalNetwork()
            net.register(path.stem, got)
