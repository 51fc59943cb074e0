"""A sweep of failed file calls over a scripted workload: bad I/O is reported,
never hidden, and never leaves a process believing something its log does not
say.

The workload drives two FerrowCore objects on one directory (so that catch-up,
reload after compaction and purge, and automatic compaction all happen) through
every operation. A counting run first measures how many calls of each kind
(write, fsync, open, rename, ftruncate, mmap, pread, fstat, mkdir) every step makes; then, for each
kind and each N, a run makes the (N+1)-th such call fail. Around the failure:

- every step either succeeds or raises exactly OSError("Ferrow I/O error: ...")
  carrying the injected error code, and a fault that fired never goes unreported
  (opens and header reads excepted: a failed header probe legitimately turns
  into a reload);
- after every step, each object's counts equal those of a fresh FerrowCore
  opened on a copy of the log, and so does every message it would deliver
  (seq, body, deliveries, leased or not). The objects are drained in a forked
  copy of the process, and the log is put back afterwards, so that looking
  changes nothing;
- the step after the failure (and the observation itself) succeeds;
- the synced mark in `.proc_lock` never claims more of the log than fsyncs that
  completed covered (the shim records each one's starting length).

The runs happen in child interpreters with the fault shim preloaded; each child
loops over many N and prints one JSON line per run. This file is also the child
program. CI samples N (the first call of each kind in every step); with
FERROW_FAULT_SWEEP=full every N runs."""
import contextlib
import ctypes
import errno
import json
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import ferrow

SHIM = os.environ.get("FERROW_FAULT_SHIM")
if __name__ != "__main__" and not SHIM:
    pytest.skip("FERROW_FAULT_SHIM is not set (`make test` builds the fault shim "
                "in build/cpp and sets it)", allow_module_level=True)

FULL = os.environ.get("FERROW_FAULT_SWEEP") == "full"
CHILD_TIMEOUT_S = 900 if FULL else 300
PARALLEL_CHILDREN = 2
LONG = 3_600_000  # no lease lapses during a run unless a step shortens it
PREFIX = "Ferrow I/O error: "
STAT_KEYS = ("ready", "in_flight", "total", "next_seq", "live_bytes", "generation")
KINDS = ("write", "fsync", "open", "rename", "ftruncate", "mmap", "pread", "fstat", "mkdir")
# (call, errno, follow-up): with a follow-up, the first call of that kind after
# the fault fails too. After a failed write the engine cuts the log back to its
# last whole frame before the next append; that ftruncate is otherwise never
# reached.
SWEEPS = [
    ("write", errno.EIO, None),
    ("write", errno.ENOSPC, None),
    ("write", errno.EIO, "ftruncate"),
    ("fsync", errno.EIO, None),
    ("open", errno.EIO, None),
    ("rename", errno.EIO, None),
    ("ftruncate", errno.EIO, None),
    ("mmap", errno.EIO, None),
    ("pread", errno.EIO, None),
    ("fstat", errno.EIO, None),
    ("mkdir", errno.EACCES, None),
]


def make_body(i, size):
    head = b"m%02d:" % i
    return head + bytes((i * 7 + k) % 256 for k in range(size - len(head)))


# Message 2 is larger than the 8 KiB staging buffer that compaction writes
# through, so a compaction that carries it makes several writes.
BODIES = [make_body(i, 9000 if i == 2 else 20 + i) for i in range(10)]


# -- the workload ---------------------------------------------------------------

class Run:
    """One workload run: the two objects and what earlier steps returned."""

    def __init__(self, qdir):
        self.qdir = qdir
        self.objs = {}
        self.got = {}

    def open(self, name, **kwargs):
        self.objs[name] = ferrow.FerrowCore(self.qdir, **kwargs)

    @property
    def a(self):
        return self.objs["a"]

    @property
    def b(self):
        return self.objs["b"]

    def seqs(self, step, default):
        """The ids a dequeue step returned; `default` if it failed (an
        unknown id is harmless: it returns False and writes nothing)."""
        got = self.got.get(step)
        if isinstance(got, tuple):
            return [got[0]]
        if isinstance(got, list) and got:
            return [m[0] for m in got]
        return default

    def seq(self, step, default, index=0):
        found = self.seqs(step, [])
        return found[index] if index < len(found) else default


