"""Replicas joined by a Redis stream, against a redis-server of the test's own (AOF on, fsync on
every write) on a free loopback port."""

import json
import logging
import math
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from kova_discovery import LocalNetwork

redis = pytest.importorskip("redis")
from kova_discovery.shared import (  # noqa: E402
    RedisUnavailableError, SharedNetwork, StreamError, StreamGapError, UnknownEventVersionError)

SERVER = shutil.which("redis-server")
pytestmark = pytest.mark.skipif(SERVER is None, reason="redis-server is not installed")


class Server:
    def __init__(self, tmp):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.dir, self.url, self.proc = tmp, f"redis://127.0.0.1:{self.port}/0", None
        self.start()

    def start(self):
        self.proc = subprocess.Popen(
            [SERVER, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", str(self.dir),
             "--appendonly", "yes", "--appendfsync", "always", "--save", "",
             "--stream-node-max-entries", "4"], stdout=subprocess.DEVNULL,
            # Not the sanitizer runtime the sanitized test run preloads into Python.
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        self.client = redis.Redis(port=self.port, retry_on_error=[redis.ConnectionError],
                                  retry=redis.retry.Retry(redis.backoff.ConstantBackoff(0.02), 200))
        self.client.ping()

    def kill(self):
        self.proc.kill()
        self.proc.wait()


@pytest.fixture
def server(tmp_path):
    yield (srv := Server(tmp_path))
    srv.kill()


# A replica in its own process: seeded random mutations (and discoveries, which change only
# local state), a checkpoint every 25 of them; then it waits for a line on stdin, catches up
# and saves its state to argv[5].
WORKER = """
import random, sys
from kova_discovery.shared import SharedNetwork
url, stream, seed, count, out = sys.argv[1:6]
rng = random.Random(int(seed))
with SharedNetwork.open(url, stream, sync_interval=0, query_memory=5,
                        query_expansion=True) as net:
    for i in range(int(count)):
        name, q, r = f"agent-{rng.randrange(6)}", f"find {rng.choice('abcdef')} data", rng.random()
        if r < 0.25 or name not in net.agents():
            net.register(name, [f"find {rng.choice('abcdef')} data", "search records"],
                         metadata={"by": seed})
        elif r < 0.6:
            net.record_success(name, query=q)
        elif r < 0.8:
            net.record_failure(name, query=q if r < 0.7 else None)
        elif r < 0.85:
            net.deregister(name)
        elif r < 0.9:
            net.tick()
        else:
            net.discover(q)
        if i % 25 == 24:
            net.checkpoint(out + ".ckpt")
    print("done", flush=True)
    sys.stdin.readline()
    net.sync()
    net.save(out)
"""


def start_worker(server, stream, seed, count, out):
    return subprocess.Popen(
        [sys.executable, "-c", WORKER, server.url, stream, str(seed), str(count), str(out)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def learned(path_or_network, tmp_path):
    """A state without what stays local by nature (and without the checkpoint's members)."""
    if not isinstance(path_or_network, str):
        path_or_network.save(path_or_network := str(tmp_path / "state.json"))
    with open(path_or_network) as f:
        state = json.load(f)
    for key in ("network_epoch", "shared_stream", "shared_position"):
        state.pop(key, None)
    for agent in state["agents"]:
        del agent["forwards_count"], agent["last_activity_duration"]
    return state


def replay(server, stream):
    """The oracle: a plain network applying the stream's events in order."""
    net = LocalNetwork(query_memory=5, query_expansion=True)
    for _, fields in server.client.xrange(stream):
        e = json.loads(fields[b"event"])
        if e["op"] == "register":
            net.register(e["agent"], e["caps"], endpoint=e.get("endpoint"), metadata=e.get("meta"))
        elif e["op"] == "tick":
            net.tick()
        else:
            method = {"deregister": "deregister", "success": "record_success",
                      "failure": "record_failure"}[e["op"]]
            getattr(net, method)(e["agent"], **({"query": e["query"]} if "query" in e else {}))
    return net


def test_replicas_converge_catch_up_and_resume_after_a_kill(server, tmp_path):
    outs = [tmp_path / "a.json", tmp_path / "b.json"]
    workers = [start_worker(server, "net", seed, 150, out) for seed, out in zip((1, 2), outs)]
    killed = start_worker(server, "k", 3, 10**6, tmp_path / "k.json")
    for w in workers:
        assert w.stdout.readline() == "done\n"
    for w in workers:
        w.communicate("go\n", timeout=60)
        assert w.returncode == 0
    assert server.client.xlen("net") > 200  # discoveries are not appended
    expected = learned(replay(server, "net"), tmp_path)
    assert expected["agents"] and expected["cooccurrence_matrix"]
    assert learned(str(outs[0]), tmp_path) == learned(str(outs[1]), tmp_path) == expected
    # A third replica starts from the newest registered checkpoint and catches up.
    with SharedNetwork.open(server.url, "net") as late:
        assert late.network.loaded_extra["shared_stream"] == "net"
        assert learned(late.network, tmp_path) == expected
        assert late.query_memory == 5 and any(late.remembered(n) for n in late.agents())
    # A replica killed mid-write resumes from its own checkpoint.
    while server.client.xlen("k") < 200:
        time.sleep(0.05)
    os.kill(killed.pid, signal.SIGKILL)
    killed.wait()
    with SharedNetwork.open(server.url, "k", checkpoint=str(tmp_path / "k.json.ckpt")) as resumed:
        assert resumed.position == server.client.xrevrange("k", count=1)[0][0].decode()
        assert learned(resumed.network, tmp_path) == learned(replay(server, "k"), tmp_path)


def test_refusals_trimming_and_a_restarted_server(server, tmp_path, caplog):
    for kwargs, error in (({"stream": ""}, ValueError), ({"stream": 3}, TypeError),
                          ({"sync_interval": -1.0}, ValueError), ({"checkpoint": 5}, TypeError),
                          ({"sync_interval": float("nan")}, ValueError),
                          ({"sync_interval": "fast"}, TypeError)):
        with pytest.raises(error):
            SharedNetwork.open(server.url, **{"stream": "net", **kwargs})
    net = SharedNetwork.open(server.url, "net")
    for fields in ({"other": "x"}, {"event": "{not json"}, {"event": '{"v":1,"op":"explode"}'},
                   {"event": '{"v":1,"op":"register","agent":"x","caps":[]}'},
                   {"event": '{"v":1,"op":"success"}'}, {"event": '{"v":"1","op":"tick"}'},
                   {"event": r'{"v":1,"op":"failure","agent":"\ud800"}'},
                   {"event": "[" * 100_000}, {"event": '{"v":0x2,"op":"tick"}'}):
        server.client.xadd("net", fields)
    with caplog.at_level(logging.WARNING, logger="kova_discovery.shared"):
        net.register("a", ["translate documents"])
    assert net.skipped_entries == 9 == sum("skipped" in r.message for r in caplog.records)
    assert net.agents() == ["a"]
    # A mutation that raises reached no other replica either, even one asked before this
    # replica saw what it cannot apply.
    # (nested deeper than the server's own JSON reader follows)
    server.client.xadd("net", {"event": '{"v":2,"op":"tick","x":%s}' % ("[" * 1500 + "]" * 1500)})
    for attempt in (net.tick, net.sync, net.tick):  # keeps refusing, appends nothing
        with pytest.raises(UnknownEventVersionError, match="event version 2"):
            attempt()
    assert server.client.xlen("net") == 11
    assert net.agents() == ["a"]  # reads answer from local state
    # Trimming keeps what checkpoints and recent readers need (on a stream of its own).
    stale = SharedNetwork.open(server.url, "trim", sync_interval=float("inf"))
    stale.register("first", ["x"])
    net = SharedNetwork.open(server.url, "trim")
    for i in range(40):
        net.register(f"agent-{i}", ["some capability"])
    net.checkpoint(tmp_path / "c1.json")
    assert server.client.xlen("trim") == 41  # all within the retention window
    for never in (math.inf, 1e12):  # longer than the server clock's age: nothing to trim
        net.retention = never
        net.checkpoint(tmp_path / "c1.json")
        assert server.client.xlen("trim") == 41
    net.retention = 0
    position = net.checkpoint(tmp_path / "c1.json")
    assert server.client.xrange("trim", count=1)[0][0].decode() <= position
    assert server.client.xlen("trim") < 41
    trimmed = server.client.xlen("trim")
    for attempt in (lambda: stale.register("late", ["x"]), stale.sync):
        with pytest.raises(StreamGapError, match="reopen from a newer checkpoint"):
            attempt()
    assert server.client.xlen("trim") == trimmed
    # An entry deleted before this replica read it is a gap too; a registration that is not
    # one is skipped.
    behind = SharedNetwork.open(server.url, "trim", checkpoint=tmp_path / "c1.json",
                                sync_interval=float("inf"))
    net.record_success("agent-1")
    server.client.xdel("trim", net.position)
    net.record_success("agent-2")  # this writer's own position stays
    with pytest.raises(StreamGapError, match="was deleted"):
        behind.sync()
    server.client.hset("trim:checkpoints", "elsewhere:/x", '{"id": 5, "path": "/x", "time": 1}')
    net.checkpoint(tmp_path / "c1.json")
    server.client.delete("trim:checkpoints")
    # A replica that caught up before a quiet spell longer than the retention keeps its place
    # (its last entry ends a stream node here: 4 entries a node).
    quiet = SharedNetwork.open(server.url, "quiet")
    for i in range(4):
        quiet.register(f"q{i}", ["x"])
    idle = SharedNetwork.open(server.url, "quiet", sync_interval=float("inf"))
    quiet.retention = 0.05
    time.sleep(0.1)
    quiet.register("late", ["y"])
    quiet.checkpoint(tmp_path / "q.json")
    assert idle.sync() == 1 and idle.agents() == quiet.agents()
    # An apply interrupted half way stops the replica: going on could apply an entry twice.
    success = idle._handlers["success"]

    def interrupted(entry_id, event):
        success(entry_id, event)
        raise KeyboardInterrupt

    idle._handlers["success"] = interrupted
    quiet.record_success("late")
    with pytest.raises(KeyboardInterrupt):
        idle.sync()
    with pytest.raises(StreamError, match="was interrupted"):
        idle.sync()
    # A last id moved past the last entry: a clear refusal, not a mutation retried for ever.
    server.client.execute_command("XSETID", "quiet", "9999999999999-0")
    with pytest.raises(StreamError, match="last generated id is past its last entry"):
        quiet.tick()
    with pytest.raises(StreamGapError, match="checkpoint="):
        SharedNetwork.open(server.url, "trim")
    with SharedNetwork.open(server.url, "trim", checkpoint=tmp_path / "c1.json") as resumed:
        assert resumed.agent_count == 41
        assert len(resumed.discover("some capability", limit=2)) == 2
        assert resumed.routing_state("agent-0")["tau"] > 0
    # A checkpoint that replicas opened alike could not start from would trim what they need.
    with SharedNetwork.open(server.url, "strict", similarity_threshold=0.2) as strict:
        with pytest.raises(ValueError, match="similarity_threshold=0.2 is not kept"):
            strict.checkpoint(tmp_path / "c2.json")
    assert not (tmp_path / "c2.json").exists()
    # Redis down and restarted (on a stream of its own).
    net = SharedNetwork.open(server.url, "down", sync_interval=0)
    net.register("a", ["translate documents"], invoke=len)
    net.record_success("a", query="translate a contract")
    server.kill()
    with caplog.at_level(logging.WARNING, logger="kova_discovery.shared"):
        assert [r.agent_name for r in net.discover("translate")] == ["a"] and net.agents() == ["a"]
    assert sum("unreachable" in r.message for r in caplog.records) == 1  # then it backs off
    with pytest.raises(RedisUnavailableError, match="the success was not applied"):
        net.record_success("a", query="translate")
    with pytest.raises(ConnectionError):
        net.sync()
    server.start()  # from its append-only file
    net.register("b", ["review contracts"])  # reconnects by itself
    assert net.discover("translate")[0].invoke is len
    with SharedNetwork.open(server.url, "down") as other:
        assert learned(other.network, tmp_path) == learned(net.network, tmp_path)
        assert other.agents() == ["a", "b"]
    net.close()
    with pytest.raises(ValueError, match="closed"):
        net.tick()


def test_threads_wait_for_each_other_and_a_scorer_cannot_change_its_replica(server):
    entered, nested = threading.Event(), []

    class Slow:  # a host scorer that lets other threads run while it scores
        def index_capabilities(self, name, capabilities): pass
        def remove_agent(self, name): pass

        def score(self, query):
            if query == "nested":
                try:
                    net.register("z", ["from inside"])
                except RuntimeError as exc:  # before anything reaches the stream
                    nested.append(str(exc))
                    raise
            entered.set()
            time.sleep(0.2)
            return [("x", 1.0)]

    net = SharedNetwork.open(server.url, "threads", scorer=Slow(), sync_interval=0)
    net.register("x", ["translate"])
    reader = threading.Thread(target=net.discover, args=("translate",))
    reader.start()
    entered.wait()
    net.register("y", ["review"], invoke=len)  # waits for the read, does not meet it
    reader.join()
    assert net.agents() == ["x", "y"] and server.client.xlen("threads") == 2
    assert net.discover("nested") == [] and "cannot change" in nested[0]
    assert server.client.xlen("threads") == 2 and net.agents() == ["x", "y"]


def test_extra_members_round_trip_and_refusals(tmp_path):
    net = LocalNetwork()  # no agents: nothing in the file depends on the moment of saving
    path, plain, extra = tmp_path / "s.json", tmp_path / "p.json", {"pos": "1-0", "n": -(2**63)}
    net.save(str(path), extra=extra)
    net.save(str(plain))
    assert LocalNetwork.load(path).loaded_extra == extra
    extended, original = json.loads(path.read_text()), json.loads(plain.read_text())
    assert list(extended)[-2:] == ["pos", "n"]
    assert {**original, "network_epoch": 0, **extra} == {**extended, "network_epoch": 0}
    # Other unknown members (of other types, or nested) are ignored as before.
    extended.update(obj={"pos": "x"}, arr=[1, "x"], f=1.5, b=True, null=None, big=2**64 - 1)
    extended["agents"] = [{"name": "a", "capabilities": ["x"], "metadata": {}, "diameter": 1.0,
                           "tau": 1.0, "sigma": 0.0, "forwards_count": 0, "feedback": [],
                           "consecutive_pulse_timeouts": 0, "pos": "y"}]
    path.write_text(json.dumps(extended))
    loaded = LocalNetwork.load(path)
    assert loaded.loaded_extra == {"pos": "1-0", "n": -(2**63)} and loaded.agents() == ["a"]
    for extra, error in (({"version": "x"}, ValueError), ({"a": 1.5}, TypeError),
                         ({"a": True}, TypeError), ({1: "a"}, TypeError)):
        with pytest.raises(error, match="extra"):
            net.save(path, extra=extra)
