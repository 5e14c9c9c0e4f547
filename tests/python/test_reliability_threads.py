"""Many host threads on several networks, with a host scorer that lets other threads run in the
middle of a call. The only errors allowed are the two borrow RuntimeErrors; every call that did
succeed must be accounted for in the network's state afterwards.

KOVA_STRESS_CALLS sets the number of calls per thread (default 4000).
"""

import collections
import os
import random
import sys
import threading
import time

import pytest

from kova_discovery._native import LocalNetwork, Query

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
CALLS_PER_THREAD = int(os.environ.get("KOVA_STRESS_CALLS", "4000"))
THREADS = 8


class YieldingScorer:
    """Scores every indexed agent; gives up the interpreter lock inside each method."""

    def __init__(self):
        self.names = {}

    def index_capabilities(self, name, capabilities):
        time.sleep(0)
        self.names[name] = len(capabilities)

    def remove_agent(self, name):
        time.sleep(0)
        self.names.pop(name, None)

    def score(self, query):
        time.sleep(0)
        total = sum(ord(c) for c in query[:32])  # a little work between switches
        time.sleep(0)
        return [(name, 0.3 + (total + len(name)) % 7 / 10) for name in list(self.names)]


class Ledger:
    """What each network should show, counted from successful calls only."""

    def __init__(self):
        self.lock, self.agents, self.unexpected = threading.Lock(), set(), []
        self.counts = collections.Counter()

    def add(self, key, n=1):
        with self.lock:
            self.counts[key] += n


def worker(tid, networks, ledgers, seed, barrier):
    rng = random.Random(seed)
    mine = []  # (network index, name) registered by this thread and not yet removed
    barrier.wait()
    for i in range(CALLS_PER_THREAD):
        k = rng.randrange(len(networks))
        net, ledger, op = networks[k], ledgers[k], rng.randrange(12)
        try:
            if op in (0, 1):
                name = f"t{tid}-{i}"
                net.register(name, [f"capability {i % 17} of thread {tid}", "shared words"])
                with ledger.lock:
                    ledger.agents.add(name)
                mine.append((k, name))
            elif op == 2 and mine:
                k2, name = mine[j := rng.randrange(len(mine))]
                assert networks[k2].deregister(name), name
                with ledgers[k2].lock:
                    ledgers[k2].agents.discard(name)
                mine.pop(j)
            elif op in (3, 4):
                ledger.add("agent_scored", len(net.discover(f"capability {i % 17} shared")))
                ledger.add("query_submitted")
            elif op == 5:  # composed queries are not written to the replay log
                net.discover(Query.any("capability", Query.all("shared").exclude("x")))
            elif op == 6:
                many = net.discover_many(["shared words", f"thread {tid}"])
                ledger.add("query_submitted", 2)
                ledger.add("agent_scored", sum(len(r) for r in many))
            elif op in (7, 8):
                name = f"t{tid}-{rng.randrange(i + 1)}"
                net.record_success(name, query="shared words") if op == 7 else \
                    net.record_failure(name)
                ledger.add("feedback_recorded")
            elif op == 9:
                net.tick()
                ledger.add("tick_applied")
            elif op == 10:
                assert net.agent_count >= 0 and net.replay_event_count >= 0 and net.agents() != 1
            else:
                net.detect_drift(min_samples=1)
                net.exploration_epsilon  # noqa: B018
        except BaseException as e:  # noqa: BLE001 - anything else is a failure to report
            if type(e) is RuntimeError and str(e) in BORROW_ERRORS:
                ledger.add("refused")
            else:
                with ledger.lock:
                    ledger.unexpected.append(repr(e))


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_hammering_networks(fast_switching):
    networks = [LocalNetwork(scorer=YieldingScorer()) for _ in range(3)]
    for net in networks:
        net.enable_replay(10_000_000)
    ledgers = [Ledger() for _ in networks]
    barrier = threading.Barrier(THREADS)
    threads = [threading.Thread(target=worker, args=(t, networks, ledgers, 300 + t, barrier))
               for t in range(THREADS)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    for net, ledger in zip(networks, ledgers):
        assert ledger.unexpected == []
        assert set(net.agents()) == ledger.agents and net.agent_count == len(ledger.agents)
        kinds = collections.Counter(e["type"] for e in net.replay_events())
        for kind in ("query_submitted", "agent_scored", "feedback_recorded", "tick_applied"):
            assert kinds[kind] == ledger.counts[kind], kind
    # Contention actually happened: some calls were turned away while a scorer was running.
    assert sum(ledger.counts["refused"] for ledger in ledgers) > 0
    for net in networks:  # and every borrow was given back
        net.register("after", ["x"])
        net.tick()
