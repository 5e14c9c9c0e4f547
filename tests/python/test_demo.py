"""The demo and its shipped data."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import kova_discovery
from kova_discovery._native import capabilities_from_a2a_rust


def test_demo_through_the_command_line() -> None:
    proc = subprocess.run([sys.executable, "-m", "kova_discovery", "demo"], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == "" and "Traceback" not in proc.stdout
    # The reloaded network answers as the original did.
    verdicts = re.findall(r"  (yes|NO)$", proc.stdout.split("Save and load")[1], re.M)
    assert verdicts and set(verdicts) == {"yes"}


def test_demo_data_is_installed_and_well_formed() -> None:
    # Read from the installed package, which is what `make demo` uses.
    data = Path(kova_discovery.__file__).parent / "demo_data"
    agents = json.loads((data / "agents.json").read_text(encoding="utf-8"))["agents"]
    cards = sorted((data / "cards").glob("*.json"))
    assert 40 <= len(agents) + len(cards) <= 80 and 10 <= len(cards) <= 15
    names = [a["name"] for a in agents]
    for agent in agents:
        assert agent["capabilities"] and all(c.strip() for c in agent["capabilities"])
        assert re.match(r"(https|mcp)://", agent["endpoint"])
        assert {"protocol", "region", "cost_per_call"} <= set(agent["metadata"])
        float(agent["metadata"]["cost_per_call"])
    for path in cards:
        card = json.loads(path.read_text(encoding="utf-8"))
        assert {"name", "description", "url", "version", "skills"} <= set(card)
        assert len(capabilities_from_a2a_rust(card)) == 1 + len(card["skills"])
        names.append(card["name"])
    assert len(names) == len(set(names))
