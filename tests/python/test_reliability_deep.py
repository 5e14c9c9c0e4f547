"""Queries nested far deeper than any real use, from Python. Construction, copying (every
composition copies its operands), representation, discovery and destruction all run on a
thread with a small stack, where a walk that recursed per level would crash the process.

KOVA_DEEP_LEVELS sets the depth (default 4000; each level of composition copies the whole
query built so far, so building costs grow with the square of the depth).
"""

import os
import threading

from kova_discovery._native import LocalNetwork, Query

LEVELS = int(os.environ.get("KOVA_DEEP_LEVELS", "4000"))
SMALL_STACK = 256 * 1024


def on_small_stack(body):
    outcome = {}

    def run():
        try:
            outcome["value"] = body()
        except BaseException as e:  # noqa: BLE001 - handed back to the test thread
            outcome["error"] = e

    old = threading.stack_size(SMALL_STACK)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


class EveryAgent:
    def __init__(self):
        self.names = []

    def index_capabilities(self, name, capabilities):
        self.names.append(name)

    def remove_agent(self, name):
        self.names.remove(name)

    def score(self, query):
        return [(n, 0.9 if query == "base" else 0.0) for n in self.names]


def test_chained_exclusions():
    def body():
        q = Query.all("base")
        for _ in range(LEVELS):
            q = q.exclude("x")
        text = repr(q)
        assert text.count("Exclude { base: ") == LEVELS
        net = LocalNetwork(scorer=EveryAgent())
        net.register("agent", ["anything"])
        assert [r.agent_name for r in net.discover(q)] == ["agent"]
        response = net.discover(q, with_confidence=True)
        assert len(response) == 1
        explained = net.discover(q, explain=True)
        assert explained[0].raw_similarity == 0.9
        del q, net  # the whole tree is torn down here, on the small stack

    on_small_stack(body)


def test_nested_all_and_any():
    def body():
        q = Query.all("base")
        for i in range(LEVELS):
            q = Query.all(q) if i % 2 else Query.any(q, "x")
        assert repr(q).startswith("Query(All([Any([All([")
        net = LocalNetwork(scorer=EveryAgent())
        net.register("agent", ["anything"])
        results = net.discover(q)
        assert [r.agent_name for r in results] == ["agent"]
        del q

    on_small_stack(body)
