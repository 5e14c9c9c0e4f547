"""Real data (labelled tools and real A2A cards): feedback lifts a labelled tool to the top of
its query, only for that query, and survives save and load.

Rankings are compared by `final_score` from `explain=True`: `discover` also shuffles
statistically indistinguishable agents on purpose, which would make list positions flaky."""

import json

import pytest

from conftest import SHARED_DATA as DATA
from kova_discovery import LocalNetwork, capabilities_from_a2a

TOOLS, QUERIES, CARDS = (DATA / "retrieval" / "tools.jsonl",
                         DATA / "retrieval" / "queries_dev.jsonl", DATA / "a2a_cards")
pytestmark = pytest.mark.skipif(
    not (TOOLS.exists() and QUERIES.exists() and CARDS.is_dir()), reason="shared data absent")


def read_jsonl(path):
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line]


def explained(network, query):
    return sorted(network.discover(query, explain=True), key=lambda r: -r.final_score)


def test_register_query_learn_save_load(tmp_path):
    network = LocalNetwork()
    for tool in read_jsonl(TOOLS):
        network.register(tool["name"], [tool["description"]], metadata={"source": "retrieval"})
    for path in sorted(CARDS.glob("*.json")):
        name = f"a2a:{path.stem}"
        network.register(name, capabilities_from_a2a(path), metadata={"protocol": "a2a"},
                         invoke=lambda text, n=name: f"{n}: {text}")
    labelled = [q for q in read_jsonl(QUERIES) if q["kind"] == "single_tool"][:200]
    pick = None
    for q in labelled:  # a labelled tool found, but not first
        order = [r.agent_name for r in explained(network, q["query"])]
        if q["tools"][0] in order[1:5]:
            pick = q["query"], q["tools"][0], order[0]
            break
    if pick is None:
        pytest.skip("no labelled query with its tool just below the top")
    query, want, top = pick
    for _ in range(3):
        network.record_success(want, query=query)
    network.record_failure(top, query=query)
    unrelated = next(q["query"] for q in labelled if q["tools"][0] not in (want, top))
    assert all(r.feedback_factor == 0.0 for r in network.discover(unrelated, explain=True))
    a2a = network.discover("convert currency exchange rates", filters={"protocol": "a2a"})
    assert a2a and a2a[0].invoke("hi") == f"{a2a[0].agent_name}: hi"
    network.save(str(tmp_path / "network.json"))
    restored = LocalNetwork.load(str(tmp_path / "network.json"))
    assert restored.agents() == network.agents()
    for net in (network, restored):
        first = explained(net, query)[0]
        assert (first.agent_name, first.feedback_factor) == (want, 1.0)