def lapse_and_reclaim(run):
    # One step, so that no observation in between reclaims the lapsed lease.
    run.a.extend_lease(run.seq("dequeue to lapse", 1), lease_ms=0)
    return run.a.available()


# (name, object that acts, action). b compacts by itself whenever less than
# half of its log is live.
STEPS = [
    ("open a", "a", lambda r: r.open("a")),
    ("enqueue", "a", lambda r: r.a.enqueue(BODIES[0])),
    ("enqueue_batch", "a", lambda r: r.a.enqueue_batch(BODIES[1:4])),
    ("open b", "b", lambda r: r.open("b", auto_compact_bytes=1)),
    ("enqueue after catch-up", "b", lambda r: r.b.enqueue(BODIES[4])),
    ("dequeue", "a", lambda r: r.a.dequeue(lease_ms=LONG)),
    ("dequeue_batch", "b", lambda r: r.b.dequeue_batch(2, lease_ms=LONG)),
    ("extend_lease", "b", lambda r: r.b.extend_lease(r.seq("dequeue", 0), lease_ms=2 * LONG)),
    ("nack requeue", "a", lambda r: r.a.nack(r.seq("dequeue_batch", 1), requeue=True)),
    # Drops the big message: b's log becomes mostly dead and b compacts.
    ("nack drop", "b", lambda r: r.b.nack(r.seq("dequeue_batch", 2, index=1), requeue=False)),
    ("available", "a", lambda r: r.a.available()),
    ("stats", "b", lambda r: r.b.stats()),
    ("ack", "a", lambda r: r.a.ack(r.seq("dequeue", 0))),
    ("dequeue to lapse", "b", lambda r: r.b.dequeue(lease_ms=LONG)),
    ("lapse and reclaim", "a", lapse_and_reclaim),
    ("dequeue_batch after reclaim", "a", lambda r: r.a.dequeue_batch(3, lease_ms=LONG)),
    ("ack_batch", "b",
     lambda r: r.b.ack_batch(r.seqs("dequeue_batch after reclaim", [1, 3, 4]) + [10**6])),
    ("flush", "a", lambda r: r.a.flush()),
    ("compact", "b", lambda r: r.b.compact()),
    ("enqueue after reload", "a", lambda r: r.a.enqueue(BODIES[5])),
    ("in_flight", "a", lambda r: r.a.in_flight()),
    ("dequeue compacted", "b", lambda r: r.b.dequeue(lease_ms=LONG)),
    ("enqueue_batch again", "b", lambda r: r.b.enqueue_batch(BODIES[6:9])),
    ("ack from the other", "a", lambda r: r.a.ack(r.seq("dequeue compacted", 5))),
    ("dequeue_batch before compact", "a", lambda r: r.a.dequeue_batch(2, lease_ms=LONG)),
    ("compact with leases", "a", lambda r: r.a.compact()),
    ("dequeue after reload", "b", lambda r: r.b.dequeue(lease_ms=LONG)),
    ("verify_integrity", "b", lambda r: r.b.verify_integrity()),
    ("purge", "a", lambda r: r.a.purge()),
    ("enqueue after purge", "b", lambda r: r.b.enqueue(BODIES[9])),
    ("dequeue after purge", "a", lambda r: r.a.dequeue(lease_ms=LONG)),
    ("verify_integrity again", "a", lambda r: r.a.verify_integrity()),
    ("stats at the end", "b", lambda r: r.b.stats()),
]

# -- looking at the state without changing it -------------------------------------

