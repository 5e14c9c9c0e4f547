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


def worker(tid, networks, ledgers, agents, lock, barrier):
    """Counts into `ledgers[k]` (and `agents[k]`) only what succeeded on network k."""
    rng = random.Random(300 + tid)
    mine = []  # (network index, name) registered by this thread and not yet removed
    barrier.wait()
    for i in range(CALLS_PER_THREAD):
        k = rng.randrange(len(networks))
        net, op, counts = networks[k], rng.randrange(12), collections.Counter()
        try:
            if op in (0, 1):
                net.register(name := f"t{tid}-{i}", [f"capability {i % 17} of thread {tid}",
                                                     "shared words"])
                mine.append((k, name))
                counts["+" + name] = 1
            elif op == 2 and mine:
                k, name = mine.pop(rng.randrange(len(mine)))
                assert networks[k].deregister(name), name
                counts["-" + name] = 1
            elif op in (3, 4):
                counts["agent_scored"] = len(net.discover(f"capability {i % 17} shared"))
                counts["query_submitted"] = 1
            elif op == 5:  # composed queries are not written to the replay log
                net.discover(Query.any("capability", Query.all("shared").exclude("x")))
            elif op == 6:
                many = net.discover_many(["shared words", f"thread {tid}"])
                counts.update(query_submitted=2, agent_scored=sum(len(r) for r in many))
            elif op in (7, 8):
                name = f"t{tid}-{rng.randrange(i + 1)}"
                net.record_success(name, query="shared words") if op == 7 else \
                    net.record_failure(name)
                counts["feedback_recorded"] = 1
            elif op == 9:
                net.tick()
                counts["tick_applied"] = 1
            elif op == 10:
                assert net.agent_count >= 0 and net.replay_event_count >= 0 and net.agents() != 1
            else:
                net.detect_drift(min_samples=1)
                net.exploration_epsilon  # noqa: B018
        except BaseException as e:  # noqa: BLE001 - anything else is a failure to report
            refused = type(e) is RuntimeError and str(e) in BORROW_ERRORS
            counts = collections.Counter({"refused" if refused else repr(e): 1})
        with lock:
            for key, n in counts.items():
                if key[0] in "+-":
                    (agents[k].add if key[0] == "+" else agents[k].discard)(key[1:])
                else:
                    ledgers[k][key] += n


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_hammering_networks():
    networks = [LocalNetwork(scorer=YieldingScorer()) for _ in range(3)]
    for net in networks:
        net.enable_replay(10_000_000)
    ledgers, agents = [collections.Counter() for _ in networks], [set() for _ in networks]
    args = (networks, ledgers, agents, threading.Lock(), threading.Barrier(THREADS))
    threads = [threading.Thread(target=worker, args=(t, *args)) for t in range(THREADS)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    kinds = ("query_submitted", "agent_scored", "feedback_recorded", "tick_applied", "refused")
    for net, ledger, registered in zip(networks, ledgers, agents):
        assert set(net.agents()) == registered and net.agent_count == len(registered)
        replay = collections.Counter(e["type"] for e in net.replay_events())
        assert {k: n for k, n in ledger.items() if k not in kinds} == {}  # nothing unexpected
        assert [replay[kind] for kind in kinds[:4]] == [ledger[kind] for kind in kinds[:4]]
    # Contention actually happened: some calls were turned away while a scorer was running.
    assert sum(ledger["refused"] for ledger in ledgers) > 0
    for net in networks:  # and every borrow was given back
        net.register("after", ["x"])
        net.tick()


def test_forward_counts_add_up_under_contention():
    """Discoveries share the network: each one that succeeds must forward to the agent once."""
    net, done, lock = LocalNetwork(scorer=YieldingScorer()), collections.Counter(), threading.Lock()
    errors = []  # an assertion in a thread would only end that thread
    net.register("only", ["the one capability"])

    def run(seed):
        rng = random.Random(seed)
        for _ in range(CALLS_PER_THREAD // 2):
            try:
                if rng.random() < 0.8:
                    net.discover("the one capability")
                    key = "discover"
                else:
                    net.record_success("only", query="the one capability")
                    key = "success"
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    errors.append(repr(e))
                continue
            with lock:
                done[key] += 1

    threads = [threading.Thread(target=run, args=(s,)) for s in range(THREADS)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    state = net.routing_state("only")
    assert errors == []
    assert state["forwards"] == done["discover"]
    assert state["feedback"] == min(done["success"], 100)


def test_records_go_out_when_the_call_that_logged_them_ends(caplog, tmp_path):
    # A call waiting in host code on one thread holds back neither another thread's records
    # nor its name on them; and loading warns like any other call.
    entered, release = threading.Event(), threading.Event()

    class Waiting:
        def index_capabilities(self, name, capabilities):
            pass

        def remove_agent(self, name):
            pass

        def score(self, query):
            entered.set()
            release.wait(10)
            return []

    waiting = LocalNetwork(scorer=Waiting())
    waiting.register("w", ["wait"])
    caplog.set_level("WARNING")
    blocked = threading.Thread(target=waiting.discover, args=("wait",), name="blocked")
    blocked.start()
    try:
        assert entered.wait(10)
        LocalNetwork().register("long", [" ".join(["word"] * 60)])
        assert [r.threadName for r in caplog.records] == [threading.current_thread().name]
    finally:
        release.set()
        blocked.join()

    class Failing(Waiting):
        def index_capabilities(self, name, capabilities):
            raise RuntimeError("index down")

    path = str(tmp_path / "state.json")
    waiting.save(path)
    caplog.clear()
    LocalNetwork.load(path, scorer=Failing())
    assert "index_capabilities() failed" in caplog.text
