"""A queue directory that another local user can write, and one whose disk
fails: links planted where the queue's files go are refused or replaced,
never followed; files and directories get the modes the umask allows, and a
rewritten log keeps the mode and group an administrator gave it; a log
changed behind an open queue is noticed, and so is a lock file removed or
cut; a full disk neither fails a recorded
ack nor traps the queue."""
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest

import ferrow
from conftest import skip_without

CHILD_ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(ferrow.__file__)))


def plant_link(target, link, planter):
    """Makes `link` point at `target`, as this user or as another one."""
    if planter == "this user":
        os.symlink(target, link)
        return
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        skip_without("playing another user needs root and setpriv(1)")
    # A group directory the planter can write (opening refuses one that
    # every user can write).
    os.chown(link.parent, -1, 54321)
    os.chmod(link.parent, 0o770)
    subprocess.run(["setpriv", "--reuid", "54321", "--regid", "54321", "--clear-groups",
                    "ln", "-s", "--", str(target), str(link)], check=True, timeout=60)
    assert os.lstat(link).st_uid == 54321


@pytest.mark.parametrize("planter", ["this user", "another user"])
@pytest.mark.parametrize("target", ["dangling", "existing"])
@pytest.mark.parametrize("name", ["queue.log", ".proc_lock", "queue.compact.tmp",
                                  "queue.purge.tmp"])
def test_a_planted_link_is_never_followed(tmp_path, request, name, target, planter):
    base = tmp_path
    if planter == "another user":
        # A directory like /tmp, which the other user can reach and write.
        base = pathlib.Path(tempfile.mkdtemp(dir="/tmp"))
        request.addfinalizer(lambda: shutil.rmtree(base, ignore_errors=True))
        os.chmod(base, 0o1777)
    qdir = base / "q"
    victim = base / "victim"
    if target == "existing":
        victim.write_bytes(b"the victim's own file\n")
    rewrite = name.endswith(".tmp")
    if rewrite:
        q = ferrow.FerrowCore(str(qdir))
        q.enqueue(b"ssh-ed25519 AAAA attacker")
    else:
        qdir.mkdir()
    plant_link(victim, qdir / name, planter)
    if rewrite:
        # The link is removed and a file of the queue's own takes its place.
        getattr(q, "compact" if "compact" in name else "purge")()
        assert not (qdir / name).exists() and not (qdir / name).is_symlink()
    else:
        with pytest.raises(OSError) as err:
            ferrow.FerrowCore(str(qdir))
        assert str(err.value).startswith("Ferrow I/O error: ")
        assert f"{name} is a symbolic link; refusing to follow it" in str(err.value)
    if target == "existing":
        assert victim.read_bytes() == b"the victim's own file\n"
    else:
        assert not victim.exists()


MODES = r'''
import os, sys, ferrow
os.umask(int(sys.argv[2], 8))
q = ferrow.FerrowCore(sys.argv[1])
q.enqueue(b"x")
'''


@pytest.mark.parametrize("umask", ["022", "077", "002"])
def test_modes_follow_the_umask_and_survive_a_rewrite(tmp_path, umask):
    parent = tmp_path / "shared"
    parent.mkdir()
    if umask == "002":  # a group directory: new files take its group
        os.chmod(parent, 0o2775)
        os.chown(parent, -1, 100)
    qdir = parent / "q"
    subprocess.run([sys.executable, "-c", MODES, str(qdir), umask], env=CHILD_ENV, check=True,
                   timeout=60)
    mask = int(umask, 8)
    for name in ("queue.log", ".proc_lock"):
        st = os.stat(qdir / name)
        assert stat.S_IMODE(st.st_mode) == 0o666 & ~mask, name
        if umask == "002":
            assert st.st_gid == 100, name
    assert stat.S_IMODE(os.stat(qdir).st_mode) & 0o777 == 0o777 & ~mask

    os.chmod(qdir / "queue.log", 0o640)
    if os.geteuid() == 0:
        os.chown(qdir / "queue.log", -1, 101)
    before = os.stat(qdir / "queue.log")
    q = ferrow.FerrowCore(str(qdir))
    for rewrite in (q.compact, q.purge):  # each renames a new file over the log
        rewrite()
        after = os.stat(qdir / "queue.log")
        assert (stat.S_IMODE(after.st_mode), after.st_gid) == (0o640, before.st_gid)


