"""The README's Python examples run as written.

Each "## " section's python blocks run in order in one fresh namespace per section. The
five-minute tour is exercised by test_demo.py, so it is left out here.
"""

import os
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
TESTED_ELSEWHERE = {"Five-minute tour"}


def sections():
    text = README.read_text(encoding="utf-8")
    parts = re.split(r"^## (.+)$", text, flags=re.M)
    intro, rest = parts[0], parts[1:]
    found = [("(intro)", intro)] + list(zip(rest[::2], rest[1::2]))
    return [(title.strip(), body) for title, body in found]


def python_blocks(body):
    return re.findall(r"^```python\n(.*?)^```", body, flags=re.M | re.S)


def test_intro_and_make_commands_come_first():
    title, intro = sections()[0]
    assert intro.startswith("# kova_discovery\n")
    assert "make demo" in intro and "make test" in intro
    assert sections()[1][0] == "Usage"


CASES = [(title, body) for title, body in sections()
         if python_blocks(body) and title not in TESTED_ELSEWHERE]


@pytest.mark.parametrize("title, body", CASES, ids=[t for t, _ in CASES])
def test_section_examples_run(title, body, tmp_path, capsys):
    namespace = {"__name__": "__readme__"}
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        for i, block in enumerate(python_blocks(body), 1):
            exec(compile(block, f"README {title} block {i}", "exec"), namespace)
    finally:
        os.chdir(cwd)
    assert capsys.readouterr().out


def test_usage_section_covers_the_essentials():
    usage = dict(sections())["Usage"]
    code = "\n".join(python_blocks(usage))
    for needle in ("register(", "discover(", "filters=", "Query.", "record_success(",
                   "with_confidence=True", ".save(", "LocalNetwork.load("):
        assert needle in code, needle
