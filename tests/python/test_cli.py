"""The kova-discovery command line: each command on good and bad input."""

import contextlib
import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

import kova_discovery
from conftest import REPO
from kova_discovery import cli
from kova_discovery._display import print_table, table
from kova_discovery._native import LocalNetwork
from kova_discovery._statefile import (StateLockTimeout, lock_path, recorded_configuration,
                                      state_lock)

DEMO_CARDS = REPO / "python" / "kova_discovery" / "demo_data" / "cards"
AGENTS = [("deepl-bridge", ["translate documents between European languages"],
           ["region=eu", "cost=0.02", "protocol=rest", "tags=translation,documents"]),
          ("legal-lingua", ["translate legal contracts", "legal translation"],
           ["region=eu", "cost=0.40", "protocol=a2a", "tags=translation,legal"]),
          ("polyglot-mt", ["translate text between 120 languages"],
           ["region=us", "cost=0.005", "protocol=mcp", "tags=translation"]),
          ("mail-sender", ["send email with attachments"],
           ["region=us", "cost=0.001", "protocol=rest"])]


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            code = cli.main([str(a) for a in argv])
        except SystemExit as exc:  # argparse usage errors and --help
            code = int(exc.code or 0)
    return code, out.getvalue(), err.getvalue()


def one_line_error(err):
    return (len(err.splitlines()) == 1 and err.startswith("kova-discovery: error: ")
            and "Traceback" not in err)


@pytest.fixture
def state(tmp_path):
    path = tmp_path / "state.json"
    for name, caps, meta in AGENTS:
        assert run("--state", path, "add", name, *caps, "--endpoint",
                   f"https://agents.example.com/{name}", "--meta", *meta)[0] == 0
    return path


def state_agents(path):
    return {a["name"]: a for a in json.loads(path.read_text())["agents"]}


def result_names(out):  # rows of a rendered result table start with a rank
    return [p[1] for p in map(str.split, out.splitlines()) if len(p) >= 2 and p[0].isdigit()]


def test_add_registers_and_replaces(state, tmp_path):
    legal = state_agents(state)["legal-lingua"]
    assert legal["capabilities"] == ["translate legal contracts", "legal translation"]
    assert legal["endpoint"] == "https://agents.example.com/legal-lingua"
    assert legal["metadata"] == dict(m.split("=") for m in AGENTS[1][2])
    assert run("--state", state, "feedback", "mail-sender", "failure")[0] == 0
    code, out, _ = run("add", "mail-sender", "send newsletters", "--state", state)
    agent = state_agents(state)["mail-sender"]
    assert code == 0 and "re-registered" in out and agent["capabilities"] == ["send newsletters"]
    assert agent["consecutive_pulse_timeouts"] == 0 and agent["metadata"] == {}
    code, _, err = run("--state", tmp_path / "s.json", "add", "n" * 256, "cap")
    assert code == 0 and err == f"kova-discovery: created new state file {tmp_path / 's.json'}\n"