def view(q):
    """Every message q holds, as (seq, body, deliveries, leased): leases are
    cut short and everything is delivered once more (hence deliveries - 1)."""
    leased = {s for s in range(q.stats()["next_seq"]) if q.extend_lease(s, lease_ms=0)}
    return sorted([m[0], m[1].hex(), m[2] - 1, m[0] in leased]
                  for m in q.dequeue_batch(1 << 20, lease_ms=LONG))


def counts(q):
    stats = q.stats()
    return {k: stats[k] for k in STAT_KEYS}


def put_back(log, snapshot):
    with open(log, "r+b") as f:
        f.write(snapshot)
        f.truncate()


# The commit marks of `.proc_lock` (bytes 24-63): what a look writes there is
# put back with the log. The synced mark at 40 is tag << 48 | offset, the tag
# being the log's generation modulo 2^16.
MARKS = slice(24, 64)
SYNCED = slice(40, 48)
# Lines "<inode> <length>" the shim appends after every fsync that succeeded.
COMPLETED_SYNCS = None


def read_lock_file(qdir):
    with open(os.path.join(qdir, ".proc_lock"), "rb") as f:
        return f.read(64)


def put_back_marks(qdir, header):
    with open(os.path.join(qdir, ".proc_lock"), "r+b") as f:
        f.seek(MARKS.start)
        f.write(header[MARKS])


def synced_mark_findings(qdir, generation, where):
    mark = int.from_bytes(read_lock_file(qdir)[SYNCED], "little")
    if COMPLETED_SYNCS is None or mark == 0 or mark >> 48 != generation & 0xFFFF:
        return []
    claimed = mark & ((1 << 48) - 1)
    inode = os.stat(os.path.join(qdir, "queue.log")).st_ino
    with open(COMPLETED_SYNCS) as f:
        lengths = [int(length) for ino, length in (line.split() for line in f)
                   if int(ino) == inode]
    covered = max(lengths, default=0)
    if claimed <= covered:
        return []
    return [f"{where}: the synced mark says {claimed} bytes of the log are durable; "
            f"completed fsyncs covered {covered}"]


def fresh_look(snapshot, scratch):
    """Counts, messages and integrity report of a fresh queue on the same log."""
    qdir = os.path.join(scratch, "fresh")
    os.makedirs(qdir)
    try:
        with open(os.path.join(qdir, "queue.log"), "wb") as f:
            f.write(snapshot)
        q = ferrow.FerrowCore(qdir)
        report = q.verify_integrity()
        found = counts(q), view(q), report
        del q
        return found
    finally:
        shutil.rmtree(qdir)


def look_in_fork(run, order, log, snapshot):
    """Counts and messages of each object, taken in a forked copy of this
    process (same in-memory state), so that the objects here are not touched:
    not even a catch-up happens that the next step would otherwise do. The log
    is put back after each object's drain."""
    marks = read_lock_file(run.qdir)
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the forked copy
        status = 1
        try:
            os.close(rfd)
            out = {}
            for name in order:
                try:
                    q = run.objs[name]
                    out[name] = [counts(q), view(q)]
                except BaseException as exc:
                    out[name] = "raised " + describe(exc)
                put_back(log, snapshot)
                put_back_marks(run.qdir, marks)
            with os.fdopen(wfd, "w") as f:
                json.dump(out, f)
            status = 0
        finally:
            os._exit(status)
    os.close(wfd)
    with os.fdopen(rfd) as f:
        data = f.read()
    _, status = os.waitpid(pid, 0)
    put_back(log, snapshot)
    put_back_marks(run.qdir, marks)
    if status != 0 or not data:
        return {name: f"forked observer failed (status {status})" for name in order}
    return json.loads(data)


def describe(exc):
    return f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}"


