"""The demo and its shipped data."""

from __future__ import annotations

import io
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import kova_discovery
from kova_discovery import demo
from kova_discovery._native import capabilities_from_a2a_rust


def test_demo_runs_and_learns() -> None:
    out = io.StringIO()
    assert demo.run(out) == 0
    text = out.getvalue()
    assert "Traceback" not in text and "(no agent matched)" not in text
    # The agent that succeeded overtakes the one that failed, whatever their first order was.
    moved = re.search(r"^  (\S+): #(\d+) -> #(\d+); (\S+): #(\d+) -> #(\d+)$", text, re.M)
    assert moved, text
    assert moved.group(3) == "1" and moved.group(6) != "1"
    # The reloaded network answers as the original did.
    verdicts = re.findall(r"  (yes|NO)$", text.split("Save and load")[1], re.M)
    assert verdicts and set(verdicts) == {"yes"}


def test_demo_through_the_command_line() -> None:
    proc = subprocess.run([sys.executable, "-m", "kova_discovery", "demo"], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""


def test_demo_data_is_installed_and_well_formed() -> None:
    # Read from the installed package, which is what `make demo` uses.
    data = Path(kova_discovery.__file__).parent / "demo_data"
    agents = json.loads((data / "agents.json").read_text(encoding="utf-8"))["agents"]
    cards = sorted((data / "cards").glob("*.json"))
    assert 40 <= len(agents) + len(cards) <= 80
    assert 10 <= len(cards) <= 15

    names = [a["name"] for a in agents]
    for agent in agents:
        assert agent["capabilities"] and all(
            isinstance(c, str) and c.strip() for c in agent["capabilities"])
        assert re.match(r"(https|mcp)://", agent["endpoint"])
        assert all(isinstance(k, str) and isinstance(v, str)
                   for k, v in agent["metadata"].items())
        assert {"protocol", "region", "cost_per_call"} <= set(agent["metadata"])
        float(agent["metadata"]["cost_per_call"])
    for path in cards:
        card = json.loads(path.read_text(encoding="utf-8"))
        assert {"name", "description", "url", "version", "skills"} <= set(card)
        # one text for the card itself, one per skill
        assert len(capabilities_from_a2a_rust(card)) == 1 + len(card["skills"])
        names.append(card["name"])
    assert len(names) == len(set(names))


def test_demo_remembered_queries_lift_unseen_ones() -> None:
    out = io.StringIO()
    demo.learning_tour(demo.Tour(out))
    text = out.getvalue()
    if "section skipped" in text:
        pytest.skip("this build has no query memory")
    shares = re.search(r"unseen queries: ([\d.]+) -> ([\d.]+) with query memory", text)
    assert shares, text
    assert float(shares.group(2)) > float(shares.group(1))
