"""The README's Python examples run as written: each "## " section's python blocks run in order
in one fresh namespace per section."""

import re

import pytest

from conftest import REPO, readme_python_blocks, run_blocks


def sections():
    text = (REPO / "README.md").read_text(encoding="utf-8")
    parts = re.split(r"^## (.+)$", text, flags=re.M)
    found = [("(intro)", parts[0])] + list(zip(parts[1::2], parts[2::2]))
    return [(title.strip(), body) for title, body in found]


CASES = [(title, body) for title, body in sections() if readme_python_blocks(body)]


@pytest.mark.parametrize("title, body", CASES, ids=[t for t, _ in CASES])
def test_section_examples_run(title, body, tmp_path, capsys):
    run_blocks(readme_python_blocks(body), f"README {title}", tmp_path)
    assert capsys.readouterr().out