def observe(run, actor, where, scratch):
    """Findings: each object (the one that acted first) against a fresh open
    of the log as it is now."""
    order = sorted(run.objs, key=lambda name: name != actor)
    if not order:
        return []
    log = os.path.join(run.qdir, "queue.log")
    with open(log, "rb") as f:
        snapshot = f.read()
    try:
        fresh_counts, fresh_view, report = fresh_look(snapshot, scratch)
    except BaseException as exc:
        return [f"{where}: a fresh open of the log raised {describe(exc)}"]
    findings = synced_mark_findings(run.qdir, fresh_counts["generation"], where)
    if not report["ok"] or report["bytes"] != len(snapshot):
        findings.append(f"{where}: the log fails verification: {report}")
    known_bodies = {b.hex() for b in BODIES}
    if any(m[1] not in known_bodies for m in fresh_view):
        findings.append(f"{where}: the log holds a body never enqueued: {fresh_view}")
    for name, seen in look_in_fork(run, order, log, snapshot).items():
        if seen != [fresh_counts, fresh_view]:
            findings.append(f"{where}: {name} shows {seen}, a fresh open "
                            f"{[fresh_counts, fresh_view]}")
    return findings


# -- the child ------------------------------------------------------------------

class Shim:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.ferrow_fault_arm.argtypes = (ctypes.c_char_p, ctypes.c_int, ctypes.c_int,
                                              ctypes.c_int)
        self.lib.ferrow_fault_calls.argtypes = (ctypes.c_char_p,)

    def arm(self, call, skip, err):
        assert self.lib.ferrow_fault_arm(call.encode(), skip, 1, err) == 0

    def disarm(self):
        self.lib.ferrow_fault_disarm_all()

    def calls(self, call):
        return self.lib.ferrow_fault_calls(call.encode())


@contextlib.contextmanager
def stderr_lines():
    """The lines written to file descriptor 2 inside the block (the engine
    writes its warnings there, beneath Python's sys.stderr)."""
    lines = []
    with tempfile.TemporaryFile() as capture:
        saved = os.dup(2)
        os.dup2(capture.fileno(), 2)
        try:
            yield lines
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            capture.seek(0)
            lines += capture.read().decode(errors="replace").splitlines()


def run_workload(shim, qdir, scratch, fault=None):
    """Runs every step, observing after each. `fault` is (call, err, step
    index, calls of that kind to let through in it, follow-up call or None).
    Returns (calls per kind per step, findings, where the fault fired or None,
    how many calls were failed)."""
    run = Run(qdir)
    per_step = {k: [] for k in KINDS}
    findings = []
    fired_in, failed = None, 0
    pending = []  # calls still to fail: [call, skip]
    must_succeed = False
    i = 0
    while i < len(STEPS):
        name, actor, action = STEPS[i]
        if fault is not None and i == fault[2] and not failed and not pending:
            pending.append([fault[0], fault[3]])
        # The capture's own file calls stay outside the counted span.
        with stderr_lines() as warnings:
            before = {k: shim.calls(k) for k in KINDS}
            if pending:
                shim.arm(pending[0][0], pending[0][1], fault[1])
            try:
                outcome = ("ok", action(run))
            except BaseException as exc:
                outcome = ("raised", exc)
            finally:
                shim.disarm()
            made = {k: shim.calls(k) - before[k] for k in KINDS}
        for k in KINDS:
            per_step[k].append(made[k])
        fired_now = False
        if pending and made[pending[0][0]] > pending[0][1]:
            fired_now = True
            fired = pending.pop(0)[0]
            failed += 1
            if fired_in is None:
                fired_in = name
                if fault[4] is not None:
                    pending.append([fault[4], 0])
        elif pending:
            pending[0][1] -= made[pending[0][0]]
        where = f"step {i} {name!r}"
        if outcome[0] == "raised":
            exc = outcome[1]
            if not fired_now:
                why = "after the fault cleared" if must_succeed else "with no fault injected"
                findings.append(f"{where} raised {describe(exc)} {why}")
                return per_step, findings, fired_in, failed
            if type(exc) is not OSError or not str(exc).startswith(PREFIX):
                findings.append(f"{where} raised {describe(exc)} for a failed {fired}")
            elif not str(exc).endswith(f"(os error {fault[1]})"):
                findings.append(f"{where} reported {str(exc)!r} for a failed {fired} "
                                f"(os error {fault[1]})")
        else:
            run.got[name] = outcome[1]
            # A removal stands although the automatic compaction after it
            # failed: that failure is reported on standard error instead.
            compaction_reported = any(line.startswith("Ferrow: automatic compaction failed")
                                      for line in warnings)
            if fired_now and not compaction_reported:
                findings.append(f"{where} succeeded although its {fired} failed")
        findings += observe(run, actor, where, scratch)
        if findings:
            return per_step, findings, fired_in, failed
        must_succeed = outcome[0] == "raised" and not pending
        # A failed open leaves no object to go on with: the retry is the next step.
        if not (outcome[0] == "raised" and name.startswith("open ")):
            i += 1
    return per_step, findings, fired_in, failed


