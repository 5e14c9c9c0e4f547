"""Typed usage of the package, checked with ``mypy --strict`` by test_typing.py, which also runs
it: `assert_type` pins the types the stubs promise, so an overload or property that drifts is
caught, and running it keeps the example honest."""

from __future__ import annotations

import json
import tempfile
from pathlib import Path
from typing import assert_type

from kova_discovery import (
    Bm25Scorer, CircuitBreakerConfig, DiscoveryConfig, DiscoveryResponse, DiscoveryResult,
    ExplainedResult, FilterValue, HybridScorer, LocalNetwork, MycorrhizalPropagator, Query,
    TfIdfScorer, __version__, capabilities_from_a2a, capabilities_from_a2a_rust)
from kova_discovery.tools import record_tool_call, register_tools, select_tools


class WordScorer:
    """A host scorer: share of query words found in an agent's capabilities."""

    def __init__(self) -> None:
        self.words: dict[str, set[str]] = {}

    def index_capabilities(self, agent_id: str, capabilities: list[str]) -> None:
        self.words[agent_id] = {w for c in capabilities for w in c.lower().split()}

    def remove_agent(self, agent_id: str) -> None:
        self.words.pop(agent_id, None)

    def score(self, query: str) -> list[tuple[str, float]]:
        terms = set(query.lower().split()) or {""}
        return [(n, len(terms & words) / len(terms)) for n, words in self.words.items()]


def main() -> None:
    assert_type(__version__, str)
    network = LocalNetwork(similarity_threshold=0.1, query_memory=5)
    network.register("translator", ["translate documents between languages"],
                     endpoint="mcp://translator.example:7000/mcp",
                     metadata={"protocol": "mcp", "cost": "0.02"}, invoke=lambda s: s)
    network.register("summarizer", ("summarize long reports",))
    results = network.discover("translate a document", limit=5, filters={
        "cost": {"$lt": 0.05}, "protocol": "mcp", "tier": FilterValue.one_of(["a", "b"])})
    assert_type(results, list[DiscoveryResult])
    for r in results:
        assert_type((r.agent_name, r.score, r.endpoint, r.metadata),
                    tuple[str, float, str | None, dict[str, str]])
        print(r.invoke(r.agent_name) if r.invoke is not None else None)
    explained = network.discover("translate", explain=True)
    assert_type(explained[0].similarity_lower if explained else 0.0, float)
    assert_type(network.discover("translate", explain=True, with_confidence=True),
                list[ExplainedResult])
    response = network.discover("translate", with_confidence=True)
    assert_type(response, DiscoveryResponse)
    assert_type((response.recommended_parallelism, response.best_below_threshold),
                tuple[int, tuple[str, float] | None])
    assert_type((response[-1] if len(response) else None, [item for item in response]),
                tuple[DiscoveryResult | None, list[DiscoveryResult]])
    print(response.confidence, response.dissenting_kernel, response.alternative_agents)
    either = network.discover("translate", explain=bool(len(results)))
    assert_type(either, list[DiscoveryResult] | list[ExplainedResult] | DiscoveryResponse)
    assert_type(network.discover_many(["translate", "summarize"]), list[list[DiscoveryResult]])
    assert_type(network.discover_many(["translate"], explain=True), list[list[ExplainedResult]])
    composed = Query.all("translate", Query.any("document", "report")).exclude("medical")
    network.discover(Query.weighted({"translate": 2.0, "summarize": 1.0}))
    assert_type(network.discover(composed), list[DiscoveryResult])
    network.record_success("translator", query="translate a document")
    network.record_failure("summarizer")
    network.tick()
    assert_type(network.remembered("translator"), list[str])
    assert_type(network.routing_state("translator")["tau"], float)
    assert_type((network.agent_count, network.exploration_epsilon), tuple[int, float])
    assert_type((network.agents(), network.deregister("nobody")), tuple[list[str], bool])
    network.enable_replay(max_events=100)
    assert_type((network.replay_enabled, network.replay_event_count), tuple[bool, int])
    print(network.replay_events(), network.detect_drift(threshold=0.3, min_samples=5))
    network.replay_clear()
    with tempfile.TemporaryDirectory() as tmp:
        network.save(path := str(Path(tmp) / "state.json"))
        assert_type(LocalNetwork.load(path), LocalNetwork)
        card = {"name": "legal-assistant", "skills": [{"name": "review", "tags": ["legal"]}]}
        (card_path := Path(tmp) / "card.json").write_text(json.dumps(card), encoding="utf-8")
        assert_type(capabilities_from_a2a(card_path), list[str])
        assert capabilities_from_a2a(json.dumps(card)) == capabilities_from_a2a_rust(card)
    config = DiscoveryConfig(similarity_threshold=0.2, max_disagreement_split=2)
    assert_type((config.tie_epsilon, config.max_feedback_records), tuple[float, int])
    LocalNetwork(config=config)
    custom = LocalNetwork(scorer=WordScorer())
    bm25 = Bm25Scorer(stemmer=None, memory_weight=0.5)
    assert_type(bm25.stop_words, str | None)
    fused = HybridScorer([(bm25, 0.7), (TfIdfScorer(), 0.3), (WordScorer(), 0.3)])
    assert_type(fused.scorers[0][1], float)
    LocalNetwork(scorer=fused)
    print(CircuitBreakerConfig.with_threshold_and_timeout(3, 30), CircuitBreakerConfig(),
          MycorrhizalPropagator.with_config(0.5, 0.2), MycorrhizalPropagator(),
          FilterValue.exact("a"), FilterValue.contains("b"), FilterValue.greater_than(2))
    tool = {"name": "get_weather", "description": "Weather forecast", "inputSchema": {}}
    assert_type(register_tools(custom, [tool], source="app"), list[str])
    assert select_tools(custom, "weather forecast", 1, filters={"tool_source": "app"}) == [tool]
    record_tool_call(custom, "get_weather", "weather forecast", ok=True)


if __name__ == "__main__":
    main()
