"""Helpers shared by the Python tests."""

import os
import pathlib
import re

from kova_discovery import LocalNetwork

REPO = pathlib.Path(__file__).resolve().parents[2]
# A worktree beside the checkout names the data directory explicitly.
SHARED_DATA = pathlib.Path(os.environ.get("KOVA_SHARED_DATA", REPO.parent / "shared" / "data"))


def exact(msg):
    """A `match=` pattern accepting exactly `msg`."""
    return "^" + re.escape(msg) + "$"


def names(results):
    return {r.agent_name for r in results}


def similarities(results):
    return {r.agent_name: r.similarity for r in results}


class TableScorer:
    """Host scorer answering each query text from a table (text -> {agent: similarity}); an
    unknown text raises, which the engine treats as a scoring failure. Calls are recorded."""

    def __init__(self, table):
        self.table = table
        self.calls = []

    def index_capabilities(self, name, capabilities):
        self.calls.append(("index", name, capabilities))

    def remove_agent(self, name):
        self.calls.append(("remove", name))

    def score(self, query):
        self.calls.append(("score", query))
        return list(self.table[query].items())


def scored_network(table, agents):
    """A network over a TableScorer; `agents` maps each name to its register() keywords."""
    net = LocalNetwork(scorer=TableScorer(table))
    for name, kwargs in agents.items():
        net.register(name, [name], **kwargs)
    return net
