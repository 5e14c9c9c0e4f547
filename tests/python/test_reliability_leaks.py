"""References held for the host are released on every path, and long mixed workloads keep
resident memory flat.

KOVA_SOAK_CALLS sets the length of the mixed-call loop (default 100000).
"""

import gc
import os
import subprocess
import sys

import pytest

from kova_discovery._native import (
    Bm25Scorer, DiscoveryConfig, FilterValue, HybridScorer, LocalNetwork, Query)

SOAK_CALLS = int(os.environ.get("KOVA_SOAK_CALLS", "100000"))
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
refs = sys.getrefcount


class Scorer:
    def __init__(self, raise_in=()):
        self.names, self.raise_in = {}, raise_in

    def check(self, method):
        if method in self.raise_in:
            raise ValueError(f"{method} failed")

    def index_capabilities(self, name, capabilities):
        self.check("index")
        self.names[name] = 0.9

    def remove_agent(self, name):
        self.check("remove")
        self.names.pop(name, None)

    def score(self, query):
        self.check("score")
        return list(self.names.items())


def handler():
    return "handled"


def test_every_path_that_drops_a_callable(tmp_path):
    other = lambda: None  # noqa: E731
    base, base_other = refs(handler), refs(other)
    net = LocalNetwork()
    net.register("a", ["translate"], invoke=handler)
    net.register("b", ["translate legal text"], invoke=handler)
    assert refs(handler) == base + 2
    net.register("a", ["translate"], invoke=other)  # replaced
    assert (refs(handler), refs(other)) == (base + 1, base_other + 1)
    net.register("a", ["translate"])  # re-registered without a callable
    assert refs(other) == base_other
    assert {r.agent_name: r.invoke for r in net.discover("translate")} == {"a": None, "b": handler}
    net.register("B", ["upper"], invoke="not callable")  # kept as given
    assert (net.agents(), net.agent_count) == (["B", "a", "b"], 3)
    assert net.discover("upper")[0].invoke == "not callable"
    net.register("a", ["translate"], invoke=other)
    # twice: nothing more to release
    assert [net.deregister(n) for n in ("a", "a", "never", "B")] == [True, False, False, True]
    for bad in ([], "not a list"):  # rejected: nothing taken, nothing dropped
        with pytest.raises((ValueError, TypeError)):
            net.register("b", bad, invoke=other)
    assert (refs(handler), refs(other)) == (base + 1, base_other)
    net.save(str(tmp_path / "s.json"))
    loaded = LocalNetwork.load(str(tmp_path / "s.json"))
    assert refs(handler) == base + 1  # a loaded network holds no callables
    response = net.discover("translate legal text", with_confidence=True)
    held = [net.discover("translate legal text"), response, iter(response), response[0],
            net.discover_many(["translate legal text"] * 3)]
    assert refs(handler) > base + 2
    del loaded, net, response, held
    gc.collect()
    assert refs(handler) == base


class Sentinel:
    """Reports its own destruction, so a test can see a cycle being collected."""

    def __init__(self, freed):
        self.freed = freed

    def __del__(self):
        self.freed.append(True)


def test_cycles_through_results_and_scorers_are_collected():
    freed = []

    def results_cycle(sentinel):  # results -> callable -> box -> results, every result kind
        box = [sentinel]
        net = LocalNetwork()
        net.register("a", ["translate legal text"], invoke=lambda box=box: box)
        response = net.discover("translate legal text", with_confidence=True)
        box.extend([net.discover("translate legal text"), response, iter(response), response[0]])

    def scorer_cycle(sentinel):  # network -> scorer -> network
        scorer = Scorer()
        scorer.sentinel, scorer.net = sentinel, LocalNetwork(scorer=scorer)
        scorer.net.register("a", ["x"])

    def callable_cycle(owner):  # network -> callable -> owner -> network
        owner.net = LocalNetwork()
        owner.net.register("a", ["x"], invoke=lambda o=owner: o)

    def hybrid_cycle(sentinel):  # network -> bridge -> host -> network, hybrid -> host -> hybrid
        (host := Scorer()).sentinel = sentinel
        hybrid = HybridScorer([(Bm25Scorer(), 1), (host, 1)])
        host.cycle = (LocalNetwork(scorer=hybrid), hybrid)
        host.cycle[0].register("a", ["x"])

    for count, build in enumerate((results_cycle, scorer_cycle, callable_cycle, hybrid_cycle), 1):
        build(Sentinel(freed))
        gc.collect()
        assert freed == [True] * count, build.__name__