@pytest.mark.parametrize("code, argv", [
    (1, ["add", "x", "cap", "--meta", "novalue"]), (1, ["add", "x", "cap", "--meta", "=v"]),
    (1, ["add", "", "cap"]), (1, ["add", "n" * 257, "cap"]),
    (1, ["add", "\u00e9" * 129, "cap"]),  # 258 bytes in UTF-8
    (1, ["query", "x", "--filter", "region"]), (1, ["query", "x", "--filter", "=eu"]),
    (1, ["query", "x", "--filter", "cost<abc"]), (1, ["query", "x", "--filter", "cost< 5"]),
    (1, ["query", "x", "--filter", "cost<1_0"]),
    (1, ["query", "x", "--filter", "region=eu", "--filter", "region=us"]),
    (1, ["add", "a", "cap", "--meta", "region=eu", "region=us"]),
    (1, ["feedback", "nobody", "success"]), (1, ["remove", "mail-sender", "nobody"]),
    (1, ["query", "tr\udcffnslate"]),  # a non-UTF-8 byte, as Python decodes argv
    (1, ["query", "x", "--state", "s\udcff.json"]), (1, ["import-cards", "/no/such/card.json"]),
    (2, ["add", "only-a-name"]), (2, ["frobnicate"]), (2, []),
    (2, ["query", "x", "--explain", "--confidence"]), (2, ["feedback", "mail-sender", "maybe"]),
    (2, ["drift", "--min-samples", "-1"]), (2, ["drift", "--threshold", "high"]),
    (2, ["query", "x", "--limit", "0"]), (2, ["--json", "demo"]),
    (2, ["drift", "--min-samples", str(2**63)]),
])
def test_bad_input_fails_in_one_line_and_keeps_state(state, code, argv):
    before = state.read_bytes()
    got, out, err = run("--state", state, *argv)
    assert (got, out) == (code, "") and state.read_bytes() == before
    assert len(err.splitlines()) == 1 and "error: " in err and "Traceback" not in err


@pytest.mark.parametrize("options, kind, memory", [
    ([], "bm25", 100), (["--scorer", "tfidf"], "tfidf", 100),
    (["--scorer", "hybrid", "--query-memory", "7"], "hybrid", 7),
    (["--scorer", "minhash", "--query-memory", "0"], "minhash", 0),
])
def test_new_files_rank_as_asked_and_existing_ones_keep_theirs(tmp_path, options, kind, memory):
    path = tmp_path / "s.json"
    assert run("--state", path, "add", "fr", "translate text", *options)[0] == 0
    assert recorded_configuration(path.read_bytes())[:2] == (kind, memory)
    assert run("--state", path, "feedback", "fr", "success", "--query", "render French")[0] == 0
    code, out, _ = run("--state", path, "--json", "feedback", "fr", "success", "--query", "  ")
    assert code == 0 and json.loads(out)["query"] is None  # a blank query is none
    assert LocalNetwork.load(path).remembered("fr") == (["render French"] if memory else [])
    before = path.read_bytes()
    for other in (["--scorer", "bm25" if kind != "bm25" else "tfidf"],
                  ["--query-memory", str(memory + 1)]):
        code, out, err = run("--state", path, "import-cards", DEMO_CARDS, *other)
        assert (code, out) == (1, "") and f"state file {path} exists: {other[0]}" in err
    assert path.read_bytes() == before
    assert run("--state", path, "add", "de", "translate to German", *options)[0] == 0


def test_scorer_option_refuses_a_file_of_that_kind_with_other_settings(tmp_path):
    for scorer, kind in ((kova_discovery.Bm25Scorer(stemmer=None), "bm25"),
                         (kova_discovery.HybridScorer([(kova_discovery.TfIdfScorer(), 1.0)]),
                          "hybrid")):
        network = LocalNetwork(scorer=scorer, query_memory=100)
        network.register("a", ["translate text"])
        network.save(path := tmp_path / f"{kind}.json")
        code, _, err = run("--state", path, "add", "b", "render French", "--scorer", kind)
        assert code == 1 and f"the file's {kind} scorer has other settings" in err
        assert run("--state", path, "add", "b", "render French")[0] == 0
    # A record written by hand may leave the settings at their defaults.
    snapshot = json.loads((path := tmp_path / "bm25.json").read_text())
    snapshot["scorer"] = {"kind": "bm25"}
    path.write_text(json.dumps(snapshot))
    assert run("--state", path, "add", "c", "render German", "--scorer", "bm25")[0] == 0
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".kova")] == []


