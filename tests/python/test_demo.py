"""The demo and its shipped data."""

import json
import re
import subprocess
import sys
from pathlib import Path

import kova_discovery


def test_demo_through_the_command_line_on_its_installed_data():
    proc = subprocess.run([sys.executable, "-m", "kova_discovery", "demo"], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    # The reloaded network answers as the original did.
    verdicts = re.findall(r"  (yes|NO)$", proc.stdout.split("Save and load")[1], re.M)
    assert verdicts and set(verdicts) == {"yes"}
    # Read from the installed package, which is what `make demo` uses: a name given twice
    # would silently replace an agent.
    data = Path(kova_discovery.__file__).parent / "demo_data"
    names = [a["name"] for a in json.loads((data / "agents.json").read_text())["agents"]]
    names += [json.loads(p.read_text())["name"] for p in (data / "cards").glob("*.json")]
    assert len(names) == len(set(names)) >= 40
