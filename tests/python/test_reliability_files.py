"""State files against what a file system can hold besides regular files, and the errors a
caller catches: special files, symbolic links, stale temporary files, huge tokens."""

import errno
import fcntl
import json
import os
import pathlib
import socket
import stat
import threading
import time

import pytest

from kova_discovery import LocalNetwork, capabilities_from_a2a


def make_special(kind, path):
    """Creates a non-regular file of `kind` at `path`; returns what must stay open meanwhile."""
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        os.mkdir(path)
    elif kind == "socket":
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(str(path))
        return sock
    elif os.geteuid() != 0:
        pytest.skip("creating a device node needs root")
    else:
        os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 7))  # what /dev/full is
    return None


@pytest.mark.parametrize("kind", ["fifo", "directory", "socket", "device"])
def test_special_files_are_neither_replaced_nor_read(tmp_path, kind):
    path = tmp_path / "state"
    keep = make_special(kind, path)
    mode = os.lstat(path).st_mode
    # Should a load block on the FIFO, a writer that comes after a while lets it fail visibly.
    late_writer = threading.Timer(5, lambda: os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK)))
    late_writer.start()
    start = time.monotonic()
    with pytest.raises(OSError) as loading:
        LocalNetwork.load(path)
    late_writer.cancel()
    assert time.monotonic() - start < 2
    with pytest.raises(OSError) as saving:
        LocalNetwork().save(path)
    assert os.lstat(path).st_mode == mode
    assert os.listdir(tmp_path) == ["state"]  # no temporary file either
    if kind == "directory":
        assert isinstance(loading.value, IsADirectoryError)
        assert isinstance(saving.value, IsADirectoryError)
    else:
        kind_text = {"fifo": "FIFO", "socket": "socket", "device": "character device"}[kind]
        for e in (loading.value, saving.value):
            assert type(e) is OSError and str(e).endswith(f"not a regular file ({kind_text})")
    if keep:
        keep.close()


def test_save_through_symbolic_links_replaces_the_file_they_name(tmp_path):
    (tmp_path / "real").mkdir()
    link, chained = tmp_path / "link.json", tmp_path / "chained.json"
    link.symlink_to("real/state.json")  # dangling: the save creates the file it names
    chained.symlink_to(link)
    net = LocalNetwork()
    net.register("a", ["translate"])
    net.save(chained)
    net.register("b", ["summarise"])
    net.save(str(link))
    assert chained.is_symlink() and link.is_symlink()
    assert LocalNetwork.load(tmp_path / "real" / "state.json").agents() == ["a", "b"]
    assert sorted(os.listdir(tmp_path / "real")) == ["state.json"]


def test_a_save_removes_dead_saves_temporaries_but_not_live_or_foreign_ones(tmp_path):
    target = tmp_path / "state.json"
    names = [".tmpAbc123.state.json", ".tmpLive00.state.json", ".tmpXyz789.other.json",
             ".tmpAbc12.state.json", "tmp0000000.state.json"]
    for name in names:
        (tmp_path / name).write_text("partial")
    with open(tmp_path / names[1]) as live:
        fcntl.flock(live, fcntl.LOCK_EX)  # a save still writing
        LocalNetwork().save(target)
        assert sorted(os.listdir(tmp_path)) == sorted(names[1:] + ["state.json"])
    LocalNetwork().save(target)
    assert sorted(os.listdir(tmp_path)) == sorted(names[2:] + ["state.json"])


def test_os_errors_carry_their_class_errno_and_filename(tmp_path):
    (tmp_path / "file").write_text("{}")
    cases = [
        (LocalNetwork.load, tmp_path / "absent.json", FileNotFoundError, errno.ENOENT),
        (LocalNetwork().save, tmp_path / "missing" / "s.json", FileNotFoundError, errno.ENOENT),
        (LocalNetwork.load, tmp_path / "file" / "s.json", NotADirectoryError, errno.ENOTDIR),
        (LocalNetwork.load, str(tmp_path), IsADirectoryError, errno.EISDIR),
    ]
    for call, path, expected, code in cases:
        with pytest.raises(expected) as info:
            call(path)
        e = info.value
        assert (type(e), e.errno, e.filename) == (expected, code, path)
        assert e.strerror == f"I/O error: {os.strerror(code)} (os error {code})"
    corrupt = tmp_path / "corrupt.json"
    corrupt.write_text("not json")
    with pytest.raises(OSError) as info:
        LocalNetwork.load(corrupt)
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value).startswith("serialization error: ")
    with pytest.raises(OSError, match=r"not a regular file \(character device\)"):
        LocalNetwork.load("/dev/zero")
    with pytest.raises(TypeError, match="argument 'path'"):
        LocalNetwork.load(b"state.json")


@pytest.mark.parametrize(
    "text,quoted",
    [
        ('{"version": ' + "9" * 5_000_000 + ', "agents": []}', "9" * 40),
        ('{"version": 3, "agents": [{"name": "' + "x" * 5_000_000, '"' + "x" * 39),
        ('{"version": "' + "é" * 5_000_000 + '", "agents": []}', "é" * 40),
        ('{"version": 1.' + "5" * 5_000_000 + ', "agents": []}', "1." + "5" * 38),
    ],
)
def test_corrupt_files_quote_an_excerpt_of_a_huge_token(tmp_path, text, quoted):
    path = tmp_path / "state.json"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(OSError, match="^serialization error: ") as info:
        LocalNetwork.load(path)
    assert quoted + "\u2026" in str(info.value) and len(str(info.value)) < 300


def test_one_success_counts_at_most_fifty_distinct_terms_a_side(tmp_path):
    net = LocalNetwork()
    net.enable_replay()
    net.register("a", [" ".join(f"cap{i}" for i in range(3000))])
    net.record_success("a", query=" ".join(f"q{i % 60}" for i in range(3000)))
    net.save(tmp_path / "s.json")
    matrix = json.loads((tmp_path / "s.json").read_text())["cooccurrence_matrix"]
    assert len(matrix) == 50 * 50 and matrix["q0,cap0"] == 50  # every occurrence of q0 counts
    # The events of one discovery share their query, and so do their dictionaries.
    net.register("b", ["translate legal contracts"])
    net.register("c", ["translate legal contracts"])
    net.discover("translate legal contracts")
    submitted, *scored = net.replay_events()[1:]
    assert len(scored) == 2 and all(e["query"] is submitted["query"] for e in scored)


def test_a2a_cards_by_file_name_or_json_text(tmp_path, monkeypatch):
    card = {"name": "legal_bot", "description": "Reviews contracts"}
    monkeypatch.chdir(tmp_path)
    pathlib.Path("card.json").write_text(json.dumps(card))
    pathlib.Path('{"name": "x"}').write_text("not json")  # JSON text is never a file name
    expected = ["legal bot: Reviews contracts"]
    assert capabilities_from_a2a("card.json") == expected
    assert capabilities_from_a2a(str(tmp_path / "card.json")) == expected
    assert capabilities_from_a2a('{"name": "x"}') == ["x"]
    with pytest.raises(json.JSONDecodeError):  # a name that does not exist is JSON text
        capabilities_from_a2a("absent.json")
