"""Definitions in and out: capability texts from A2A agent cards (the native rules and the
package's card forms), and tool definitions in every input form, with bad input."""

import json
import os
import re
import subprocess
import sys
from types import MappingProxyType

import pytest

from conftest import REPO, SHARED_DATA
from kova_discovery import LocalNetwork, TfIdfScorer, capabilities_from_a2a
from kova_discovery import tools as T
from kova_discovery._native import capabilities_from_a2a_rust as caps
from kova_discovery.cli import main
from kova_discovery.tools import record_tool_call, register_tools, select_tools

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
    ({"name": "n", "skills": {"name": "mapping, not a list"}}, ["n"]),
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
    path.write_text(text, encoding="utf-8-sig")  # a byte-order mark, as the bytes form allows
    assert capabilities_from_a2a(path) == capabilities_from_a2a(path.read_bytes()) == EXPECTED
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


SCHEMA = {"type": "object", "properties": {"city": {"type": "string", "description": "City"}}}
FORMS = {"openai": {"type": "function", "function": {
             "name": "get_weather", "description": "Current weather", "parameters": SCHEMA}},
         "openai_flat": {"type": "function", "name": "getStockQuote",
                         "description": "Latest share price", "parameters": SCHEMA},
         "anthropic": {"name": "translate_text", "description": "Translate text",
                       "input_schema": SCHEMA},
         "mcp": {"name": "send-email", "description": "Send an email", "inputSchema": SCHEMA},
         "plain": {"name": "HTTPServerStatus", "description": "Check a web server",
                   "arguments": [{"name": "hostName", "type": "string", "desc": "Host"}]}}


def test_every_form_comes_back_as_given_before_and_after_a_load(tmp_path):
    mcp_types = pytest.importorskip("mcp.types")
    sdk_tool = mcp_types.Tool(name="list_pods", description="List Kubernetes pods",
                              input_schema={"type": "object"})
    given = [*FORMS.values(), sdk_tool]
    given[0] = MappingProxyType(given[0])  # any mapping is a definition
    network = LocalNetwork(scorer=TfIdfScorer())
    network.register("not-a-tool", ["current weather and share price"])
    assert register_tools(network, given, source="demo") == [
        "get_weather", "getStockQuote", "translate_text", "send-email", "HTTPServerStatus",
        "list_pods"]
    queries = ["weather in city", "stock quote share price", "translate text", "send email",
               "http server status host name", "list kubernetes pods"]
    shapes = ["openai", "openai", "anthropic", "mcp", "plain", "mcp_sdk"]
    for query, tool, shape in zip(queries, given, shapes):
        assert select_tools(network, query, k=1)[0] is tool
        assert network.discover(query)[0].metadata["tool_shape"] == shape
        assert select_tools(network, query, k=20,
                            filters=MappingProxyType({"tool_source": "other"})) == []
    network.save(str(tmp_path / "s.json"))
    T._decoded.clear()  # as in a fresh process
    loaded = LocalNetwork.load(str(tmp_path / "s.json"))
    # A loaded network ranks with the default scorer, whose near-ties are shuffled: what is
    # checked here is that every definition comes back as given, not its rank.
    for query, tool in zip(queries, given):
        assert tool in select_tools(loaded, query, k=len(given))
    assert type(select_tools(loaded, queries[-1], k=1)[0]) is type(sdk_tool)
    with pytest.raises(TypeError, match="must be a list of tool definitions, not Tool"):
        register_tools(network, sdk_tool)  # iterable (its fields), but one definition


def test_openai_tools_without_parameters_and_the_definition_cache_bound():
    # The Responses API declares parameters nullable; a flat tool may leave them out.
    for tool in ({"type": "function", "name": "ping", "parameters": None},
                 {"type": "function", "name": "ping"}):
        assert T.prepare_tools([tool])[0].shape == "openai"
    network = LocalNetwork()
    for version in range(6):  # a large definition in ever new versions must not pile up
        enum = [f"{version}-{i}" for i in range(400_000)]
        register_tools(network, [{"name": "x", "inputSchema": {"enum": enum}}])
    assert T._decoded_chars <= T._CACHE_CHARS