@pytest.mark.parametrize("memory, expansion", [(100, True), (0, False)])
def test_query_memory_option_refuses_a_file_expanding_otherwise(tmp_path, memory, expansion):
    network = LocalNetwork(scorer=kova_discovery.Bm25Scorer(), query_memory=memory,
                           query_expansion=expansion)
    network.register("a", ["translate text"])
    network.save(path := tmp_path / "s.json")
    before = path.read_bytes()
    code, _, err = run("--state", path, "add", "b", "render French", "--query-memory", memory)
    assert code == 1 and f"query expansion {'on' if expansion else 'off'}" in err
    assert path.read_bytes() == before
    assert run("--state", path, "add", "b", "render French")[0] == 0


def test_output_that_cannot_be_written_after_a_save_says_the_change_stands(tmp_path):
    if not Path("/dev/full").exists():
        pytest.skip("no /dev/full")
    path = tmp_path / "s.json"
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-m", "kova_discovery", "--state", str(path),
                               "add", "a", "translate text"], stdout=full, stderr=subprocess.PIPE,
                              text=True)
    assert done.returncode == 1 and f"the change was saved to {path}" in done.stderr
    assert LocalNetwork.load(path).agents() == ["a"]


def test_escape_sequences_from_cards_never_reach_the_terminal(tmp_path):
    cards = tmp_path / "cards"
    cards.mkdir()
    card = cards / "\x1b[2J.json"
    card.write_text(json.dumps({"name": "evil\x1b]0;owned\x07",
                                "description": "weather forecast for cities"}))
    path = tmp_path / "s.json"
    outputs = [run("--state", path, "import-cards", cards),
               run("--state", path, "query", "weather", "--confidence", "--filter", "x=y"),
               run("--state", path, "import-cards", card, card)]
    assert "closest candidate: evil ]0;owned " in outputs[1][1]
    assert not any("\x1b" in text for output in outputs for text in output[1:])


def test_query_filters_and_modes(state):
    before = state.read_bytes(), state.stat().st_ino
    for filters, expected in [
            (["region=eu"], {"deepl-bridge", "legal-lingua"}), (["tags~legal"], {"legal-lingua"}),
            (["cost<0.1"], {"deepl-bridge", "polyglot-mt"}), (["region=EU"], set()),
            (["cost>0.01"], {"deepl-bridge", "legal-lingua"}),
            (["protocol:mcp,a2a"], {"legal-lingua", "polyglot-mt"}),
            (["region=eu", "cost<0.1"], {"deepl-bridge"})]:
        out = run("--state", state, "query", "translate", *(a for f in filters
                                                              for a in ("--filter", f)))[1]
        assert set(result_names(out)) == expected, filters
    code, out, _ = run("--state", state, "query", "translate", "legal", "contracts")
    assert code == 0 and result_names(out)[0] == "legal-lingua"
    assert "mail-sender" not in result_names(out)
    assert "https://agents.example.com/legal-lingua" in out
    code, out, _ = run("--state", state, "query", "translate", "--limit", "1")
    assert len(result_names(out)) == 1 and "raise --limit" in out
    code, out, _ = run("--state", state, "query", "translate legal contracts", "--explain")
    header = out.splitlines()[0].split()
    assert header[:2] == ["#", "agent"] and "enzyme" in header and "feedback" in header
    code, out, _ = run("--state", state, "query", "translate legal contracts", "--confidence")
    first = out.splitlines()[0]
    assert first.split()[1].rstrip(";") in {"unanimous", "majority", "split"}
    assert "recommended parallelism: " in first
    code, out, _ = run("--state", state, "query", "translate", "--confidence",
                       "--filter", "region=mars")
    assert code == 0 and "no agent matched; closest candidate: " in out
    assert run("--state", state, "agents")[0] == run("--state", state, "drift")[0] == 0
    # readers never write, so they cannot undo a concurrent writer's change
    assert (state.read_bytes(), state.stat().st_ino) == before


