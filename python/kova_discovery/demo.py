"""A guided tour of kova_discovery on a built-in registry of about seventy agents.

Run it with ``python -m kova_discovery demo`` (or ``make demo``). It registers the agents that
ship in ``demo_data`` (a JSON registry and a folder of A2A agent cards), asks plain, filtered,
composed, explained and confidence queries, teaches the network with feedback, trips a circuit
breaker, and saves and reloads the learned state. Last, it shows a network that remembers what
users asked ranking queries it has never seen: on the labelled tool-selection data when it lies
in ``../shared/data`` (or ``$KOVA_DATA``), else on the requests in ``demo_data/queries.json``.
It only prints; nothing is left behind.
"""

from __future__ import annotations

import json
import os
import random
import sys
import tempfile
import time
from importlib import resources
from pathlib import Path
from typing import Any, TextIO

import kova_discovery
from kova_discovery._cards import card_endpoint, card_metadata
from kova_discovery._display import (
    confidence_line,
    explained_table,
    fmt_float,
    print_table,
    results_table,
    table,
)
from kova_discovery._native import (
    FilterValue,
    LocalNetwork,
    Query,
    capabilities_from_a2a_rust,
)

TOP = 5
# Metadata shown beside plain results: what the filters below select on.
META_COLUMNS = ("protocol", "region", "cost_per_call")


def data_dir() -> Path:
    return Path(str(resources.files("kova_discovery") / "demo_data"))


def load_agents() -> list[dict[str, Any]]:
    with open(data_dir() / "agents.json", encoding="utf-8") as f:
        agents: list[dict[str, Any]] = json.load(f)["agents"]
    return agents


def load_cards() -> list[tuple[Path, dict[str, Any]]]:
    cards = []
    for path in sorted((data_dir() / "cards").glob("*.json")):
        with open(path, encoding="utf-8") as f:
            cards.append((path, json.load(f)))
    return cards


def load_requests() -> list[tuple[str, str]]:
    with open(data_dir() / "queries.json", encoding="utf-8") as f:
        return [(q["query"], q["agent"]) for q in json.load(f)["queries"]]


def retrieval_dir() -> Path | None:
    """The labelled tool-selection data, where a checkout keeps it beside the repository."""
    root = os.environ.get("KOVA_DATA") or str(Path.cwd().parent / "shared" / "data")
    folder = Path(root) / "retrieval"
    if (folder / "tools.jsonl").is_file() and (folder / "queries_dev.jsonl").is_file():
        return folder
    return None


def _jsonl(path: Path) -> list[dict[str, Any]]:
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def learning_material() -> tuple[str, list[tuple[str, list[str]]], list[tuple[str, str]],
                                 list[tuple[str, str]]]:
    """(where from, agents with capabilities, requests to report, requests held out)."""
    folder = retrieval_dir()
    if folder is not None:
        agents = [(t["name"], [t["description"]]) for t in _jsonl(folder / "tools.jsonl")]
        known = {name for name, _ in agents}
        asked = [(q["query"], q["tools"][0]) for q in _jsonl(folder / "queries_dev.jsonl")
                 if len(q["tools"]) == 1 and q["tools"][0] in known]
        random.Random(7).shuffle(asked)
        cut = len(asked) // 5
        return (f"{folder}: {len(agents)} tools, each registered with its one-line "
                "description", agents, asked[cut:], asked[:cut])
    agents = [(a["name"], a["capabilities"]) for a in load_agents()]
    asked = load_requests()
    last = {agent: text for text, agent in asked}  # each agent's last request is held out
    held = [(text, agent) for agent, text in last.items()]
    return (f"demo_data/queries.json: requests to {len(held)} of the demo's "
            f"{len(agents)} agents", agents,
            [(t, a) for t, a in asked if last[a] != t], held)


def build_network() -> tuple[Any, int, int]:
    """A network with every demo agent registered; also returns the two counts."""
    network = LocalNetwork()
    agents = load_agents()
    for agent in agents:
        network.register(agent["name"], agent["capabilities"], endpoint=agent.get("endpoint"),
                         metadata=agent.get("metadata", {}))
    cards = load_cards()
    for path, card in cards:
        network.register(card["name"], capabilities_from_a2a_rust(card),
                         endpoint=card_endpoint(card), metadata=card_metadata(card, path))
    return network, len(agents), len(cards)


