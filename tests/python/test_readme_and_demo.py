"""The README's Python examples run as written (each "## " section's python blocks in order, in
one fresh namespace per section, in a scratch working directory), and so does the demo."""

import re
import subprocess
import sys

import pytest

from conftest import REPO

PARTS = re.split(r"^## (.+)$", (REPO / "README.md").read_text(encoding="utf-8"), flags=re.M)
SECTIONS = [(title.strip(), re.findall(r"^```python\n(.*?)^```", body, flags=re.M | re.S))
            for title, body in [("(intro)", PARTS[0]), *zip(PARTS[1::2], PARTS[2::2])]]
CASES = [(title, blocks) for title, blocks in SECTIONS if blocks]


@pytest.mark.parametrize("title, blocks", CASES, ids=[t for t, _ in CASES])
def test_section_examples_run(title, blocks, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for i, block in enumerate(blocks, 1):
        exec(compile(block, f"README {title} block {i}", "exec"), namespace)
    assert capsys.readouterr().out


def test_demo_through_the_command_line_on_its_installed_data():
    proc = subprocess.run([sys.executable, "-m", "kova_discovery", "demo"], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert "OneOf" not in proc.stdout  # calls it shows can be pasted
    # The reloaded network answers as the original did.
    verdicts = re.findall(r"  (yes|NO)$", proc.stdout.split("Save and load")[1], re.M)
    assert verdicts and set(verdicts) == {"yes"}
