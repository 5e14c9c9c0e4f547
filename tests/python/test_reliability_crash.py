"""A process killed with SIGKILL while it saves in a loop never leaves a damaged state file.

The child grows its network by one agent before each save, so every complete file it writes is
distinct. After each kill the target must load as one of those files, and at most one temporary
file (the save in flight) may be left behind: each save removes what the saves killed before it
left. KOVA_CRASH_KILLS sets the number of kills (default 100).
"""

import os
import random
import signal
import subprocess
import sys
import time

import pytest

from kova_discovery._native import LocalNetwork

KILLS = int(os.environ.get("KOVA_CRASH_KILLS", "100"))
CHILD = """
import sys
from kova_discovery._native import LocalNetwork
target, n = sys.argv[1], int(sys.argv[2])
net = LocalNetwork.load(target) if n else LocalNetwork()
caps = ["translate legal contracts " * 20, "summarise long reports", "plan travel"]
for i in range(0 if n else 40):  # a loaded state has them already
    net.register(f"base-{i}", caps)
    for _ in range(20):
        net.record_success(f"base-{i}", query=f"query number {i}")
print("ready", flush=True)
while True:
    n += 1
    net.register(f"gen-{n:08d}", caps)
    net.save(target)
"""


@pytest.mark.skipif(sys.platform != "linux", reason="uses SIGKILL and /proc semantics")
def test_sigkill_during_save_loop(tmp_path):
    rng = random.Random(20240611)
    target = str(tmp_path / "state.json")
    last = survived = 0
    temps = lambda: sorted(f for f in os.listdir(tmp_path) if f.startswith(".tmp"))  # noqa: E731
    for _ in range(KILLS):
        child = subprocess.Popen([sys.executable, "-c", CHILD, target, str(last)],
                                 stdout=subprocess.PIPE)
        assert child.stdout.readline().strip() == b"ready"
        time.sleep(rng.uniform(0.0, 0.15))
        child.send_signal(signal.SIGKILL)
        assert child.wait() == -signal.SIGKILL
        assert len(temps()) <= 1, temps()
        for name in temps():  # garbage or a complete state: reading it never crashes
            try:
                LocalNetwork.load(str(tmp_path / name))
            except OSError:
                pass
        if not os.path.exists(target):
            assert last == 0  # killed before its first save completed
            continue
        net = LocalNetwork.load(target)  # a complete file, old or new
        generation = max((int(n[4:]) for n in net.agents() if n.startswith("gen-")), default=0)
        assert net.agent_count == 40 + generation and generation >= last
        last, survived = generation, survived + 1
    assert survived >= KILLS - 2 and last > 0
    LocalNetwork.load(target).save(target)
    assert temps() == []