class Tour:
    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.step = 0

    def say(self, text: str = "") -> None:
        print(text, file=self.out)

    def section(self, title: str) -> None:
        self.step += 1
        heading = f"{self.step}. {title}"
        self.say()
        self.say(heading)
        self.say("=" * len(heading))

    def show(self, label: str, results: Any, explained: bool = False) -> None:
        self.say(label)
        if not results:
            self.say("  (no agent matched)")
            return
        if explained:
            rendered = explained_table(results[:TOP])
        else:
            rendered = results_table(results[:TOP], META_COLUMNS)
        print_table(self.out, rendered, indent="  ")
        if len(results) > TOP:
            self.say(f"  ... and {len(results) - TOP} more above the similarity threshold")


def rank_of(results: Any, name: str) -> int | None:
    for i, r in enumerate(results, 1):
        if r.agent_name == name:
            return i
    return None


def score_of(results: Any, name: str) -> str:
    for r in results:
        if r.agent_name == name:
            return fmt_float(r.score)
    return "-"


def describe_rank(rank: int | None) -> str:
    return f"#{rank}" if rank is not None else "not listed"


def run(out: TextIO | None = None) -> int:
    tour = Tour(out or sys.stdout)
    say = tour.say
    started = time.perf_counter()

    say("kova_discovery demo: agent discovery that learns from feedback")
    say("Scores are similarity x reasoning-kernel agreement x learned feedback. Agents whose")
    say("scores are statistically indistinguishable may swap places between runs (the engine")
    say("explores near-ties on purpose); nothing below depends on such a swap.")

    # ---------------------------------------------------------------------------------------
    tour.section("Register the agents")
    network, n_agents, n_cards = build_network()
    say(f"Registered {network.agent_count} agents: {n_agents} from demo_data/agents.json and "
        f"{n_cards} from A2A agent cards in demo_data/cards/.")
    example_path, example_card = next(
        (p, c) for p, c in load_cards() if p.name == "contract_review_agent.json"
    )
    say(f"An agent card becomes capability texts through capabilities_from_a2a_rust, e.g. "
        f"{example_path.name}:")
    for text in capabilities_from_a2a_rust(example_card):
        say(f"  - {text}")

    _query_tour(tour, network)
    _explain_tour(tour, network)
    _feedback_tour(tour, network)
    _breaker_tour(tour, network)
    _persistence_tour(tour, network)
    learning_tour(tour)

    say()
    say(f"Done in {time.perf_counter() - started:.2f} s. Next: kova-discovery --help, or the "
        "five-minute tour in README.md.")
    return 0


def _query_tour(tour: Tour, network: LocalNetwork) -> None:
    """Plain, filtered and composed queries."""
    say = tour.say
    tour.section("Plain queries")
    for text in ("translate a legal contract from German to English",
                 "transcribe audio to text",
                 "check calendar availability"):
        tour.show(f'discover("{text}")', network.discover(text))
        say()

    # ---------------------------------------------------------------------------------------
    tour.section("Metadata filters")
    text = "translate text"
    tour.show(f'discover("{text}")', network.discover(text))
    say()
    filters: dict[str, Any] = {"region": "eu", "cost_per_call": {"$lt": 0.05}}
    tour.show(f'discover("{text}", filters={{"region": "eu", "cost_per_call": {{"$lt": 0.05}}}})',
              network.discover(text, filters=filters))
    say()
    filters2 = {"protocol": FilterValue.one_of(["mcp", "a2a"])}
    tour.show('discover("process online payments", filters={"protocol": '
              'FilterValue.one_of(["mcp", "a2a"])})',
              network.discover("process online payments", filters=filters2))
    say("  (pay-gateway speaks REST, so the filter leaves it out)")

    # ---------------------------------------------------------------------------------------
    tour.section("Composed queries")
    composed = [
        ("all of two needs: the agent must match both (minimum of the two similarities)",
         Query.all("summarize meeting transcripts", "extract action items")),
        ("any of two phrasings (maximum)",
         Query.any("speech to text", "transcribe audio")),
        ("one need minus another: code review, but not security audits",
         Query.any("review code for bugs", "review pull requests").exclude(
             "security vulnerabilities")),
        ("a weighted blend: mostly invoices, a little payments",
         Query.weighted({"create invoices": 3.0, "process online payments": 1.0})),
    ]
    for label, composed_query in composed:
        tour.show(f"{label}\n  {composed_query!r}", network.discover(composed_query))
        say()


