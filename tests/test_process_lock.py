"""The process lock when its holder dies, stops, lives in another pid
namespace or forks, and when a waiter is interrupted or runs out of memory.

Kill counts come from FERROW_LOCK_KILLS (kills per case of the kill matrix,
2 by default); the figures (kills, wedges, time from a death to the next
successful call) are printed at the end of the module and written to
lock.json in FERROW_RELIABILITY_DIR when that is set."""
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import time

import pytest

import ferrow
from conftest import report_summary, skip_without
from ferrow_tools.files.lock_file import read_holder

KILLS_PER_CASE = int(os.environ.get("FERROW_LOCK_KILLS") or 2)
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)),
                os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH")) if p))
TIMEOUT_S = 60
SHORT_LEASE = 300
FIGURES = dict(kills=0, kills_inside_a_call=0, wedges=0, ids_reused=0, acked_found=0,
               reported_lost=0, recovery_s=[])


@pytest.fixture(scope="module", autouse=True)
def lock_summary(request):
    yield
    times = sorted(FIGURES["recovery_s"])
    summary = {k: v for k, v in FIGURES.items() if k != "recovery_s"}
    if times:
        summary.update(recovery_p50_ms=round(times[len(times) // 2] * 1e3, 2),
                       recovery_p99_ms=round(times[min(len(times) - 1, int(len(times) * .99))]
                                             * 1e3, 2),
                       recovery_max_ms=round(times[-1] * 1e3, 2))
    report_summary(request, "lock", summary)


# Every child prints "ready", then one line per finished call: "E id" for an
# enqueue, "D id" for a delivery, "A id" for an ack that returned True.
ROLE = r'''
import os, sys, ferrow
qdir, role, relaxed = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
opts = dict(sync_interval_ms=1000) if relaxed else {}
q = ferrow.FerrowCore(qdir, **opts)
print("ready", flush=True)
out = sys.stdout
while True:
    if role == "producer":
        print("E", q.enqueue(b"p" * 100), file=out, flush=True)
    elif role == "batch_producer":
        for seq in q.enqueue_batch([b"b" * 100] * 50):
            print("E", seq, file=out)
        out.flush()
    elif role == "consumer":
        m = q.dequeue(lease_ms=%(lease)d)
        if m is not None:
            print("D", m[0], file=out, flush=True)
            if q.ack(m[0]):
                print("A", m[0], file=out, flush=True)
    elif role == "opener":
        ferrow.FerrowCore(qdir, **opts).in_flight()
    elif role == "compactor":
        q.compact()
    elif role == "purger":
        q.purge()
    elif role == "stopper":  # a holder to stop: its calls take long
        q.enqueue_batch([b"s" * 100] * 2000)
''' % dict(lease=SHORT_LEASE)


class Child:
    def __init__(self, qdir, role, relaxed=False, prefix=()):
        self.proc = subprocess.Popen([*prefix, sys.executable, "-c", ROLE, qdir, role,
                                      "1" if relaxed else "0"], env=CHILD_ENV,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        # Unbuffered, so that no line after "ready" stays behind in a buffer
        # that communicate() does not read.
        assert self.proc.stdout.readline() == b"ready\n", self.proc.stderr.read()

    def stop(self, sig=signal.SIGKILL):
        """Ends the child (if still running) and returns its complete lines."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        out, err = (b.decode() for b in self.proc.communicate(timeout=TIMEOUT_S))
        return out[:out.rfind("\n") + 1].splitlines(), err


@pytest.fixture
def children():
    started = []
    yield lambda *a, **k: started.append(Child(*a, **k)) or started[-1]
    for child in started:
        if child.proc.poll() is None:
            child.proc.kill()
        child.proc.communicate(timeout=TIMEOUT_S)


def word_of(qdir):
    with open(os.path.join(qdir, ".proc_lock"), "rb") as f:
        return struct.unpack("<Q", f.read(8))[0]


def timed_call(call):
    start = time.monotonic()
    call()
    return time.monotonic() - start


def stop_while_holding(pid, qdir):
    """SIGSTOPs process `pid` at a moment it holds the lock word."""
    rng = random.Random()
    for _ in range(10000):
        time.sleep(rng.uniform(0, 0.002))
        os.kill(pid, signal.SIGSTOP)
        holder = read_holder(qdir)
        if holder.state == "alive" and holder.slot.pid in (pid, 1):  # 1: in its own namespace
            return holder
        os.kill(pid, signal.SIGCONT)
    pytest.fail("never caught the process holding the lock")


@pytest.mark.parametrize("relaxed", [False, True], ids=["default", "relaxed"])
@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM], ids=["KILL", "TERM"])
@pytest.mark.parametrize("role", ["producer", "batch_producer", "consumer", "opener",
                                  "compactor", "purger"])
def test_a_process_killed_at_any_moment_wedges_nothing(tmp_path, children, role, sig, relaxed):
    """A victim is killed at random moments while a producer and a consumer
    work on the directory beside it. The next call of this process must get
    through (a wedge would time it out); no id is handed out twice; no
    acknowledged message comes back; every reported enqueue is acked or still
    there (a purger empties the queue and restarts the ids by design: there
    only the first holds)."""
    qdir = str(tmp_path / "q")
    q = ferrow.FerrowCore(qdir)
    q.enqueue_batch([b"seed"] * 100)
    rng = random.Random()
    others = [children(qdir, "producer", relaxed), children(qdir, "consumer", relaxed)]
    lines = []
    for _ in range(KILLS_PER_CASE):
        victim = children(qdir, role, relaxed)
        time.sleep(rng.uniform(0.005, 0.08))
        out, _ = victim.stop(sig)
        assert victim.proc.returncode == -sig
        lines += out
        FIGURES["kills"] += 1
        FIGURES["kills_inside_a_call"] += word_of(qdir) != 0
        try:
            FIGURES["recovery_s"].append(timed_call(q.in_flight))
        except TimeoutError:
            FIGURES["wedges"] += 1
            raise
    for other in others:
        out, err = other.stop()
        assert other.proc.returncode == -signal.SIGKILL, err  # it never failed by itself
        lines += out
    bad = [line for line in lines if len(line.split()) != 2]
    assert not bad, bad[:5]
    enqueued = [int(seq) for kind, seq in map(str.split, lines) if kind == "E"]
    acked = {int(seq) for kind, seq in map(str.split, lines) if kind == "A"}
    # A consumer killed between its ack and the line saying so: either way.
    unsure = {int(seq) for kind, seq in map(str.split, lines) if kind == "D"} - acked
    if role != "purger":
        FIGURES["ids_reused"] += len(enqueued) - len(set(enqueued))
        assert len(enqueued) == len(set(enqueued))
    time.sleep(SHORT_LEASE / 1000)  # the leases of killed consumers lapse
    present = {m[0] for m in q.dequeue_batch(q.stats()["total"] + 1)}
    if role != "purger":  # which restarts the ids at 0
        FIGURES["acked_found"] += len(acked & present)
        assert not acked & present
        lost = set(enqueued) - acked - unsure - present
        FIGURES["reported_lost"] += len(lost)
        assert not lost
    assert q.verify_integrity()["ok"]
    assert not os.path.exists(os.path.join(qdir, "queue.compact.tmp"))


def in_new_pid_namespace():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        skip_without("needs root and unshare(1) for a pid namespace")
    # The leak checker cannot stop the world from inside a new pid namespace
    # and aborts there; a sanitized run checks leaks in every other process.
    options = os.environ.get("ASAN_OPTIONS", "")
    leaks_off = (("env", "ASAN_OPTIONS=" + options.replace("detect_leaks=1", "detect_leaks=0"))
                 if "detect_leaks=1" in options else ())
    if subprocess.run([*leaks_off, "unshare", "--pid", "--fork", "true"]).returncode != 0:
        skip_without("unshare --pid is not permitted here")
    return (*leaks_off, "unshare", "--pid", "--fork", "--kill-child")


def python_pid_under(pid):
    """The pid of the interpreter that `unshare --fork` started."""
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return int(f.read().split()[0])


@pytest.mark.parametrize("namespace", ["same", "new"])
def test_a_stopped_holder_is_never_displaced(tmp_path, children, namespace):
    """A holder stopped inside a call (SIGSTOP, as a debugger or a paused
    container would) keeps the lock while three others wait; it resumes,
    finishes, and nothing is handed out twice. Also in another pid namespace,
    where its pid means nothing to the waiters."""
    prefix = in_new_pid_namespace() if namespace == "new" else ()
    qdir = str(tmp_path / "q")
    ferrow.FerrowCore(qdir)
    holder_child = children(qdir, "stopper", prefix=prefix)
    pid = python_pid_under(holder_child.proc.pid) if prefix else holder_child.proc.pid
    holder = stop_while_holding(pid, qdir)
    assert holder.describe().startswith(f"held by pid {pid} for "), holder.describe()
    waiters = [subprocess.Popen([sys.executable, "-c", ROLE, qdir, "producer", "0"],
                                env=CHILD_ENV, stdout=subprocess.PIPE, text=True)
               for _ in range(3)]
    try:
        time.sleep(5)
        assert [w.poll() for w in waiters] == [None] * 3
        assert read_holder(qdir).word == holder.word  # not taken over
        r = subprocess.run([sys.executable, "-m", "ferrow_tools", "unlock", qdir], env=CHILD_ENV,
                           capture_output=True, text=True, timeout=TIMEOUT_S)
        assert r.returncode == 1 and "(alive)" in r.stderr, r.stderr
        os.kill(pid, signal.SIGCONT)
        for w in waiters:  # each gets through and reports enqueues
            assert w.stdout.readline() == "ready\n"
            assert w.stdout.readline().startswith("E ")
    finally:
        os.kill(pid, signal.SIGCONT)
        for w in waiters:
            w.kill()
            w.communicate(timeout=TIMEOUT_S)
        holder_child.stop()
    q = ferrow.FerrowCore(qdir)
    stats = q.stats()
    ids = [m[0] for m in q.dequeue_batch(stats["total"] + 1)]
    assert len(ids) == len(set(ids)) == stats["next_seq"]


FORKER = r'''
import os, sys, time, ferrow
q = ferrow.FerrowCore(sys.argv[1])
q.enqueue(b"before the fork")
parent = os.getpid()
child = os.fork()
if child:
    print(parent, child, flush=True)
if (child == 0) == (sys.argv[2] == "child"):
    while True:  # the victim: inside a call most of the time
        q.enqueue_batch([b"f" * 100] * 2000)
time.sleep(%d)
''' % TIMEOUT_S


@pytest.mark.parametrize("victim", ["child", "parent"])
def test_a_forked_process_dies_alone(tmp_path, victim):
    """A queue object used on both sides of a fork: the side that dies inside
    a call is found dead although the other side, which inherited the same
    descriptors, lives on."""
    qdir = str(tmp_path / "q")
    proc = subprocess.Popen([sys.executable, "-c", FORKER, qdir, victim], env=CHILD_ENV,
                            stdout=subprocess.PIPE, text=True)
    parent, child = map(int, proc.stdout.readline().split())
    dead, survivor = (child, parent) if victim == "child" else (parent, child)
    try:
        holder = stop_while_holding(dead, qdir)
        os.kill(dead, signal.SIGKILL)
        deadline = time.monotonic() + TIMEOUT_S
        while read_holder(qdir).state == "alive":  # until the kernel dropped its locks
            assert time.monotonic() < deadline, "the survivor keeps the dead side's lock"
            time.sleep(0.001)
        assert read_holder(qdir).word == holder.word
        q = ferrow.FerrowCore(qdir)
        FIGURES["recovery_s"].append(timed_call(q.in_flight))
        assert q.verify_integrity()["ok"]
        os.kill(survivor, 0)  # still alive
    finally:
        for pid in (parent, child):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        proc.communicate(timeout=TIMEOUT_S)


WAITER = r'''
import os, sys, time, ferrow
q = ferrow.FerrowCore(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
cpu, wall = time.process_time(), time.monotonic()
try:
    q.enqueue(b"never")
    print("returned")
except KeyboardInterrupt:
    print("KeyboardInterrupt", time.monotonic(), (time.process_time() - cpu) / (time.monotonic() - wall))
sys.stdout.flush()
sys.stdin.readline()
print(q.enqueue(b"after"), flush=True)
'''


def test_ctrl_c_ends_a_lock_wait_at_once_and_waiting_costs_no_cpu(qdir):
    """A waiter behind a lock nobody can identify (1, written by hand) gets
    KeyboardInterrupt within milliseconds of SIGINT, having used almost no
    CPU while it waited; nothing was written and both locks were released."""
    q = ferrow.FerrowCore(qdir)
    q.enqueue(b"first")
    with open(os.path.join(qdir, "queue.log"), "rb") as f:
        before = f.read()
    waiter = subprocess.Popen([sys.executable, "-c", WAITER, qdir], env=CHILD_ENV,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert waiter.stdout.readline() == "ready\n"
        with open(os.path.join(qdir, ".proc_lock"), "r+b") as f:
            f.write(struct.pack("<Q", 1))
        waiter.stdin.write("go\n")
        waiter.stdin.flush()
        time.sleep(5)
        sent = time.monotonic()
        os.kill(waiter.pid, signal.SIGINT)
        kind, seen, cpu_share = waiter.stdout.readline().split()
        assert kind == "KeyboardInterrupt"
        latency = float(seen) - sent
        print(f"Ctrl-C latency {latency * 1e3:.1f} ms, waiter CPU {float(cpu_share) * 100:.2f}%")
        assert latency < 1.0 and float(cpu_share) < 0.05
        with open(os.path.join(qdir, "queue.log"), "rb") as f:
            assert f.read() == before
        with open(os.path.join(qdir, ".proc_lock"), "r+b") as f:
            f.write(bytes(8))
        waiter.stdin.write("again\n")
        waiter.stdin.flush()
        assert waiter.stdout.readline() == "1\n"
    finally:
        waiter.kill()
        waiter.communicate(timeout=TIMEOUT_S)


STARVED = r'''
import resource, sys, ferrow
q = ferrow.FerrowCore(sys.argv[1])
with open("/proc/self/status") as f:
    vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
# Room to map the log (its 64 MiB and the mapping's headroom), not to copy the body.
resource.setrlimit(resource.RLIMIT_AS, (vm + (150 << 20), resource.RLIM_INFINITY))
try:
    q.dequeue()
    print("returned", flush=True)
except MemoryError:
    print("MemoryError", flush=True)
sys.stdin.readline()
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(q.in_flight(), flush=True)
'''


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer reserves more address space than any limit")
def test_an_allocation_that_fails_inside_a_call_raises_memory_error(qdir):
    q = ferrow.FerrowCore(qdir)
    q.enqueue(b"x" * (64 << 20))
    child = subprocess.Popen([sys.executable, "-c", STARVED, qdir], env=CHILD_ENV,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "MemoryError\n"
        # The lock was released on the way out: usable from here at once.
        assert timed_call(lambda: q.enqueue(b"next")) < 5
        child.stdin.write("go\n")
        child.stdin.flush()
        assert child.stdout.readline() == "1\n"  # the lease it was granted stands
    finally:
        child.kill()
        child.communicate(timeout=TIMEOUT_S)