def test_names_are_indexed_as_words_and_long_descriptions_cut_at_sentences():
    for name, words in [("get_node_content", "get node content"),
                        ("getNodeContent", "get node content"),
                        ("HTTPServerStatus", "http server status"),
                        ("v2-list.items", "v 2 list items"),
                        ("überprüfen_Daten", "überprüfen daten"), ("___", "___"),
                        ("größeBerechnen", "größe berechnen"), ("ÉTATGénéral", "état général"),
                        ("E\u0301TAT_Ge\u0301ne\u0301ral", "e\u0301tat ge\u0301ne\u0301ral")]:
        assert T.prepare_tools([{"name": name}])[0].capabilities == [words]
    text = ". ".join([("word " * 30).strip()] * 4) + "."
    pieces = T.prepare_tools([{"name": "x", "description": text}])[0].capabilities[:-1]
    assert all(len(p.split()) <= 50 for p in pieces) and " ".join(pieces).split() == text.split()
    unbroken = " ".join(f"w{i}" for i in range(160))
    pieces = T.prepare_tools([{"name": "x", "description": unbroken}])[0].capabilities[:-1]
    assert [len(p.split()) for p in pieces] == [50, 50, 50, 10]
    assert " ".join(pieces) == unbroken


BAD = [
    ({"description": "no name"}, "tool #1: name must be a non-empty string"),
    ({"name": "a", "description": 3}, "tool 'a': description must be a string, not int"),
    ({"name": "a", "inputSchema": []}, "tool 'a': inputSchema must be a JSON Schema object"),
    ({"name": "a", "input_schema": {"properties": {"p": 1}}},
     "tool 'a': input_schema.properties.p must be an object, not int"),
    ({"name": "a", "inputSchema": {"properties": {"p": {"description": 1}}}},
     "tool 'a': inputSchema.properties.p.description must be a string"),
    ({"name": "a", "inputSchema": {"required": "p"}}, "tool 'a': inputSchema.required"),
    ({"type": "function", "function": {"name": "a", "parameters": "x"}},
     "tool 'a': function.parameters must be a JSON Schema object"),
    ({"name": "a", "arguments": [{"type": "string"}]},
     "tool 'a': arguments[0].name must be a non-empty string"),
    ({"name": "a", "inputSchema": {}, "input_schema": {}}, "tool 'a': both"),
    ({"name": "a", "inputSchema": {"default": float("nan")}}, "tool 'a': definition is not JSON"),
    ({"name": "a" * 257}, "is 257 bytes long"),
    ({"function": {"name": "a"}}, "tool 'a': 'function' belongs to an OpenAI function tool"),
    ("get_weather", "tool #1: a tool definition is a mapping"),
    ({"name": "ok"}, "tool 'ok': the name is given twice (#0 and #1)"),
]


@pytest.mark.parametrize("bad, message", BAD, ids=[m[:40] for _, m in BAD])
def test_bad_definitions_register_nothing(bad, message):
    network = LocalNetwork()
    with pytest.raises(ValueError) as info:
        register_tools(network, [{"name": "ok"}, bad])
    assert message in str(info.value) and network.agent_count == 0


def test_bad_arguments():
    for call, error in [(lambda n: register_tools(n, FORMS["mcp"]), TypeError),
                        (lambda n: register_tools(n, [], source=1), TypeError),
                        (lambda n: select_tools(n, "q", k=0), ValueError),
                        (lambda n: select_tools(n, "q", k=True), TypeError),
                        (lambda n: select_tools(n, "q", filters=[("a", "b")]), TypeError),
                        (lambda n: record_tool_call(n, "send-email", "q", ok="yes"), TypeError)]:
        with pytest.raises(error):
            call(LocalNetwork())


