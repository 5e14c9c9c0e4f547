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


def test_layout_and_essentials():
    found = sections()
    intro = found[0][1]
    assert intro.startswith("# kova_discovery\n")
    assert "make demo" in intro and "make test" in intro
    assert found[1][0] == "Usage"
    usage = "\n".join(readme_python_blocks(dict(found)["Usage"]))
    for needle in ("register(", "discover(", "filters=", "Query.", "record_success(",
                   "with_confidence=True", ".save(", "LocalNetwork.load("):
        assert needle in usage, needle
    assert len(readme_python_blocks(dict(found)["Five-minute tour"])) >= 8


CASES = [(title, body) for title, body in sections() if readme_python_blocks(body)]


@pytest.mark.parametrize("title, body", CASES, ids=[t for t, _ in CASES])
def test_section_examples_run(title, body, tmp_path, capsys):
    run_blocks(readme_python_blocks(body), f"README {title}", tmp_path)
    assert capsys.readouterr().out
