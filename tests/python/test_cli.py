"""The kova-discovery command line: each command on good and bad input."""

from __future__ import annotations

import contextlib
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import REPO, SHARED_DATA
from kova_discovery._native import LocalNetwork
from kova_discovery.cli import main

DEMO_CARDS = REPO / "python" / "kova_discovery" / "demo_data" / "cards"


def run(*argv: str | os.PathLike[str]) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            code = main([str(a) for a in argv])
        except SystemExit as exc:  # argparse usage errors and --help
            code = int(exc.code or 0)
    return code, out.getvalue(), err.getvalue()


def assert_one_line_error(err: str) -> None:
    lines = err.splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("kova-discovery: error: "), err
    assert "Traceback" not in err


@pytest.fixture
def state(tmp_path: Path) -> Path:
    """A state file with four agents whose metadata the filter tests select on."""
    path = tmp_path / "state.json"
    agents = [
        ("deepl-bridge", ["translate documents between European languages"],
         ["region=eu", "cost=0.02", "protocol=rest", "tags=translation,documents"]),
        ("legal-lingua", ["translate legal contracts", "legal translation"],
         ["region=eu", "cost=0.40", "protocol=a2a", "tags=translation,legal"]),
        ("polyglot-mt", ["translate text between 120 languages"],
         ["region=us", "cost=0.005", "protocol=mcp", "tags=translation"]),
        ("mail-sender", ["send email with attachments"],
         ["region=us", "cost=0.001", "protocol=rest"]),
    ]
    for name, caps, meta in agents:
        code, _, err = run("--state", path, "add", name, *caps, "--endpoint",
                           f"https://agents.example.com/{name}", "--meta", *meta)
        assert code == 0, err
    return path


def state_agents(path: Path) -> dict[str, dict]:
    return {a["name"]: a for a in json.loads(path.read_text())["agents"]}


def result_names(out: str) -> list[str]:
    """Agent names of a rendered result table (rows start with a rank)."""
    rows = [line.split() for line in out.splitlines()]
    return [parts[1] for parts in rows if len(parts) >= 2 and parts[0].isdigit()]


def test_add_registers_and_replaces(state: Path, tmp_path: Path) -> None:
    legal = state_agents(state)["legal-lingua"]
    assert legal["capabilities"] == ["translate legal contracts", "legal translation"]
    assert legal["endpoint"] == "https://agents.example.com/legal-lingua"
    assert legal["metadata"] == {"region": "eu", "cost": "0.40", "protocol": "a2a",
                                 "tags": "translation,legal"}

    assert run("--state", state, "feedback", "mail-sender", "failure")[0] == 0
    code, out, _ = run("add", "mail-sender", "send newsletters", "--state", state)
    assert code == 0 and "re-registered" in out
    agent = state_agents(state)["mail-sender"]
    assert agent["capabilities"] == ["send newsletters"]
    assert agent["consecutive_pulse_timeouts"] == 0 and agent["metadata"] == {}

    assert run("--state", tmp_path / "s.json", "add", "n" * 256, "cap")[0] == 0


@pytest.mark.parametrize(
    "code, argv",
    [
        (1, ["add", "x", "cap", "--meta", "novalue"]),
        (1, ["add", "x", "cap", "--meta", "=v"]),
        (1, ["add", "", "cap"]),
        (1, ["add", "n" * 257, "cap"]),
        (1, ["add", "\u00e9" * 129, "cap"]),  # 258 bytes in UTF-8
        (1, ["query", "x", "--filter", "region"]),
        (1, ["query", "x", "--filter", "=eu"]),
        (1, ["query", "x", "--filter", "cost<abc"]),
        (1, ["query", "x", "--filter", "cost< 5"]),
        (1, ["query", "x", "--filter", "cost<1_0"]),
        (1, ["query", "x", "--filter", "region=eu", "--filter", "region=us"]),
        (1, ["feedback", "nobody", "success"]),
        (1, ["import-cards", "/no/such/card.json"]),
        (2, ["add", "only-a-name"]),
        (2, ["frobnicate"]),
        (2, []),
        (2, ["query", "x", "--explain", "--confidence"]),
        (2, ["feedback", "mail-sender", "maybe"]),
        (2, ["drift", "--min-samples", "-1"]),
        (2, ["drift", "--threshold", "high"]),
    ],
)
def test_bad_input_fails_in_one_line_and_keeps_state(state: Path, code: int,
                                                     argv: list[str]) -> None:
    before = state.read_bytes()
    got, out, err = run("--state", state, *argv)
    assert (got, out) == (code, "")
    assert len(err.splitlines()) == 1 and "error: " in err and "Traceback" not in err
    assert state.read_bytes() == before


