"""State files beside what else a file system holds, the errors a caller catches, and saves
killed mid-write.

KOVA_CRASH_KILLS sets the number of kills (default 100).
"""

import errno
import fcntl
import os
import random
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

from kova_discovery import LocalNetwork

KILLS = int(os.environ.get("KOVA_CRASH_KILLS", "100"))


@pytest.mark.parametrize("kind", ["FIFO", "directory", "character device"])
def test_special_files_are_neither_replaced_nor_read(tmp_path, kind):
    if kind == "character device" and os.geteuid() != 0:
        pytest.skip("creating a device node needs root")
    path = tmp_path / "state"
    {"FIFO": os.mkfifo, "directory": os.mkdir, "character device": lambda p: os.mknod(
        p, stat.S_IFCHR | 0o600, os.makedev(1, 3))}[kind](path)  # the device is what /dev/null is
    mode = os.lstat(path).st_mode
    # Should a load block on the FIFO, a writer coming after a while lets it fail visibly.
    writer = threading.Timer(5, lambda: os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK)))
    writer.start()
    with pytest.raises(OSError) as loading:
        LocalNetwork.load(path)
    writer.cancel()
    with pytest.raises(OSError) as saving:
        LocalNetwork().save(path)
    assert os.lstat(path).st_mode == mode and os.listdir(tmp_path) == ["state"]
    for e in (loading.value, saving.value):
        assert type(e) is IsADirectoryError if kind == "directory" else (
            type(e) is OSError and str(e).endswith(f"not a regular file ({kind})"))


def test_save_through_a_symbolic_link_replaces_the_file_it_names(tmp_path):
    (tmp_path / "real").mkdir()
    (link := tmp_path / "link.json").symlink_to("real/state.json")  # dangling: save creates it
    net = LocalNetwork()
    for name in ("a", "b"):
        net.register(name, ["translate"])
        net.save(link)
        assert link.is_symlink() and os.listdir(tmp_path / "real") == ["state.json"]
        assert LocalNetwork.load(tmp_path / "real" / "state.json").agents() == net.agents()


def test_a_save_removes_dead_saves_temporaries_only(tmp_path):
    dead, live, *foreign = [".tmpAbc123.s.json", ".tmpLive00.s.json", ".tmpXyz789.t.json",
                            ".tmpAbc12.s.json", "tmpAbc1234.s.json"]
    for name in [dead, live, *foreign]:
        (tmp_path / name).write_text("partial")
    with open(tmp_path / live) as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # a save still writing
        LocalNetwork().save(tmp_path / "s.json")
        assert sorted(os.listdir(tmp_path)) == sorted([live, *foreign, "s.json"])
    LocalNetwork().save(tmp_path / "s.json")
    assert sorted(os.listdir(tmp_path)) == sorted([*foreign, "s.json"])


def test_os_errors_carry_their_class_errno_and_filename(tmp_path):
    (tmp_path / "file").write_text("not json")
    for call, path, expected, code in [
        (LocalNetwork.load, tmp_path / "absent.json", FileNotFoundError, errno.ENOENT),
        (LocalNetwork().save, tmp_path / "missing" / "s.json", FileNotFoundError, errno.ENOENT),
        (LocalNetwork.load, tmp_path / "file" / "s.json", NotADirectoryError, errno.ENOTDIR),
        (LocalNetwork.load, str(tmp_path), IsADirectoryError, errno.EISDIR),
    ]:
        with pytest.raises(expected) as info:
            call(path)
        assert (type(info.value), info.value.errno, info.value.filename) == (expected, code, path)
        assert info.value.strerror == f"I/O error: {os.strerror(code)} (os error {code})"
    with pytest.raises(OSError, match="^serialization error: ") as info:
        LocalNetwork.load(tmp_path / "file")
    assert type(info.value) is OSError and info.value.errno is None
    with pytest.raises(TypeError, match="argument 'path'"):
        LocalNetwork.load(b"state.json")


BIG = 5_000_000  # an excerpt, not the whole token


@pytest.mark.parametrize("content,quoted", [
    (b'{"version": ' + b"9" * BIG + b', "agents": []}', "9" * 40),
    (b'{"version": 3, "agents": [{"name": "' + b"x" * BIG, '"' + "x" * 39),
    (('{"version": "' + "é" * BIG + '", "agents": []}').encode(), "é" * 40),
    (b'{"version": 1.' + b"5" * BIG + b', "agents": []}', "1." + "5" * 38),
    # The parser's message quotes a token that ends inside a character.
    (b'{"version": 3, "agents": [\xc3\xa9]}', None), (b'{"version": 3, "agents": [', None),
    (b"\xff\xfe\x00garbage", None), (b'{"version": 3, "agents": [{"name": "\\ud800"}]}', None),
], ids=["number", "unterminated string", "string", "float", "split character", "truncated",
        "binary", "surrogate"])
def test_corrupt_files_raise_os_error_quoting_an_excerpt(tmp_path, content, quoted):
    (path := tmp_path / "s.json").write_bytes(content)
    with pytest.raises(OSError) as info:
        LocalNetwork.load(str(path))
    prefix = "I/O error: " if content.startswith(b"\xff") else "serialization error: "
    assert str(info.value).startswith(prefix) and len(str(info.value)) < 300
    assert quoted is None or quoted + "\u2026" in str(info.value)


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
    """The child grows its network by one agent before each save, so every complete file it
    writes is distinct. After each kill the target must load as one of those files, and at most
    one temporary file (the save in flight) may be left behind: each save removes what the saves
    killed before it left."""
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
        assert child.wait() == -signal.SIGKILL and len(temps()) <= 1, temps()
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