def _explain_tour(tour: Tour, network: LocalNetwork) -> None:
    """What explain=True and with_confidence=True add to the answers."""
    say = tour.say
    tour.section("Why did an agent win? explain=True")
    text = "review pull requests for security vulnerabilities"
    tour.show(f'discover("{text}", explain=True)', network.discover(text, explain=True),
              explained=True)
    say("  score = (1 + 0.2 x feedback) x (0.5 + 0.5 x enzyme) x similarity; the 95% band is")
    say("  the uncertainty of a 64-slot MinHash similarity; enzyme is the kernels' agreement.")

    # ---------------------------------------------------------------------------------------
    tour.section("How sure is the network? with_confidence=True")
    for text in ("schedule a meeting with several people", "send email"):
        response = network.discover(text, with_confidence=True)
        say(f'discover("{text}", with_confidence=True)')
        say(f"  {confidence_line(response)}")
        print_table(tour.out, results_table(response.results[:3], META_COLUMNS), indent="  ")
        say()


def _feedback_tour(tour: Tour, network: LocalNetwork) -> None:
    """Feedback reorders the agents for the query and similar ones."""
    say = tour.say
    tour.section("Learning from feedback")
    query = "translate documents from German to English"
    before = network.discover(query, explain=True)
    tour.show(f'before feedback: discover("{query}", explain=True)', before, explained=True)
    say(f"  {confidence_line(network.discover(query, with_confidence=True))}")
    if len(before) < 2:
        say("  (fewer than two candidates: nothing to reorder)")
    else:
        loser, winner = before[0].agent_name, before[1].agent_name
        say()
        say(f"The host calls {loser} twice and it fails; {winner} succeeds three times:")
        for _ in range(2):
            network.record_failure(loser, query=query)
        for _ in range(3):
            network.record_success(winner, query=query)
        say(f"  record_failure({loser!r}, query=...) x2; record_success({winner!r}, query=...) x3")
        say(f"  exploration epsilon is now {network.exploration_epsilon:.3f} (starts at 0.800)")
        say()
        after = network.discover(query, explain=True)
        tour.show(f'after feedback: discover("{query}", explain=True)', after, explained=True)
        say(f"  {winner}: {describe_rank(rank_of(before, winner))} -> "
            f"{describe_rank(rank_of(after, winner))}; "
            f"{loser}: {describe_rank(rank_of(before, loser))} -> "
            f"{describe_rank(rank_of(after, loser))}")
        say()
        similar = "translate documents from German into English"
        unrelated = "check calendar availability"
        factors = {r.agent_name: r.feedback_factor for r in network.discover(similar, explain=True)}
        say(f'a similar query learns too: for "{similar}" the feedback factors are '
            f"{winner} {factors.get(winner, 0.0):+.3f} and {loser} {factors.get(loser, 0.0):+.3f}")
        untouched = all(r.feedback_factor == 0.0 for r in network.discover(unrelated, explain=True))
        say(f'an unrelated query is {"not affected" if untouched else "affected"}: every feedback '
            f'factor for "{unrelated}" is {"0" if untouched else "not 0"}')
        say()
        response = network.discover(query, with_confidence=True)
        say(f'after feedback, "{query}" has {confidence_line(response)}')


def _breaker_tour(tour: Tour, network: LocalNetwork) -> None:
    """The circuit breaker opening and closing."""
    say = tour.say
    tour.section("Circuit breaker: five failures in a row take an agent out")
    text = "send email with attachments"
    results = network.discover(text)
    tour.show(f'discover("{text}")', results)
    if results:
        victim = results[0].agent_name
        for _ in range(5):
            network.record_failure(victim, query=text)
        say()
        say(f"record_failure({victim!r}) x5: its circuit opens")
        out_results = network.discover(text)
        tour.show(f'discover("{text}")', out_results)
        say(f"  {victim} is {'still listed' if rank_of(out_results, victim) else 'gone'}")
        network.tick()
        still = network.discover(text)
        say(f"after tick() (less than 60 s later) {victim} is "
            f"{'back' if rank_of(still, victim) else 'still out'}; after 60 s a tick lets it "
            "back on trial (half-open).")
        network.record_success(victim)
        back = network.discover(text)
        say(f"record_success({victim!r}) closes the circuit: {victim} is "
            f"{describe_rank(rank_of(back, victim))} again, now scoring {score_of(back, victim)} "
            f"instead of {score_of(results, victim)}: the failures stay in its memory for "
            "this query.")