@pytest.mark.parametrize("raise_in", [(), ("index", "remove", "score")])
def test_scorer_released_with_its_network(raise_in):
    scorer = Scorer(raise_in=raise_in)
    base = refs(scorer)
    net = LocalNetwork(scorer=scorer)
    for i in range(20):
        net.register(f"a{i}", ["x"], invoke=handler)
        net.discover("x")
        net.discover(Query.all("x", "y").exclude("z"), explain=True)
        net.deregister(f"a{i}")
    assert refs(scorer) == base + 1
    del net
    assert refs(scorer) == base
    for kwargs in ({"config": DiscoveryConfig()}, {"config": 5}, {"similarity_threshold": "x"},
                   {"nonsense": 1}):  # failed constructions release it too
        with pytest.raises((TypeError, ValueError)):
            LocalNetwork(scorer=scorer, **kwargs)
    assert refs(scorer) == base


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer quarantines freed memory")
def test_mixed_calls_keep_memory_flat(tmp_path):
    tmp = str(tmp_path / "soak.json")
    net = LocalNetwork()
    net.enable_replay(2000)
    scorer_net = LocalNetwork(scorer=Scorer(raise_in=("remove",)))
    base_refs = refs(handler)
    filters = {"protocol": "mcp", "version": {"$lt": 10}, "tier": FilterValue.one_of(["a", "b"])}
    composed = Query.all("translate legal", Query.any("contract", "agreement")).exclude("poem")
    ops = [
        lambda i, name: net.register(
            name, ["translate legal contracts", f"skill {i % 13}"], invoke=handler,
            metadata={"protocol": "mcp", "version": str(i % 12), "tier": "ab"[i % 2]}),
        lambda i, name: net.discover("translate legal contract", filters=filters),
        lambda i, name: net.discover(composed, with_confidence=True),
        lambda i, name: net.record_success(name, query=f"translate legal {i % 7}"),
        lambda i, name: net.record_failure(name, query="poems"),
        lambda i, name: net.discover("summarise", explain=True),
        lambda i, name: (scorer_net.discover(f"query {i % 5}"),
                         scorer_net.register(name, ["x"], invoke=handler)),
        lambda i, name: (net.deregister(f"agent-{(i * 7) % 64}"), scorer_net.deregister(name)),
        lambda i, name: (net.tick(), net.replay_events() if i % 1000 == 8 else None),
        lambda i, name: (net.detect_drift(min_samples=1),
                         i % 5000 == 9 and (net.save(tmp), LocalNetwork.load(tmp))),
    ]
    sizes = []
    for n in (max(SOAK_CALLS // 10, 2000), SOAK_CALLS // 2, SOAK_CALLS // 2):  # warm-up first
        for i in range(n):
            ops[i % 10](i, f"agent-{i % 64}")
        gc.collect()
        with open("/proc/self/statm") as f:
            sizes.append(int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024)
    start, middle, end = sizes
    print(f"{SOAK_CALLS} mixed calls: resident size {start} -> {middle} -> {end} KiB")
    # Flat: the second half adds (next to) nothing on top of the first.
    assert end - middle < 1024 and end - start < 4096
    del net, scorer_net, ops
    gc.collect()
    assert refs(handler) == base_refs


OUT_OF_MEMORY = r"""
import re, resource
from kova_discovery._native import LocalNetwork
size = 300 << 20
network = LocalNetwork()
network.register("a", ["x y"], endpoint="e" * size)
response = network.discover("x y", with_confidence=True)
vm = int(re.search(r"VmSize:\s+(\d+)", open("/proc/self/status").read()).group(1)) << 10
resource.setrlimit(resource.RLIMIT_AS, (vm + size // 2, resource.RLIM_INFINITY))
for read in (lambda: response[0], lambda: response.results, lambda: list(response)):
    try:
        read()
    except BaseException as exc:
        print(type(exc).__name__)
"""


@pytest.mark.skipif(UNDER_ASAN or not sys.platform.startswith("linux"),
                    reason="address-space limits: Linux, without the sanitizer's reservations")
def test_running_out_of_memory_reading_a_response_raises_instead_of_aborting():
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True)
    assert (done.returncode, done.stdout.split()) == (0, ["InternalError"] * 3), done.stderr