def test_feedback_tick_agents_and_drift(state):
    query = "translate documents"
    code, out, _ = run("--state", state, "feedback", "legal-lingua", "success", "--query", query)
    assert code == 0 and "recorded success for legal-lingua" in out
    assert [f["outcome"] for f in state_agents(state)["legal-lingua"]["feedback"]] == [1.0]
    for _ in range(2):
        run("--state", state, "feedback", "deepl-bridge", "failure", "--query", query)
    out = run("--state", state, "query", query, "--explain")[1]
    rows = {line.split()[1]: line.split() for line in out.splitlines()[2:]}
    assert float(rows["legal-lingua"][-1]) > 0 > float(rows["deepl-bridge"][-1])
    code, out, _ = run("--state", state, "tick")
    assert code == 0 and "4 agents" in out
    assert state_agents(state)["legal-lingua"]["tau"] == pytest.approx(0.06 * 0.995)
    lines = run("--state", state, "agents")[1].splitlines()
    assert lines[0].split()[:5] == ["agent", "diameter", "tau", "forwards", "failures"]
    rows = {line.split()[0]: line.split() for line in lines[2:]}
    assert len(rows) == 4 and rows["deepl-bridge"][1] == "0.900"
    assert rows["deepl-bridge"][4:6] == ["2", "2"]
    assert "no agent has 5" in run("--state", state, "drift")[1]
    for query in ["send email with attachments"] * 3 + ["bake a chocolate cake"] * 3:
        run("--state", state, "feedback", "mail-sender", "success", "--query", query)
    for threshold, status in (("0.9", "DRIFTED"), ("0.0", "ok")):
        out = run("--state", state, "drift", "--min-samples", "6", "--threshold", threshold)[1]
        row = out.splitlines()[2].split()
        assert row[0] == "mail-sender" and row[2:] == ["6", status] and 0.4 < float(row[1]) < 0.9


def test_import_cards(state, tmp_path):
    path = tmp_path / "s.json"
    code, out, err = run("--state", path, "import-cards", DEMO_CARDS)
    assert code == 0, err
    agents = state_agents(path)
    assert len(agents) == len(list(DEMO_CARDS.glob("*.json")))
    contract = agents["Contract Review Agent"]
    assert contract["capabilities"][0] == (
        "Contract Review Agent: Reviews commercial contracts and highlights risky clauses")
    assert contract["endpoint"] == "https://agents.example.com/a2a/contract-review"
    assert [contract["metadata"][k] for k in ("protocol", "tags")] == [
        "a2a", "legal,nda,contracts,diff"]
    out = run("--state", path, "query", "review a non-disclosure agreement",
              "--filter", "tags~nda")[1]
    assert result_names(out)[:1] == ["Contract"]  # "Contract Review Agent", split on spaces
    # a card without "url" takes the first interface URL; a card without name, its file name
    card = {"description": "Reverses words",
            "supportedInterfaces": [{"url": "http://127.0.0.1:9999/reverse"}]}
    (tmp_path / "reverser.json").write_text(json.dumps(card))
    assert run("--state", path, "import-cards", tmp_path / "reverser.json")[0] == 0
    # importing it again says what it replaces: the agent and what it had learned
    code, out, _ = run("--state", path, "import-cards", tmp_path / "reverser.json")
    assert code == 0 and "replaces the agent registered before" in out
    reverser = state_agents(path)["reverser"]
    assert (reverser["endpoint"], reverser["capabilities"]) == (
        "http://127.0.0.1:9999/reverse", ["Reverses words"])
    # one bad card among good ones: nothing is imported
    (good := tmp_path / "good.json").write_text('{"name": "good-agent", "description": "good"}')
    before = state.read_bytes()
    for i, content in enumerate([
            '{"name": "broken", ', "[1, 2, 3]", '"just a string"', "{}", '{"name": 42}',
            b"\xff\xfe\x00garbage", None, '{"name": "x\\ud800"}',
            '{"name": "x", "v": 1%s}' % ("0" * 4300), '{"name": "x", "version": NaN}',
            '{"name": "x", "version": 1e999}']):
        bad = tmp_path / f"bad{i}.json"
        bad.mkdir() if content is None else bad.write_bytes(  # None: a directory without cards
            content if isinstance(content, bytes) else content.encode())
        code, out, err = run("--state", state, "import-cards", good, bad)
        assert (code, out) == (1, "") and one_line_error(err), content
        assert bad.name in err and state.read_bytes() == before


