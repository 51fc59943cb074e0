"""A power loss at any moment of a busy multi-process run undoes no call that
returned: every enqueue, delivery and acknowledgement a process was told of
is in what the last completed fsync covered, also when the process whose
fsync would have covered it stalls or fails; and a process whose fsync hangs
holds up no other.

The fault shim records, for every fsync that succeeds, the file's length
when it began; a power loss is played by killing every process and cutting
the log at the largest such length, as a disk would keep it."""
import os
import random
import signal
import subprocess
import sys
import time

import pytest

import ferrow

SHIM = os.environ.get("FERROW_FAULT_SHIM")
pytestmark = pytest.mark.skipif(not SHIM, reason="FERROW_FAULT_SHIM is not set (make test sets it)")
CHILD_ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(ferrow.__file__)))

# Each process reports a call only after it returned, one line per call.
WORKER = r'''
import ctypes, errno, os, sys, time, ferrow
role, qdir, report, syncs, fault = sys.argv[1:6]
shim = ctypes.CDLL(os.environ["FERROW_FAULT_SHIM"])
shim.ferrow_fault_record_syncs(syncs.encode())
# Every fsync takes a millisecond, as on a real disk (tmp may be a tmpfs),
# the stalled one 30.
shim.ferrow_fault_stall_syncs(30000 if fault == "stalled" else 1000)
if fault == "failing":
    shim.ferrow_fault_arm(b"fsync", 0, 1 << 30, errno.EIO)
q = ferrow.FerrowCore(qdir, auto_compact_bytes=0)
out = os.open(report, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
os.write(out, b"ready\n")
i = 0
while True:
    try:
        if role.startswith("producer"):
            body = "%s-%d" % (role, i)
            i += 1
            os.write(out, b"E %d %s\n" % (q.enqueue(body.encode()), body.encode()))
            continue
        m = q.dequeue(lease_ms=600000)
        if m is None:
            time.sleep(0.001)
            continue
        os.write(out, b"D %d %s %d\n" % (m[0], m[1], m[2]))
        if q.ack(m[0]):
            os.write(out, b"A %d\n" % m[0])
    except OSError:
        pass  # the failing fsyncs: the call reported its error
'''

ROLES = ["producer0", "producer1", "consumer0", "consumer1"]


def run_until_power_loss(qdir, syncs, leader, seconds):
    ferrow.FerrowCore(str(qdir))
    reports = [qdir.parent / f"{role}.calls" for role in ROLES]
    procs = [subprocess.Popen([sys.executable, "-c", WORKER, role, str(qdir), str(report),
                               str(syncs), leader if role == "producer0" else "healthy"],
                              env=dict(CHILD_ENV, LD_PRELOAD=SHIM))
             for role, report in zip(ROLES, reports)]
    try:
        deadline = time.monotonic() + 60
        while not all(r.exists() and r.read_bytes().startswith(b"ready") for r in reports):
            assert time.monotonic() < deadline, "the workers did not start"
            time.sleep(0.02)
        time.sleep(seconds)
    finally:
        # All at once: one left running would sync what the others returned.
        for p in procs:
            p.send_signal(signal.SIGKILL)
        for p in procs:
            p.wait(timeout=60)
    calls = [line.split() for r in reports for line in r.read_text().splitlines()[1:]]
    return calls


def survivor(qdir, syncs, scratch):
    """The queue a disk would hold: the log cut at the end of the last
    completed fsync of its file. Its messages as {seq: (body, deliveries)}."""
    log = qdir / "queue.log"
    inode = os.stat(log).st_ino
    synced = [int(length) for ino, length in (line.split() for line in syncs.read_text().split("\n")
                                              if line) if int(ino) == inode]
    scratch.mkdir()
    (scratch / "queue.log").write_bytes(log.read_bytes()[:max(synced)])
    q = ferrow.FerrowCore(str(scratch))
    next_seq = q.stats()["next_seq"]
    for seq in range(next_seq):
        q.extend_lease(seq, lease_ms=0)
    kept = {m[0]: (m[1].decode(), m[2] - 1) for m in q.dequeue_batch(1 << 20)}
    return next_seq, kept


@pytest.mark.parametrize("leader", ["healthy", "stalled", "failing"])
def test_a_power_loss_at_any_moment_undoes_no_returned_call(tmp_path, leader):
    checked = 0
    for round_ in range(3):
        base = tmp_path / str(round_)
        base.mkdir()
        qdir, syncs = base / "q", base / "syncs"
        calls = run_until_power_loss(qdir, syncs, leader, random.uniform(0.3, 1.2))
        next_seq, kept = survivor(qdir, syncs, base / "after")
        for call in calls:
            seq = int(call[1])
            # Ids are handed out in log order: one below next_seq is in the log.
            assert seq < next_seq, f"{call} returned, but the log ends before it"
            if call[0] == "E" and seq in kept:
                assert kept[seq][0] == call[2]
            elif call[0] == "D" and seq in kept:
                assert kept[seq][0] == call[2] and kept[seq][1] >= int(call[3]), call
            elif call[0] == "A":
                assert seq not in kept, f"acknowledged {seq} is back after the power loss"
        checked += len(calls)
    assert checked > 0
    print(f"{leader}: {checked} returned calls checked against 3 power losses")


HUNG = r'''
import ctypes, os, sys, ferrow
shim = ctypes.CDLL(os.environ["FERROW_FAULT_SHIM"])
shim.ferrow_fault_stall_syncs(20 * 1000000)
q = ferrow.FerrowCore(sys.argv[1])
q.enqueue(b"hung")
open(sys.argv[2], "w").close()
'''


def test_a_hung_fsync_holds_up_no_other_process(tmp_path):
    """The process whose fsync hangs (20 s, as on a dying disk or in a stopped
    process may) leads when the others come; they must take over instead of
    waiting for it call after call."""
    qdir = tmp_path / "q"
    q = ferrow.FerrowCore(str(qdir))
    returned = tmp_path / "returned"
    hung = subprocess.Popen([sys.executable, "-c", HUNG, str(qdir), str(returned)],
                            env=dict(CHILD_ENV, LD_PRELOAD=SHIM))
    try:
        leader = qdir / ".proc_lock"
        deadline = time.monotonic() + 30
        while int.from_bytes(leader.read_bytes()[8:16], "little") == 0:
            assert time.monotonic() < deadline and hung.poll() is None, "no fsync began"
            time.sleep(0.01)
        # Waiting out the hung leader at each call (50 ms) would take 50 s.
        ids = [q.enqueue(b"%d" % i) for i in range(1000)]
        assert not returned.exists(), "the hung fsync ended before the others were done"
        assert q.available() == 1001 and ids == list(range(1, 1001))
    finally:
        hung.kill()
        hung.wait(timeout=30)
