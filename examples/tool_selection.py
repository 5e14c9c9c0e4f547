"""Tool selection for a language model: thousands of MCP servers, the few that fit a request.

An assistant can offer a model only a handful of tools per request. This example registers the
4,828 MCP servers of the shared tool corpus as tool definitions, picks the five to offer for a
few requests, then plays a team that reports which tool calls worked: their flight searches
work through one server (the others need accounts they lack), their chat messages go through
another. Asked again, those requests find the working server higher up, most of them first.

Requests worded in ways never reported do not rise here, and most fall a few places: with
only two of 4,828 tools remembering requests, query memory keeps their remembered words from
outweighing the other tools' descriptions, and the committee of kernels spreads load away
from the servers just used. Wording carries over once many tools have histories (``make
demo`` shows it on labelled queries).

    .venv/bin/python examples/tool_selection.py [--data DIR]

Without the corpus (``../shared/data/tools_corpus.jsonl`` beside the repository, or ``--data``)
it says so and exits.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys

from kova_discovery import Bm25Scorer, LocalNetwork
from kova_discovery.tools import record_tool_call, register_tools, select_tools

DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"

# (the server that works for this team, requests they made)
TASKS = [
    ("Google Flights MCP",
     ["find a flight from Berlin to Lisbon on Friday", "search one-way flights to Tokyo in May",
      "compare round-trip fares from London to New York", "flight options from Oslo to Rome"]),
    ("Slack MCP Server",
     ["post the release notes in the team channel", "send a message to the on-call channel",
      "tell the design channel the review moved to 3pm", "message the support channel"]),
]


def tool_definitions(corpus: pathlib.Path) -> list[dict]:
    """Each server of the corpus as an MCP tool definition."""
    with open(corpus, encoding="utf-8") as f:
        rows = [json.loads(line) for line in f]
    return [{"name": row["name"], "description": row["description"],
             "inputSchema": {"type": "object"}, "category": row["category"]} for row in rows]


def new_network() -> LocalNetwork:
    """The recommended configuration: BM25 over words, and query memory, which indexes the
    requests each tool succeeded on beside its description; that is what carries reported
    calls over to requests worded differently."""
    return LocalNetwork(scorer=Bm25Scorer(), query_memory=100)


def rank(network: LocalNetwork, request: str, tool: str) -> str:
    names = [t["name"] for t in select_tools(network, request, k=50)]
    return f"#{names.index(tool) + 1}" if tool in names else "not in the top 50"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=pathlib.Path, default=DATA)
    args = parser.parse_args()
    corpus = args.data / "tools_corpus.jsonl"
    if not corpus.exists():
        print(f"no tool corpus at {corpus}; nothing to show")
        return 0

    network = new_network()
    names = register_tools(network, tool_definitions(corpus))
    print(f"{len(names)} MCP servers registered as tools, ranked by Bm25Scorer() with "
          "query_memory=100\n")

    for request in ["take a screenshot of a web page", "run a read-only SQL query on Postgres",
                    "what is the weather in Paris tomorrow"]:
        offered = [t["name"] for t in select_tools(network, request, k=5)]
        print(f"{request!r}\n  offer the model: {', '.join(offered)}")

    before = {(tool, r): rank(network, r, tool) for tool, made in TASKS for r in made}
    for tool, made in TASKS:
        for request in made:
            # The model is offered five tools and calls them in order until one works.
            for offered in select_tools(network, request, k=5):
                worked = offered["name"] == tool
                record_tool_call(network, offered["name"], request, ok=worked)
                if worked:
                    break
            else:
                record_tool_call(network, tool, request, ok=True)  # found by other means

    print("\nthe requests asked again, rank of the server that works for this team:")
    for tool, made in TASKS:
        for request in made:
            print(f"  {request!r}: {tool} {before[(tool, request)]} -> "
                  f"{rank(network, request, tool)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