def lapsed_lease_after_a_failed_requeue(shim, base):
    """A lapsed lease whose Requeue write fails, as the object that failed sees
    it afterwards and as a fresh open of the same log sees it."""
    q = ferrow.FerrowCore(os.path.join(base, "q"))
    q.enqueue(b"a")
    q.dequeue(lease_ms=LONG)
    q.extend_lease(0, lease_ms=0)
    shim.arm("write", 0, errno.EIO)
    try:
        raised = "nothing"
        q.available()
    except BaseException as exc:
        raised = describe(exc)
    finally:
        shim.disarm()
    this = counts(q)  # first: a fresh open would write the Requeue itself
    return {"raised": raised, "this": this,
            "fresh": counts(ferrow.FerrowCore(os.path.join(base, "q")))}


def child_main(argv):
    """lapse SCRATCH | count SCRATCH | sweep SCRATCH CALL ERRNO FOLLOW-UP|- POINTS-JSON"""
    global COMPLETED_SYNCS
    shim = Shim(os.environ["FERROW_FAULT_SHIM"])
    base = tempfile.mkdtemp(dir=argv[1])  # children run side by side
    COMPLETED_SYNCS = os.path.join(base, "completed-fsyncs")
    open(COMPLETED_SYNCS, "w").close()
    assert shim.lib.ferrow_fault_record_syncs(COMPLETED_SYNCS.encode()) == 0
    try:
        if argv[0] == "lapse":
            print(json.dumps(lapsed_lease_after_a_failed_requeue(shim, base)), flush=True)
            return 0
        if argv[0] == "count":
            per_step, findings, _, _ = run_workload(shim, os.path.join(base, "q"), base)
            print(json.dumps({"per_step": per_step, "findings": findings}), flush=True)
            return 0
        call, err, follow = argv[2], int(argv[3]), (argv[4] if argv[4] != "-" else None)
        for n, step, skip in json.loads(argv[5]):
            qdir = os.path.join(base, str(n))
            _, findings, fired_in, failed = run_workload(shim, qdir, base,
                                                         fault=(call, err, step, skip, follow))
            shutil.rmtree(qdir)
            print(json.dumps({"n": n, "fired_in": fired_in, "failed": failed,
                              "findings": findings}), flush=True)
        return 0
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(child_main(sys.argv[1:]))


# -- the tests --------------------------------------------------------------------

CHILD_ENV = dict(os.environ, LD_PRELOAD=SHIM or "", FERROW_FAULT_SHIM=SHIM or "",
                 PYTHONPATH=os.pathsep.join(
                     p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)),
                                 os.environ.get("PYTHONPATH")) if p))


def spawn(args):
    return subprocess.Popen([sys.executable, os.path.abspath(__file__)] + args, env=CHILD_ENV,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc):
    try:
        out, err = proc.communicate(timeout=CHILD_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"sweep child timed out after {CHILD_TIMEOUT_S} s; last lines:\n"
                    f"{out[-2000:]}\n{err[-2000:]}")
    lines = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    return proc.returncode, lines, err


@pytest.fixture(scope="module")
def scratch():
    # The runs fsync thousands of times: tmpfs makes that free where it exists.
    where = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    path = tempfile.mkdtemp(prefix="ferrow-sweep-", dir=where)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="module")