def test_import_cards_bounds_what_one_card_contributes(tmp_path):
    tags = ["b", "a", "b"] + [f"t{i}" for i in range(60_000)]  # quadratic would take minutes
    skills = [{"name": f"s{i}", "tags": tags if i == 0 else ["x"]} for i in range(150)]
    card = tmp_path / "huge.json"
    card.write_text(json.dumps({"name": "huge", "description": "d" * 9000, "skills": skills}))
    code, out, err = run("--state", tmp_path / "s.json", "import-cards", card)
    assert code == 0 and "kept 100 of 150 skills" in out and "of 60003 distinct tags" in out
    assert "cut 1 text to 4,096 bytes" in out
    agent = state_agents(tmp_path / "s.json")["huge"]
    assert len(agent["capabilities"]) == 101
    assert max(len(c.encode()) for c in agent["capabilities"]) == 4096
    tags = agent["metadata"]["tags"].split(",")
    assert tags[:4] == ["b", "a", "t0", "t1"] and len(tags) == 100
    long_tags = [f"tag{i:02d}-" + "y" * 90 for i in range(60)]
    card.write_text(json.dumps({"name": "long", "provider": {"organization": "o" * 5000},
                                "skills": [{"name": "s", "tags": long_tags}]}))
    code, out, _ = run("--state", tmp_path / "s.json", "import-cards", card)
    assert "kept 42 of 60 distinct tags" in out and "cut the provider metadata" in out
    metadata = state_agents(tmp_path / "s.json")["long"]["metadata"]
    assert metadata["tags"].split(",") == long_tags[:42]  # whole tags only


WRITER = """
import sys
from kova_discovery.cli import main
state, who, kind = sys.argv[1:]
for i in range(50):
    argv = {"add": ["add", f"{who}{i}", "cap"],
            "feedback": ["feedback", "target", "success", "--query", f"{who} {i}"],
            "query": ["query", "does things"]}[kind]
    assert main(["--state", state, *argv]) == 0
"""


@pytest.mark.parametrize("kind", ["add", "feedback"])
def test_concurrent_writers_lose_nothing(tmp_path, kind):
    state = tmp_path / "s.json"
    assert run("--state", state, "add", "target", "does things")[0] == 0
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, str(state), who, job],
                              stdout=subprocess.DEVNULL)
             for who, job in (("a", kind), ("b", kind), ("r", "query"))]
    assert [p.wait(timeout=300) for p in procs] == [0, 0, 0]
    agents = state_agents(state)
    assert (len(agents), len(agents["target"]["feedback"])) == (
        (101, 0) if kind == "add" else (1, 100))
    assert [p.name for p in tmp_path.iterdir()] == ["s.json"]  # the lock file went too


def test_a_held_lock_times_out_cleanly(state, monkeypatch):
    before = state.read_bytes()
    monkeypatch.setattr(cli, "DEFAULT_TIMEOUT", 0.05)
    with state_lock(state):
        with pytest.raises(StateLockTimeout), state_lock(state, timeout=0):
            pass
        code, _, err = run("--state", state, "tick")
        assert code == 1 and "cannot lock state file" in err
        assert run("--state", state, "agents")[0] == 0  # readers do not wait
    assert state.read_bytes() == before and not lock_path(state).exists()