@pytest.mark.parametrize(
    "filters, expected",
    [
        (["region=eu"], {"deepl-bridge", "legal-lingua"}),
        (["cost<0.1"], {"deepl-bridge", "polyglot-mt"}),
        (["cost>0.01"], {"deepl-bridge", "legal-lingua"}),
        (["tags~legal"], {"legal-lingua"}),
        (["protocol:mcp,a2a"], {"legal-lingua", "polyglot-mt"}),
        (["region=eu", "cost<0.1"], {"deepl-bridge"}),
        (["region=EU"], set()),
    ],
)
def test_query_filter_forms(state: Path, filters: list[str], expected: set[str]) -> None:
    argv: list[str | Path] = ["--state", state, "query", "translate"]
    for f in filters:
        argv += ["--filter", f]
    code, out, _ = run(*argv)
    assert code == 0
    assert set(result_names(out)) == expected


def test_query_modes(state: Path, tmp_path: Path) -> None:
    forwards = sum(a["forwards_count"] for a in state_agents(state).values())
    code, out, _ = run("--state", state, "query", "translate", "legal", "contracts")
    assert code == 0 and result_names(out)[0] == "legal-lingua"
    assert "mail-sender" not in result_names(out)
    assert "https://agents.example.com/legal-lingua" in out
    # discovery counts forwards, which later rankings read: the state keeps them
    assert sum(a["forwards_count"] for a in state_agents(state).values()) > forwards

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

    missing = tmp_path / "none.json"
    code, out, _ = run("--state", missing, "query", "anything")
    assert code == 0 and "no agent matched" in out and not missing.exists()


def test_feedback_tick_and_agents(state: Path, tmp_path: Path) -> None:
    query = "translate documents"
    code, out, _ = run("--state", state, "feedback", "legal-lingua", "success", "--query", query)
    assert code == 0 and "recorded success for legal-lingua" in out
    legal = state_agents(state)["legal-lingua"]
    assert legal["tau"] == pytest.approx(0.06)
    assert [f["outcome"] for f in legal["feedback"]] == [1.0]
    for _ in range(2):
        assert run("--state", state, "feedback", "deepl-bridge", "failure", "--query", query)[0] == 0

    code, out, _ = run("--state", state, "query", query, "--explain")
    rows = {line.split()[1]: line.split() for line in out.splitlines()[2:]}
    assert float(rows["legal-lingua"][-1]) > 0 > float(rows["deepl-bridge"][-1])

    code, out, _ = run("--state", state, "tick")
    assert code == 0 and "4 agents" in out
    assert state_agents(state)["legal-lingua"]["tau"] == pytest.approx(0.06 * 0.995)

    code, out, _ = run("--state", state, "agents")
    lines = out.splitlines()
    assert lines[0].split()[:5] == ["agent", "diameter", "tau", "forwards", "failures"]
    rows = {line.split()[0]: line.split() for line in lines[2:]}
    assert sorted(rows) == ["deepl-bridge", "legal-lingua", "mail-sender", "polyglot-mt"]
    assert rows["deepl-bridge"][1] == "0.900" and rows["deepl-bridge"][4:6] == ["2", "2"]

    code, out, _ = run("--state", tmp_path / "nothing.json", "agents")
    assert code == 0 and "no agents" in out


def test_drift(state: Path) -> None:
    code, out, _ = run("--state", state, "drift")
    assert code == 0 and "no agent has 5" in out
    for query in ["send email with attachments"] * 3 + ["bake a chocolate cake"] * 3:
        run("--state", state, "feedback", "mail-sender", "success", "--query", query)
    code, out, _ = run("--state", state, "drift", "--min-samples", "6", "--threshold", "0.9")
    row = out.splitlines()[2].split()
    assert row[0] == "mail-sender" and row[2] == "6" and row[3] == "DRIFTED"
    assert 0.4 < float(row[1]) < 0.9
    code, out, _ = run("--state", state, "drift", "--min-samples", "6", "--threshold", "0.0")
    assert out.splitlines()[2].split()[3] == "ok"



def test_import_cards_from_directory_and_file(tmp_path: Path) -> None:
    path = tmp_path / "s.json"
    code, out, err = run("--state", path, "import-cards", DEMO_CARDS)
    assert code == 0, err
    agents = state_agents(path)
    assert len(agents) == len(list(DEMO_CARDS.glob("*.json")))
    contract = agents["Contract Review Agent"]
    assert contract["capabilities"][0] == (
        "Contract Review Agent: Reviews commercial contracts and highlights risky clauses")
    assert contract["endpoint"] == "https://agents.example.com/a2a/contract-review"
    assert contract["metadata"]["protocol"] == "a2a"
    assert contract["metadata"]["tags"] == "legal,nda,contracts,diff"

    code, out, _ = run("--state", path, "query", "review a non-disclosure agreement",
                       "--filter", "tags~nda")
    assert result_names(out)[:1] == ["Contract"]  # "Contract Review Agent", split on spaces

    # a card without "url" takes the first interface URL; a card without name, its file name
    card = {"description": "Reverses words",
            "supportedInterfaces": [{"url": "http://127.0.0.1:9999/reverse"}]}
    (tmp_path / "reverser.json").write_text(json.dumps(card))
    assert run("--state", path, "import-cards", tmp_path / "reverser.json")[0] == 0
    reverser = state_agents(path)["reverser"]
    assert reverser["endpoint"] == "http://127.0.0.1:9999/reverse"
    assert reverser["capabilities"] == ["Reverses words"]