def _persistence_tour(tour: Tour, network: LocalNetwork) -> None:
    """Saving and loading keep what the network learned."""
    say = tour.say
    tour.section("Save and load the learned state")
    checks = [
        "translate documents from German to English",
        "send email with attachments",
        "review pull requests for security vulnerabilities",
        "transcribe audio to text",
    ]
    with tempfile.TemporaryDirectory(prefix="kova-demo-") as tmp:
        path = Path(tmp) / "network.json"
        network.save(str(path))
        size = path.stat().st_size
        loaded = LocalNetwork.load(str(path))
        say(f"network.save(...) wrote {size} bytes; LocalNetwork.load(...) restored "
            f"{loaded.agent_count} agents with their routing state and feedback.")
        say("Both networks answer the same queries (ordered by score, then name, so that")
        say("shuffled near-ties compare equal):")
        rows = []
        identical = True
        for text in checks:
            a = _ranked(network.discover(text))
            b = _ranked(loaded.discover(text))
            same = [n for n, _ in a] == [n for n, _ in b] and all(
                abs(x - y) < 0.01 for (_, x), (_, y) in zip(a, b)
            )
            identical = identical and same
            rows.append((text, ", ".join(n for n, _ in a[:3]), "yes" if same else "NO"))
        print_table(tour.out, table(["query", "top 3 (original)", "same after load"], rows),
                    indent="  ")
        say("Not saved: circuit states (every agent starts closed) and the exploration schedule "
            f"(epsilon restarts at {loaded.exploration_epsilon:.3f}).")
        if not identical:
            say("(A difference above comes from kernels that read the clock: a loaded agent's")
            say(" last activity is the time of loading.)")


def learning_tour(tour: Tour) -> None:
    say = tour.say
    tour.section("Remembering what users asked: learning that carries to new queries")
    source, agents, reported, held_out = learning_material()
    learner = LocalNetwork(scorer=kova_discovery.Bm25Scorer(), query_memory=100)
    default = LocalNetwork()
    for network in (learner, default):
        for name, capabilities in agents:
            network.register(name, capabilities)
    say(f"Data: {source}.")
    say("LocalNetwork(scorer=Bm25Scorer(), query_memory=100) remembers, per agent, the")
    say("queries it succeeded on and matches new queries against them too.")

    def ranks(network: Any) -> list[int | None]:
        return [rank_of(network.discover(text), agent) for text, agent in held_out]

    before = ranks(learner)
    default_before = ranks(default)
    for text, agent in reported:
        learner.record_success(agent, query=text)
        default.record_success(agent, query=text)
    after = ranks(learner)
    say(f"Reported {len(reported)} successes with their queries, then asked "
        f"{len(held_out)} queries never reported:")
    say()
    # The queries the right agent did not win before: where learning has to show.
    order = [i for i in range(len(held_out)) if before[i] != 1] or list(range(len(held_out)))
    rows = []
    for i in order[:6]:
        text, agent = held_out[i]
        shown = text if len(text) <= 60 else text[:57] + "..."
        rows.append((shown, agent, describe_rank(before[i]), describe_rank(after[i])))
    print_table(tour.out, table(["query (never reported)", "right agent", "before", "after"],
                                rows), indent="  ")

    def share(got: list[int | None]) -> str:
        return f"{sum(r == 1 for r in got) / max(len(got), 1):.2f}"

    say()
    say(f"Right agent first, over all {len(held_out)} unseen queries: {share(before)} -> "
        f"{share(after)} with query memory; the default network taught the same way: "
        f"{share(default_before)} -> {share(ranks(default))}.")


def _ranked(results: Any) -> list[tuple[str, float]]:
    pairs = [(r.agent_name, float(r.score)) for r in results]
    return sorted(pairs, key=lambda p: (-round(p[1], 3), p[0]))[:TOP]


def main() -> int:
    return run(sys.stdout)


if __name__ == "__main__":
    sys.exit(main())