@pytest.mark.parametrize("change", ["removed", "replaced", "cut"])
def test_a_log_changed_behind_an_open_queue_is_noticed_at_the_next_call(tmp_path, change):
    """Nothing is written into a removed file, and no body is read from a
    file other than the one the index describes."""
    qdir, other = tmp_path / "q", tmp_path / "other"
    q = ferrow.FerrowCore(str(qdir))
    q.enqueue_batch([b"old body %d" % i for i in range(3)])
    assert q.dequeue()[1] == b"old body 0"  # the log is mapped now
    log = qdir / "queue.log"
    if change == "removed":
        log.unlink()
        with pytest.raises(OSError) as err:
            q.enqueue(b"lost?")
        assert "queue.log was removed while the queue was open" in str(err.value)
        assert not log.exists()
        return
    if change == "replaced":
        o = ferrow.FerrowCore(str(other))
        o.enqueue_batch([b"new %d" % i for i in range(5)])
        del o
        os.replace(other / "queue.log", log)
        expected = [b"new %d" % i for i in range(5)]
    else:
        with open(log, "r+b") as f:
            f.truncate(16)
        expected = []
    got = []
    while (m := q.dequeue()) is not None:
        got.append(m[1])
        q.ack(m[0])
    assert got == expected
    assert q.enqueue(b"after") == len(expected)
    assert q.verify_integrity()["ok"]



PAUSED_PRODUCER = """
import ferrow, sys
q = ferrow.FerrowCore(sys.argv[1], sync_interval_ms=1000)
for half in (0, 1):
    for i in range(2000):
        q.enqueue(b"%s %d %d" % (sys.argv[2].encode(), half, i))
    if half == 0:
        print("paused", flush=True)
        sys.stdin.readline()
"""


@pytest.mark.parametrize("change", ["removed", "replaced", "cut"])
def test_a_lock_file_changed_under_running_producers_keeps_them_on_one_lock(tmp_path, change):
    """The process that opened the queue before the change and the one that
    opens it after take turns on one word: no id is given twice, no message
    is lost, no process dies of SIGBUS."""
    qdir = tmp_path / "q"
    lock = qdir / ".proc_lock"
    ferrow.FerrowCore(str(qdir)).enqueue(b"seed")

    def producer(name):
        return subprocess.Popen([sys.executable, "-c", PAUSED_PRODUCER, str(qdir), name],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=CHILD_ENV)

    old = producer("old")
    assert old.stdout.readline() == b"paused\n"
    if change == "removed":
        lock.unlink()
    elif change == "replaced":
        (tmp_path / "stray").write_bytes(b"\0" * 64)
        os.replace(tmp_path / "stray", lock)
    else:
        os.truncate(lock, 0)

    def resume(p):
        p.stdin.write(b"go\n")
        p.stdin.flush()

    if change == "cut":
        resume(old)  # its next call finds the cut (a newcomer would mend it unseen)
    new = producer("new")
    assert new.stdout.readline() == b"paused\n"
    for p in ((old, new) if change != "cut" else (new,)):
        resume(p)
    outcomes = [(p.wait(timeout=120), p.stderr.read().decode()) for p in (old, new)]
    assert [code for code, _ in outcomes] == [0, 0], outcomes
    warning = "was cut shorter" if change == "cut" else "was removed or replaced"
    assert warning in outcomes[0][1]
    q = ferrow.FerrowCore(str(qdir))
    seen = {}
    while (m := q.dequeue()) is not None:
        seen[m[0]] = m[1]
        q.ack(m[0])
    assert len(set(seen.values())) == len(seen) == 1 + 2 * 2 * 2000
    assert os.stat(lock).st_size == 131136

@pytest.fixture
def small_disk(tmp_path):
    """A 2 MiB tmpfs of its own (mounting needs root)."""
    if os.geteuid() != 0:
        skip_without("mounting a small tmpfs needs root")
    mount = tmp_path / "disk"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mount)]).returncode:
        skip_without("tmpfs cannot be mounted here")
    yield mount
    subprocess.run(["umount", "-l", str(mount)], check=True)


def test_a_full_disk_neither_fails_a_recorded_ack_nor_traps_the_queue(small_disk, capfd):
    qdir = small_disk / "q"
    q = ferrow.FerrowCore(str(qdir), sync_interval_ms=1000, auto_compact_bytes=64 << 10)
    q.enqueue_batch([b"m" * 1000] * 1200)
    with open(small_disk / "filler", "wb", buffering=0) as filler:  # someone fills the disk
        try:
            while True:
                filler.write(b"f" * 4096)
        except OSError:
            pass
    os.truncate(small_disk / "filler", os.path.getsize(small_disk / "filler") - (48 << 10))
    capfd.readouterr()
    messages = q.dequeue_batch(800)
    # Past half of the log dead, each ack would compact, which cannot fit.
    assert all(q.ack(m[0]) for m in messages)
    err = capfd.readouterr().err
    assert err.count("Ferrow: automatic compaction failed") == 1, err
    assert "(os error 28)" in err
    assert sorted(os.listdir(qdir)) == [".proc_lock", "queue.log"]  # no leftover
    assert q.stats()["total"] == 400
    q.purge()  # frees the space from inside
    assert q.stats()["total"] == 0 and os.path.getsize(qdir / "queue.log") == 16