def test_reported_calls_move_the_ranking():
    network = LocalNetwork()
    register_tools(network, [
        {"name": "slack_post", "description": "post a message to a channel"},
        {"name": "teams_post", "description": "post a message to a channel"},
    ])
    query = "post a message to the release channel"
    for _ in range(3):
        record_tool_call(network, "teams_post", query)
        record_tool_call(network, "slack_post", query, ok=False)
    assert [t["name"] for t in select_tools(network, query)] == ["teams_post", "slack_post"]
    # The successes alone would order them so: the failures must reach the engine too.
    assert network.routing_state("slack_post")["consecutive_failures"] == 3


def test_import_tools_command(tmp_path, capsys):
    state = tmp_path / "s.json"
    files = {"list.json": json.dumps(list(FORMS.values())[:2]),
             "listed.json": json.dumps({"result": {"tools": [FORMS["mcp"]]}}),
             "object.json": json.dumps({"tools": [FORMS["mcp"]]}),
             "lines.jsonl": "\n".join(json.dumps(t) for t in list(FORMS.values())[2:]),
             "line.jsonl": json.dumps(FORMS["mcp"]) + "\n",  # JSON Lines of one line
             "openai.jsonl": json.dumps(FORMS["openai"]) + "\n",  # its name nested
             # A byte-order mark, CRLF, and line separators JSON strings may hold as they are
             "marks.jsonl": "\ufeff" + "\r\n".join(json.dumps(
                 {**FORMS[form], "description": "Send\u2028an\u0085email"}, ensure_ascii=False)
                 for form in ("anthropic", "mcp")),
             "old_mac.jsonl": json.dumps(FORMS["mcp"]) + "\r" + json.dumps(FORMS["plain"])}
    for name, text in files.items():
        (tmp_path / name).write_text(text, encoding="utf-8", newline="")
        assert main(["--state", str(state), "import-tools", str(tmp_path / name),
                     "--source", name]) == 0
    assert "1 replaced" in capsys.readouterr().out
    before = state.read_bytes()
    os.mkfifo(tmp_path / "fifo.json")  # refused, not waited on
    for command in ("import-tools", "import-cards"):
        assert main(["--state", str(state), command, str(tmp_path / "fifo.json")]) == 1
        assert "not a regular file" in capsys.readouterr().err
    good = json.dumps(FORMS["mcp"])
    for bad, says in [('[{"name": "fine"}, {"description": "nameless"}]', "error:"),
                      ('{"tools": 3}', "error:"), ("[1,", "malformed JSON"),
                      (f"{good}\n{good}\n{{broken", "line 3: malformed JSON"),
                      (f"{good}\n" + "[" * 100_000, "line 2: malformed JSON"),
                      ('[{"name": "n", "v": 1%s}]' % ("0" * 4300), "malformed JSON"),
                      # JSON Lines name the line, blank lines counted
                      (f'{good}\n\n{{"description": "nameless"}}', "tool line 3:"),
                      (f"{good}\n\n{good}", "given twice (line 1 and line 3)"),
                      (" \n", "the file is empty")]:
        (tmp_path / "bad.json").write_text(bad)
        assert main(["--state", str(state), "import-tools", str(tmp_path / "bad.json")]) == 1
        err = capsys.readouterr().err
        assert err.startswith("kova-discovery: error:") and says in err, err
    assert state.read_bytes() == before and LocalNetwork.load(str(state)).agent_count == 5


@pytest.mark.parametrize("data", [SHARED_DATA, None], ids=["corpus", "no-corpus"])
def test_example_runs(data, tmp_path):
    if data is not None and not (data / "tools_corpus.jsonl").exists():
        pytest.skip("no shared data")
    proc = subprocess.run([sys.executable, REPO / "examples" / "tool_selection.py", "--data",
                           data or tmp_path], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert ("rank of the server" in proc.stdout) == (data is not None)
    # Reported requests asked again rise, as the example says: "#5 -> #1".
    moves = re.findall(r"#(\d+) -> #(\d+)", proc.stdout)
    assert len(moves) == (8 if data is not None else 0)
    assert all(int(after) <= int(before) for before, after in moves), moves