def per_step(shim_path, scratch):
    """Calls of each kind that each step of a fault-free run makes."""
    code, lines, err = finish(spawn(["count", scratch]))
    assert code == 0 and lines, err
    return lines[-1]["per_step"], lines[-1]["findings"]


@pytest.fixture(scope="module")
def shim_path():
    if not os.path.isfile(SHIM):
        pytest.fail(f"FERROW_FAULT_SHIM={SHIM!r} names no file; build it with "
                    "`make test` or the ferrow_fault_shim CMake target")
    return SHIM


@pytest.fixture(scope="module")
def tally():
    """Faults injected by the sweeps of this module, written out at the end."""
    # Runs whose state and log disagreed count as mismatches.
    total = {"faults_injected": 0, "mismatches": 0, "runs": 0}
    yield total
    out_dir = os.environ.get("FERROW_RELIABILITY_DIR")
    if out_dir and total["runs"]:
        os.makedirs(out_dir, exist_ok=True)
        with open(os.path.join(out_dir, "faults.json"), "w") as f:
            json.dump(total, f, indent=1)


def fault_points(calls_per_step):
    """(N, step, calls of the kind to let through in that step) for every N
    to run: all of them in the full sweep, else the first call of the kind in
    every step and the very last call."""
    calls = [(step, k) for step, made in enumerate(calls_per_step) for k in range(made)]
    return [(n, step, k) for n, (step, k) in enumerate(calls)
            if FULL or k == 0 or n == len(calls) - 1], len(calls)


def test_fault_free_run_matches_a_fresh_open_after_every_step(per_step):
    counted, findings = per_step
    assert findings == []
    # The workload reaches every kind of call the sweep fails.
    assert all(sum(counted[k]) > 0 for k in KINDS), counted
    assert sum(counted["rename"]) >= 4  # auto, explicit and second compaction, purge


@pytest.mark.parametrize("call, err, follow", SWEEPS,
                         ids=[f"{c}-{errno.errorcode[e]}" + (f"+{f}" if f else "")
                              for c, e, f in SWEEPS])
def test_every_failed_call_is_reported_and_leaves_state_and_log_agreeing(
        per_step, scratch, tally, call, err, follow):
    points, total = fault_points(per_step[0][call])
    assert points, f"the workload makes no {call} call"
    chunks = [points[i::PARALLEL_CHILDREN] for i in range(PARALLEL_CHILDREN)]
    procs = [spawn(["sweep", scratch, call, str(err), follow or "-", json.dumps(chunk)])
             for chunk in chunks if chunk]
    results, failures = [], []
    try:
        for proc in procs:
            code, lines, stderr = finish(proc)
            results += lines
            if code != 0:
                failures.append(f"child exited with {code} after {len(lines)} runs:\n"
                                f"{stderr[-3000:]}")
    finally:
        for proc in procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    assert not failures, failures
    assert len(results) == len(points)
    unfired = [r["n"] for r in results if r["fired_in"] is None]
    assert not unfired, f"planned faults that never fired (N of {total}): {unfired}"
    found = [r for r in results if r["findings"]]
    tally["runs"] += len(results)
    tally["faults_injected"] += sum(r["failed"] for r in results)
    tally["mismatches"] += len(found)
    assert not found, "\n".join(f"N={r['n']}: " + "; ".join(r["findings"]) for r in found)


def test_a_lapsed_lease_whose_requeue_write_failed_is_still_reclaimed(shim_path, scratch):
    code, lines, stderr = finish(spawn(["lapse", scratch]))
    assert code == 0 and lines, stderr
    seen = lines[-1]
    assert seen["raised"] == f"builtins.OSError: {PREFIX}Input/output error (os error 5)"
    assert seen["fresh"]["ready"] == 1 and seen["fresh"]["in_flight"] == 0
    assert seen["this"] == seen["fresh"]