@pytest.mark.parametrize(
    "content",
    ['{"name": "broken", ', "[1, 2, 3]", '"just a string"', "{}", '{"name": 42}',
     b"\xff\xfe\x00garbage", None],
)
def test_import_cards_rejects_bad_cards_and_imports_nothing(
    state: Path, tmp_path: Path, content: str | bytes | None
) -> None:
    good = tmp_path / "good.json"
    good.write_text(json.dumps({"name": "good-agent", "description": "does good things"}))
    bad = tmp_path / "bad.json"
    if isinstance(content, bytes):
        bad.write_bytes(content)
    elif content is not None:
        bad.write_text(content)
    else:
        bad.mkdir()  # a directory without cards
    before = state.read_bytes()
    code, out, err = run("--state", state, "import-cards", good, bad)
    assert code == 1 and out == ""
    assert_one_line_error(err)
    assert "bad.json" in err
    assert state.read_bytes() == before



@pytest.mark.parametrize(
    "content",
    ["not json at all", '{"version": 99, "agents": []}', '{"agents": "nope"}', ""],
)
def test_unusable_state_file_is_reported_and_kept(tmp_path: Path, content: str) -> None:
    path = tmp_path / "state.json"
    path.write_text(content)
    before = path.read_bytes()
    for argv in (["add", "a", "cap"], ["query", "x"], ["feedback", "a", "success"], ["tick"],
                 ["agents"], ["drift"], ["import-cards", DEMO_CARDS]):
        code, out, err = run("--state", path, *argv)
        assert code == 1, argv
        assert_one_line_error(err)
        assert path.read_bytes() == before, argv
    assert sorted(p.name for p in tmp_path.iterdir()) == ["state.json"]

    # a state file that cannot be written: the directory does not exist
    code, _, err = run("--state", tmp_path / "no" / "state.json", "add", "a", "cap")
    assert code == 1 and not (tmp_path / "no").exists()
    assert_one_line_error(err)



def test_module_and_console_script_entry_points(state: Path) -> None:
    proc = subprocess.run(
        [sys.executable, "-m", "kova_discovery", "--state", str(state), "query",
         "send email"],
        capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert result_names(proc.stdout)[0] == "mail-sender"

    proc = subprocess.run(
        [sys.executable, "-m", "kova_discovery", "--state", str(state), "feedback", "x",
         "success"],
        capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 1
    assert proc.stderr == "kova-discovery: error: unknown agent 'x'\n"

    script = Path(sys.executable).with_name("kova-discovery")
    if script.exists():
        proc = subprocess.run([str(script), "--help"], capture_output=True, text=True,
                              timeout=60)
        assert proc.returncode == 0 and "import-cards" in proc.stdout



@pytest.mark.skipif(not SHARED_DATA.is_dir(), reason="shared data not available")
def test_real_cards_and_tool_corpus(tmp_path: Path) -> None:
    path = tmp_path / "real.json"
    # The tool corpus goes in through the API (thousands of `add` runs would only be slow)...
    network = LocalNetwork()
    with open(SHARED_DATA / "tools_corpus.jsonl", encoding="utf-8") as f:
        for line in f:
            tool = json.loads(line)
            network.register(tool["name"], [tool["description"]], endpoint=tool.get("url"),
                             metadata={"category": tool["category"], "source": tool["source"]})
    count = network.agent_count
    network.save(str(path))

    # ...every real A2A card through the command line.
    cards = sorted((SHARED_DATA / "a2a_cards").glob("*.json"))
    code, out, err = run("--state", path, "import-cards", SHARED_DATA / "a2a_cards")
    assert code == 0, err
    assert err == ""
    assert out.count("imported ") == len(cards)
    assert len(state_agents(path)) > count

    for argv in (
        ["query", "check my calendar availability"],
        ["query", "convert currency exchange rates", "--confidence"],
        ["query", "search academic papers", "--explain"],
        ["query", "query a postgres database", "--filter", "category~database"],
        ["query", "manage calendar", "--filter", "protocol=a2a", "--filter", "tags~calendar"],
        ["agents"],
        ["drift", "--min-samples", "0"],
    ):
        code, out, err = run("--state", path, *argv)
        assert code == 0, (argv, err)
        assert err == ""
        if argv[:2] == ["query", "manage calendar"]:
            assert any("alendar" in line for line in out.splitlines()[2:])