def test_json_output(state):
    docs = []
    for argv, keys in [
            (["query", "translate", "--limit", "2"], "query results more confidence"),
            (["query", "translate", "--explain"], "query results more confidence"),
            (["query", "translate", "--confidence"], "query results more confidence"),
            (["feedback", "legal-lingua", "success"],
             "agent outcome query diameter tau consecutive_failures"),
            (["add", "x", "cap"], "agent replaced capability_count agent_count state_created"),
            (["import-cards", DEMO_CARDS], "imported agent_count state_created"),
            (["remove", "x"], "removed agent_count"), (["tick"], "agent_count"),
            (["agents"], "agents"), (["drift"], "threshold min_samples agents")]:
        code, out, err = run("--state", state, "--json", *argv)
        docs.append(json.loads(out))
        assert code == 0 and set(docs[-1]) == set(keys.split()), (argv, err)
    plain, explained, confident = docs[:3]
    assert len(plain["results"]) == 2 and plain["more"] is True
    assert set(plain["results"][0]) == set("rank agent score similarity endpoint metadata "
                                           "explain".split()) and not plain["results"][0]["explain"]
    assert set(explained["results"][0]["explain"]) == {"similarity_band", "diameter", "enzyme",
                                                       "feedback"}
    assert confident["confidence"]["level"] in {"unanimous", "majority", "split"}
    assert docs[3]["tau"] == pytest.approx(0.06)
    assert {a["agent"] for a in docs[8]["agents"]} >= {"legal-lingua", "mail-sender"}


def test_colour_only_on_a_terminal(monkeypatch):
    monkeypatch.setenv("TERM", "xterm-256color")
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    for terminal, no_color, coloured in [(True, "", True), (True, "1", False), (False, "", False)]:
        monkeypatch.setenv("NO_COLOR", no_color)
        (out := io.StringIO()).isatty = lambda: terminal
        print_table(out, table(["agent"], [["a"]]))
        assert ("\x1b[" in out.getvalue()) == coloured, (terminal, no_color)


def test_a_file_only_a_program_can_load_says_so(tmp_path):
    path = tmp_path / "state.json"
    path.write_text('{"version": 1, "agents": [], "scorer": {"kind": "host"}}')
    code, _, err = run("--state", path, "agents")
    assert code == 1 and "LocalNetwork.load(path, scorer=...)" in err, err


@pytest.mark.parametrize("content", ["not json at all", '{"version": 99, "agents": []}',
                                     '{"agents": "nope"}', "", None,
                                     '{"version": 1, "agents": [], "scorer": {"kind": "bm25", '
                                     '"k1": -1}}'])
def test_unusable_or_missing_state_file_is_reported_and_kept(tmp_path, content):
    path = tmp_path / "state.json"
    content is None or path.write_text(content)
    messages = set()
    for argv in ([["add", "a", "cap"], ["import-cards", DEMO_CARDS]] if content else []) + [
            ["query", "x"], ["feedback", "a", "success"], ["tick"], ["agents"], ["drift"],
            ["remove", "a"]]:
        code, out, err = run("--state", path, *argv)
        assert code == 1 and out == "" and one_line_error(err), argv
        messages.add(err)
    if content is None:  # only add, import-cards and import-tools create a state file
        assert messages == {f"kova-discovery: error: state file {path} does not exist (add, "
                            "import-cards or import-tools create one)\n"} and list(
                                tmp_path.iterdir()) == []
        return
    assert len(messages) == 1 and path.read_text() == content, messages
    assert sorted(p.name for p in tmp_path.iterdir()) == ["state.json"]
    # a state file that cannot be written: the directory does not exist
    code, _, err = run("--state", tmp_path / "no" / "state.json", "add", "a", "cap")
    assert code == 1 and one_line_error(err) and not (tmp_path / "no").exists()


def test_module_and_console_script_entry_points(state):
    assert run("--version")[:2] == (0, f"kova-discovery {kova_discovery.__version__}\n")
    script = Path(sys.executable).with_name("kova-discovery")
    argv = [str(script)] if script.exists() else [sys.executable, "-m", "kova_discovery"]
    proc = subprocess.run([*argv, "--state", str(state), "feedback", "x", "success"],
                          capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stderr) == (1, "kova-discovery: error: unknown agent 'x'\n")
