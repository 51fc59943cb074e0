"""Cut files and neighbours who can write a queue's files.

A body read from a log that another process cuts fails the call with an
OSError naming the cut, never the process with SIGBUS, and the message comes
back after its lease; commit marks that cannot be true, a log that no rewrite
of the queue wrote, and a lock word changed under its holder are reported
once on standard error and cost speed, never a returned message; a queue
directory that other users can write is refused.

Every scenario runs in child processes: the reports come once per process.
`python test_untrusted_neighbours.py MODULE_DIR TRIALS` runs the racing cut
trials against the module in MODULE_DIR (another build, for comparison).
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import ferrow
from conftest import report_summary, skip_without

MODULE_DIR = os.path.dirname(os.path.abspath(ferrow.__file__))
SHIM = os.environ.get("FERROW_FAULT_SHIM")
TIMEOUT_S = 120
KIB, MIB = 1 << 10, 1 << 20


def child_env(module_dir=MODULE_DIR, shim=False):
    env = dict(os.environ, PYTHONPATH=module_dir)
    if shim:
        if not SHIM or not os.path.isfile(SHIM):
            pytest.fail("FERROW_FAULT_SHIM must name the fault shim (`make cpp` builds it)")
        env.update(LD_PRELOAD=SHIM, FERROW_FAULT_SHIM=SHIM)
    return env


def spawn(script, *args, shim=False, module_dir=MODULE_DIR):
    return subprocess.Popen([sys.executable, "-c", script, *map(str, args)],
                            env=child_env(module_dir, shim), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc):
    try:
        out, err = proc.communicate(timeout=TIMEOUT_S)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, out, err


def body(i, size):
    return bytes([i % 251]) * size


def fill(qdir, size, count=3):
    q = ferrow.FerrowCore(str(qdir))
    q.enqueue_batch([body(i, size) for i in range(count)])


# ------------------------------------------------------------ cut body reads

# Maps the log with a first read, then reads the next body while its fsync
# stalls (the parent cuts the log meanwhile), then, once the parent has put
# the bytes back, reads it again after its lease.
CUT_READER = r'''
import ctypes, os, sys, time, ferrow
shim = ctypes.CDLL(os.environ["FERROW_FAULT_SHIM"])
q = ferrow.FerrowCore(sys.argv[1], sync_interval_ms=1)
print("open", flush=True)
sys.stdin.readline()
first = q.dequeue(lease_ms=60000)
q.ack(first[0])
time.sleep(0.01)  # the next append is due an fsync, which stalls
shim.ferrow_fault_stall_syncs(1500000)
print("reading", flush=True)
try:
    q.dequeue(lease_ms=300)
    print("read", flush=True)
except OSError as exc:
    print("error", exc, flush=True)
shim.ferrow_fault_stall_syncs(0)
sys.stdin.readline()
time.sleep(0.5)
seq, got, deliveries, _ = q.dequeue(lease_ms=60000)
print("again", seq, deliveries, got == bytes([seq % 251]) * len(got), len(got), flush=True)
'''


@pytest.mark.parametrize("size", [64 * KIB, 1 * MIB, 4 * MIB, 32 * MIB])
@pytest.mark.parametrize("how", ["cut by another process", "renamed in, then cut"])
def test_a_body_cut_under_its_read_fails_the_call_and_comes_back(tmp_path, how, size):
    qdir, log = tmp_path / "q", tmp_path / "q" / "queue.log"
    if how == "renamed in, then cut":
        ferrow.FerrowCore(str(qdir)).enqueue(b"the owner's")
        fill(tmp_path / "intruder", size)
    else:
        fill(qdir, size)
    reader = spawn(CUT_READER, qdir, shim=True)
    assert reader.stdout.readline() == "open\n"
    if how == "renamed in, then cut":
        os.replace(tmp_path / "intruder" / "queue.log", log)
    reader.stdin.write("go\n")
    reader.stdin.flush()
    assert reader.stdout.readline() == "reading\n"
    time.sleep(0.5)  # the reader sits in its stalled fsync, its body still to copy
    whole = log.read_bytes()
    os.truncate(log, 16)
    outcome = reader.stdout.readline()
    with open(log, "r+b") as f:  # the bytes come back, as after a copy over the file
        f.write(whole)
    reader.stdin.write("go\n")
    reader.stdin.flush()
    code, out, err = finish(reader)
    assert code == 0, (code, err)
    assert outcome.startswith("error Ferrow I/O error: " + str(log) +
                              " was cut while the queue was open"), outcome
    assert "the message is delivered again when its lease ends" in outcome
    assert out.split() == ["again", "1", "2", "True", str(size)]
    assert ("was replaced by a file that no compaction" in err) == (how != "cut by another process")


# A reader that dequeues and acknowledges for a while, and a cutter that cuts
# the log and puts it back in a loop: the reader may see errors, never die.
RACING_READER = r'''
import sys, time, ferrow
q = ferrow.FerrowCore(sys.argv[1])
reads = errors = 0
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    try:
        m = q.dequeue(lease_ms=100)
        if m is None:
            time.sleep(0.01)
            continue
        reads += 1
        q.nack(m[0])
    except OSError:
        errors += 1
print(reads, errors)
'''
RACING_CUTTER = r'''
import os, sys, time
log = sys.argv[1]
whole = open(log, "rb").read()
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    os.truncate(log, 16)
    time.sleep(0.002)
    with open(log, "r+b") as f:
        f.write(whole)
    time.sleep(0.005)
'''


def race_cuts(base, trials, module_dir=MODULE_DIR, size=4 * MIB, seconds=2):
    """Trials of a reader of `size` bodies against a cutter; counts deaths."""
    counts = dict(trials=trials, killed_by_sigbus=0, other_failures=0, reads=0, errors=0)
    for trial in range(trials):
        qdir = os.path.join(base, "trial%d" % trial)
        fill(qdir, size, count=4)
        reader = spawn(RACING_READER, qdir, seconds, module_dir=module_dir)
        cutter = spawn(RACING_CUTTER, os.path.join(qdir, "queue.log"), seconds)
        code, out, err = finish(reader)
        finish(cutter)
        if code == -signal.SIGBUS:
            counts["killed_by_sigbus"] += 1
        elif code != 0:
            counts["other_failures"] += 1
            print(err, file=sys.stderr)
        else:
            reads, errors = map(int, out.split())
            counts["reads"] += reads
            counts["errors"] += errors
        shutil.rmtree(qdir, ignore_errors=True)
    return counts


def test_readers_racing_a_cutter_never_die(tmp_path, request):
    counts = race_cuts(str(tmp_path), int(os.environ.get("FERROW_CUT_TRIALS", "3")))
    report_summary(request, "cut_reads", counts)
    assert counts["killed_by_sigbus"] == counts["other_failures"] == 0, counts
    assert counts["reads"] > 0


# ------------------------------------------------------ forged commit marks

FORGER = r'''
import ctypes, os, struct, sys, ferrow
shim = ctypes.CDLL(os.environ["FERROW_FAULT_SHIM"])
qdir, forgery = sys.argv[1], sys.argv[2]
q = ferrow.FerrowCore(qdir)
q.enqueue(b"before")
tag = q.stats()["generation"] & 0xFFFF
with open(os.path.join(qdir, ".proc_lock"), "r+b") as f:
    if forgery == "synced mark beyond the log":
        f.seek(40)
        f.write(struct.pack("<Q", tag << 48 | (1 << 48) - 1))
    else:
        f.seek(8)
        f.write(struct.pack("<Q", 0xDEADBEEF))
before = shim.ferrow_fault_calls(b"fsync")
for i in range(200):
    q.enqueue(b"%d" % i)
print(shim.ferrow_fault_calls(b"fsync") - before)
'''


@pytest.mark.parametrize("forgery", ["synced mark beyond the log", "leader naming no process"])
def test_a_forged_commit_mark_costs_fsyncs_not_durability(qdir, forgery, request):
    code, out, err = finish(spawn(FORGER, qdir, forgery, shim=True))
    assert code == 0, err
    fsyncs = int(out)
    report_summary(request, "forged_mark_" + forgery.split()[0], dict(enqueues=200, fsyncs=fsyncs))
    assert fsyncs >= 200
    assert err.count("Ferrow: ") == 1, err
    assert "something other than this queue wrote it; it is ignored" in err


# ------------------------------------------------------------ foreign logs

OWNER = r'''
import sys, ferrow
q = ferrow.FerrowCore(sys.argv[1])
print([q.enqueue(b"mine %d" % i) for i in range(3)], flush=True)
sys.stdin.readline()
got = []
while (m := q.dequeue()) is not None:
    got.append(m[1].decode())
print(got)
'''


@pytest.mark.parametrize("replacement", ["another queue's log", "an older copy of this log",
                                         "a compaction by another process"])
def test_a_log_no_rewrite_of_the_queue_wrote_is_reported(tmp_path, replacement):
    qdir, log = tmp_path / "q", tmp_path / "q" / "queue.log"
    ferrow.FerrowCore(str(qdir)).enqueue(b"first")
    shutil.copy(log, tmp_path / "backup")
    owner = spawn(OWNER, qdir)
    assert owner.stdout.readline() == "[1, 2, 3]\n"
    if replacement == "another queue's log":
        ferrow.FerrowCore(str(tmp_path / "other")).enqueue(b"intruder")
        os.replace(tmp_path / "other" / "queue.log", log)
    elif replacement == "an older copy of this log":
        os.replace(tmp_path / "backup", log)
    else:
        ferrow.FerrowCore(str(qdir)).compact()
    owner.stdin.write("go\n")
    owner.stdin.flush()
    code, out, err = finish(owner)
    assert code == 0, err
    expected = {"another queue's log": ["intruder"], "an older copy of this log": ["first"],
                "a compaction by another process": ["first", "mine 0", "mine 1", "mine 2"]}
    assert eval(out) == expected[replacement]
    if replacement == "a compaction by another process":
        assert err == ""
    else:
        assert err.count("Ferrow: ") == 1, err
        assert f"{log} was replaced by a file that no compaction or purge of this queue " \
               "wrote" in err


# ------------------------------------------------- a lock word changed under us

PRODUCER = r'''
import json, sys, ferrow
q = ferrow.FerrowCore(sys.argv[1])
returned, errors = [], 0
for i in range(int(sys.argv[3])):
    payload = "%s-%d" % (sys.argv[2], i)
    try:
        returned.append([q.enqueue(payload.encode()), payload])
    except OSError:
        errors += 1
print(json.dumps(dict(returned=returned, errors=errors)))
'''
COMPACTOR = r'''
import os, sys, time, ferrow
q = ferrow.FerrowCore(sys.argv[1])
while not os.path.exists(sys.argv[2]):
    try:
        q.compact()
        time.sleep(0.02)
    except OSError:
        pass
'''
ZEROER = r'''
import mmap, os, sys
with open(os.path.join(sys.argv[1], ".proc_lock"), "r+b") as f:
    word = mmap.mmap(f.fileno(), 8)
while not os.path.exists(sys.argv[2]):
    for _ in range(1000):
        word[0:8] = bytes(8)
'''


def test_a_lock_word_cleared_in_a_loop_keeps_returned_enqueues(tmp_path, request):
    qdir, stop = str(tmp_path / "q"), str(tmp_path / "stop")
    ferrow.FerrowCore(qdir).enqueue(b"seed")
    count = int(os.environ.get("FERROW_LOCK_WORD_ENQUEUES", "1000"))
    helpers = [spawn(COMPACTOR, qdir, stop), spawn(ZEROER, qdir, stop)]
    producers = [spawn(PRODUCER, qdir, name, count) for name in ("a", "b")]
    results = [finish(p) for p in producers]
    open(stop, "w").close()
    helper_results = [finish(p) for p in helpers]
    assert [r[0] for r in results + helper_results] == [0] * 4, results + helper_results
    returned = [pair for _, out, _ in results for pair in json.loads(out)["returned"]]
    q = ferrow.FerrowCore(qdir)
    present = set()
    while (m := q.dequeue(lease_ms=600000)) is not None:
        present.add(m[1].decode())
    missing = [payload for _, payload in returned if payload not in present]
    summary = dict(attempted=2 * count, returned=len(returned),
                   distinct_ids=len({seq for seq, _ in returned}),
                   failed_calls=sum(json.loads(out)["errors"] for _, out, _ in results),
                   missing=len(missing))
    # Before the checks one returned enqueue in nine went missing; with them
    # none in 500,000 did in an instrumented build, alone or loaded, but
    # windows a few system calls wide remain (docs/threat-model.md), which
    # the bound leaves room for.
    summary["ids_returned_twice"] = len(returned) - summary["distinct_ids"]
    report_summary(request, "lock_word_writer", summary)
    assert summary["ids_returned_twice"] + len(missing) <= len(returned) // 1000, summary
    reported = [err for _, _, err in results + helper_results if "lock word in" in err]
    assert reported, "nobody noticed the changed lock word"


# ------------------------------------------------------ directory permissions

@pytest.mark.parametrize("mode", [0o777, 0o1777, 0o770])
def test_a_directory_other_users_can_write_is_refused(request, mode):
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        skip_without("playing another user needs root and setpriv(1)")
    base = tempfile.mkdtemp(dir="/tmp")
    request.addfinalizer(lambda: shutil.rmtree(base, ignore_errors=True))
    os.chmod(base, 0o755)
    qdir = os.path.join(base, "q")
    os.mkdir(qdir)
    os.chmod(qdir, mode)
    if mode == 0o777:
        with pytest.raises(PermissionError) as err:
            ferrow.FerrowCore(qdir)
        assert str(err.value) == (
            f"Ferrow I/O error: queue directory {qdir} is writable by other users and not "
            f"sticky, so anyone could replace the queue's files; refusing to open it "
            f"(fix: chmod o-w {qdir})")
        assert os.listdir(qdir) == []
        return
    ferrow.FerrowCore(qdir).enqueue(b"kept")
    # Another user, outside the group, cannot put a file of theirs in place
    # of the log of a directory that opening accepts.
    intruder = subprocess.run(
        ["setpriv", "--reuid", "54321", "--regid", "54321", "--clear-groups", "sh", "-c",
         f"cd {qdir} && echo forged > mine && mv -f mine queue.log"],
        capture_output=True, timeout=60)
    assert intruder.returncode != 0
    assert ferrow.FerrowCore(qdir).dequeue()[1] == b"kept"


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as work:
        print(json.dumps(race_cuts(work, int(sys.argv[2]), module_dir=sys.argv[1])))
