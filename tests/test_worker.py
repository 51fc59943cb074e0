"""ferrow_tools.worker: blocking waits, lease keeping, retry back-off, dead
letters and stopping on signals, with real worker processes. Every wait is
bounded; timings are checked against tolerant ranges."""
import os
import resource
import signal
import statistics
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import ferrow
from ferrow_tools import Queue, deadletter
from ferrow_tools import worker as worker_module
from ferrow_tools.targets import is_redis, open_queue
from ferrow_tools.worker import (LeaseLost, QueueWatcher, RetryPolicy, Worker, keep_lease,
                                 move_to_dead_letter, wait_for_message)

CHILD_TIMEOUT_S = 60


def spawn(code, *args):
    """Starts a Python child running `code` (argv[1:] = args) in its own session."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


@pytest.fixture
def children():
    procs = []
    yield procs
    for p in procs:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
        p.communicate()


def wait_until(cond, timeout=CHILD_TIMEOUT_S, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(step)
    return cond()


def lock_word(qdir):
    with open(os.path.join(qdir, ".proc_lock"), "rb") as f:
        return f.read(8)


def kill_outside_a_call(proc, qdir, attempts=50):
    """SIGKILLs `proc` at a moment it does not hold the process lock.

    A process killed inside a call leaves the lock word taken for good, and
    every other process on the directory then times out: that is the
    documented stale-lock case, not what this test is about. So the victim is
    stopped first; a stopped process cannot take or release the lock, so once
    the word is seen free while it is stopped, it is not the holder."""
    for _ in range(attempts):
        os.kill(proc.pid, signal.SIGSTOP)
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            if lock_word(qdir) == bytes(8):
                os.kill(proc.pid, signal.SIGKILL)
                return
            time.sleep(0.001)
        os.kill(proc.pid, signal.SIGCONT)
        time.sleep(0.01)
    pytest.fail("the worker held the process lock at every attempt to stop it")


def lines(path):
    try:
        with open(path) as f:
            return [ln.split() for ln in f.read().splitlines() if ln.strip()]
    except FileNotFoundError:
        return []


# ---------------------------------------------------------------- retry policy

def test_retry_policy_doubles_up_to_the_cap_with_bounded_jitter():
    p = RetryPolicy(base_ms=100, cap_ms=1000, jitter=0.25)
    assert [p.nominal_ms(n) for n in range(1, 7)] == [100, 200, 400, 800, 1000, 1000]
    samples = [p.delay_ms(3) for _ in range(500)]
    assert min(samples) >= 300 and max(samples) <= 400
    assert max(samples) - min(samples) > 20  # the jitter does spread them
    assert {RetryPolicy(50, 1000, 0.0).delay_ms(2) for _ in range(20)} == {100}
    with pytest.raises(ValueError):
        RetryPolicy(10, 100, 1.5)


def test_failed_deliveries_come_back_after_the_back_off(tmp_path):
    """A message that keeps failing is redelivered after about base, 2*base,
    4*base (capped), each shortened by at most the jitter."""
    qdir = str(tmp_path / "q")
    q = ferrow.FerrowCore(qdir)
    q.enqueue(b"flaky")
    seen = []

    def handler(message):
        seen.append((time.monotonic(), message[2]))
        if message[2] < 4:
            raise RuntimeError("not yet")

    policy = RetryPolicy(base_ms=200, cap_ms=500, jitter=0.25)
    w = Worker(qdir, handler, lease_ms=5000, max_deliveries=10, retry=policy)
    stats = w.run(max_messages=4, idle_exit_s=10)
    assert [d for _, d in seen] == [1, 2, 3, 4]
    assert stats.counts["retry"] == 3 and stats.counts["acked"] == 1
    gaps = [b[0] - a[0] for a, b in zip(seen, seen[1:])]
    for gap, nominal in zip(gaps, [0.2, 0.4, 0.5]):
        assert nominal * 0.75 - 0.01 <= gap <= nominal + 1.0, (gaps, nominal)
    assert q.stats()["total"] == 0
    assert not os.path.exists(qdir + ".dead")  # opened for a dead letter only


# ---------------------------------------------------------------- dead letters

def test_poison_message_lands_in_the_dead_letter_queue_intact(tmp_path, caplog):
    qdir = str(tmp_path / "q")
    q = ferrow.FerrowCore(qdir)
    poison = bytes(range(256)) + b"\n{not json}\n"
    pid = q.enqueue(poison)
    good = q.enqueue(b"fine")
    calls = []

    def handler(message):
        calls.append(message[0])
        if message[1] == poison:
            raise ValueError("bad input")

    w = Worker(qdir, handler, lease_ms=5000, max_deliveries=3,
               retry=RetryPolicy(base_ms=10, cap_ms=20, jitter=0.0))
    with caplog.at_level("WARNING", logger="ferrow_tools.worker"):
        stats = w.run(max_messages=4, idle_exit_s=10)
    assert calls.count(pid) == 3 and calls.count(good) == 1
    moves = [r.getMessage() for r in caplog.records if "moved to" in r.getMessage()]
    assert moves == ["message {} moved to {}.dead after 3 deliveries; last failure: "
                     "ValueError: bad input".format(pid, qdir)]
    assert stats.counts["dead"] == 1 and stats.counts["retry"] == 2
    assert q.stats()["total"] == 0
    dead = ferrow.FerrowCore(deadletter.dead_letter_dir(qdir))
    letters = dead.dequeue_batch(10)
    assert len(letters) == 1
    d = deadletter.decode(letters[0][1])
    assert (d.original_id, d.deliveries, d.body) == (pid, 3, poison)
    assert "bad input" in d.reason and d.enqueued_ts_ms > 0


def test_crash_between_copy_and_ack_leaves_the_message_in_both_queues(tmp_path, children):
    """Copy-then-ack is at least once: a process killed after the copy and
    before the ack leaves a copy in the dead-letter queue and the message in
    the main queue, which delivers it again."""
    qdir = str(tmp_path / "q")
    q = ferrow.FerrowCore(qdir)
    seq = q.enqueue(b"poison body")
    child = spawn("""
        import os, signal, sys
        import ferrow
        from ferrow_tools.deadletter import dead_letter_dir
        from ferrow_tools.worker import move_to_dead_letter

        class DiesOnAck:
            def __init__(self, q): self.q = q
            def ack(self, seq):
                os.kill(os.getpid(), signal.SIGKILL)

        q = ferrow.FerrowCore(sys.argv[1])
        msg = q.dequeue(lease_ms=300)
        move_to_dead_letter(DiesOnAck(q), ferrow.FerrowCore(dead_letter_dir(sys.argv[1])),
                            msg, "too many deliveries")
        print("ack returned", flush=True)
    """, qdir)
    children.append(child)
    out, err = child.communicate(timeout=CHILD_TIMEOUT_S)
    assert child.returncode == -signal.SIGKILL, out + err
    assert "ack returned" not in out
    dead = ferrow.FerrowCore(deadletter.dead_letter_dir(qdir))
    copy = dead.dequeue()
    assert copy is not None and deadletter.decode(copy[1]).body == b"poison body"
    assert deadletter.decode(copy[1]).original_id == seq
    assert q.stats()["total"] == 1
    # the lease (300 ms) lapses, then the main queue hands the message out again
    got = []
    assert wait_until(lambda: got.append(q.dequeue()) or got[-1] is not None, timeout=10)
    assert got[-1][:3] == (seq, b"poison body", 2)


# ---------------------------------------------------------------- lease keeping

def test_a_worker_with_a_serializer_hands_over_decoded_bodies(tmp_path):
    """As Queue(serializer="json") puts them; a body that does not decode
    fails like a handler would, and ends in the dead-letter queue."""
    qdir = str(tmp_path / "q")
    Queue(qdir, serializer="json").put({"photo": 1})
    ferrow.FerrowCore(qdir).enqueue(b"{not json")
    got = []
    w = Worker(qdir, got.append, max_deliveries=1, serializer="json")
    stats = w.run(idle_exit_s=0.5)
    assert [m[1] for m in got] == [{"photo": 1}]
    assert stats.counts["acked"] == 1 and stats.counts["dead"] == 1
    letter = deadletter.decode(ferrow.FerrowCore(qdir + ".dead").dequeue()[1])
    assert letter.body == b"{not json" and letter.reason.startswith("JSONDecodeError: ")


def test_a_long_running_workers_stats_keep_only_the_latest_ids(tmp_path, monkeypatch):
    monkeypatch.setattr(worker_module, "RECENT_IDS", 3)
    qdir = str(tmp_path / "q")
    seqs = ferrow.FerrowCore(qdir).enqueue_batch([b"x"] * 5)
    stats = Worker(qdir, lambda m: None).run(max_messages=5, idle_exit_s=0.5)
    assert stats.counts["acked"] == 5 and list(stats.seen) == seqs[-3:]


def test_long_job_is_kept_alive_past_several_leases(tmp_path, children):
    """A worker process runs a job lasting six lease lengths; meanwhile this
    process keeps trying to dequeue and never gets the message."""
    qdir = str(tmp_path / "q")
    q = ferrow.FerrowCore(qdir)
    seq = q.enqueue(b"long")
    record = tmp_path / "record"
    child = spawn("""
        import sys, time
        from ferrow_tools.worker import Worker
        def handler(m):
            with open(sys.argv[2], "a") as f:
                f.write("start %d %d\\n" % (m[0], m[2])); f.flush()
            time.sleep(1.8)
            with open(sys.argv[2], "a") as f:
                f.write("end %d %d\\n" % (m[0], m[2]))
        w = Worker(sys.argv[1], handler, lease_ms=300)
        print(w.run(max_messages=1, idle_exit_s=20).counts, flush=True)
    """, qdir, record)
    children.append(child)
    assert wait_until(lambda: lines(record))
    stolen = []
    while child.poll() is None and not any(r[0] == "end" for r in lines(record)):
        m = q.dequeue(lease_ms=60_000)
        if m is not None:
            stolen.append(m)
        time.sleep(0.02)
    out, err = child.communicate(timeout=CHILD_TIMEOUT_S)
    assert child.returncode == 0, out + err
    assert stolen == []
    assert lines(record) == [["start", str(seq), "1"], ["end", str(seq), "1"]]
    assert "'acked': 1" in out
    s = q.stats()
    assert (s["total"], s["acked_total"], s["requeued_total"]) == (0, 1, 0)


def test_keep_lease_never_acks_a_lost_lease(tmp_path):
    """With renewal capped by max_total_ms the lease runs out during the job:
    the block raises LeaseLost and the message is not acked; it is delivered
    again."""
    q = ferrow.FerrowCore(str(tmp_path / "q"))
    seq = q.enqueue(b"slow")
    msg = q.dequeue(lease_ms=200)
    with pytest.raises(LeaseLost):
        with keep_lease(q, msg, 200, max_total_ms=50) as k:
            time.sleep(0.5)
    assert k.lost and k.outcome == "lost"
    again = q.dequeue()
    assert again is not None and again[0] == seq and again[2] == 2


def test_keep_lease_stops_when_extend_lease_fails(tmp_path):
    """Someone else acks the message mid-job: the renewal sees False, stops,
    and the keeper neither extends nor acks afterwards."""
    q = ferrow.FerrowCore(str(tmp_path / "q"))
    seq = q.enqueue(b"x")
    msg = q.dequeue(lease_ms=200)
    other = ferrow.FerrowCore(str(tmp_path / "q"))
    with pytest.raises(LeaseLost):
        with keep_lease(q, msg, 200) as k:
            time.sleep(0.15)
            assert k.renewals >= 1
            assert other.ack(seq)
            acked_before = other.stats()["acked_total"]
            assert wait_until(lambda: k.lost, timeout=5)
    assert k.lost
    assert other.stats()["acked_total"] == acked_before


def test_keep_lease_is_safe_with_threads_sharing_one_object(tmp_path):
    q = ferrow.FerrowCore(str(tmp_path / "q"))
    q.enqueue_batch([b"%d" % i for i in range(40)])
    errors = []

    def consume():
        try:
            while True:
                m = q.dequeue(lease_ms=100)
                if m is None:
                    return
                with keep_lease(q, m, 100, renew_fraction=0.3):
                    time.sleep(0.01 * (m[0] % 3))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=consume) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    s = q.stats()
    assert (s["total"], s["acked_total"], s["requeued_total"]) == (0, 40, 0)


# ---------------------------------------------------------------- waiting

ENQUEUE_LATER = """
    import sys, time
    import ferrow
    q = ferrow.FerrowCore(sys.argv[1])
    print("ready", flush=True)
    time.sleep(float(sys.argv[2]))
    t = time.time()
    q.enqueue(b"wake up")
    print(t, flush=True)
"""


def test_wait_for_message_wakes_early_when_another_process_enqueues(tmp_path, children):
    """The other process enqueues 1.1 s into the wait, when the back-off
    (1 ms doubling, capped at 2 s) would next look at 2.05 s: only the inotify
    wake-up returns within a fraction of that. Latency = enqueue started in
    the other process -> return."""
    qdir = str(tmp_path / "q")
    q = ferrow.FerrowCore(qdir)
    if not QueueWatcher(qdir).available:
        pytest.skip("inotify is not available here")
    latencies = []
    for _ in range(5):
        child = spawn(ENQUEUE_LATER, qdir, 1.1)
        children.append(child)
        assert child.stdout.readline().strip() == "ready"
        m = wait_for_message(q, 20, queue_dir=qdir, max_backoff_s=2.0)
        returned = time.time()
        out, err = child.communicate(timeout=CHILD_TIMEOUT_S)
        assert child.returncode == 0, err
        assert m is not None and m[1] == b"wake up"
        q.ack(m[0])
        latencies.append(returned - float(out.strip()))
    print(f"wake-up latency: median {statistics.median(latencies) * 1000:.2f} ms, "
          f"max {max(latencies) * 1000:.2f} ms")
    assert statistics.median(latencies) < 0.5, latencies


def test_wait_for_message_falls_back_to_back_off_and_times_out(tmp_path, children, monkeypatch):
    qdir = str(tmp_path / "q")
    q = ferrow.FerrowCore(qdir)
    start = time.monotonic()
    assert wait_for_message(q, 0.3, queue_dir=qdir) is None
    assert 0.3 <= time.monotonic() - start < 3
    # inotify unavailable: the plain back-off still finds the message
    monkeypatch.setattr(QueueWatcher, "available", property(lambda self: False))
    monkeypatch.setattr(QueueWatcher, "__init__", lambda self, d: setattr(self, "fd", -1))
    child = spawn(ENQUEUE_LATER, qdir, 0.2)
    children.append(child)
    assert child.stdout.readline().strip() == "ready"
    m = wait_for_message(q, 20, queue_dir=qdir)
    returned = time.time()
    out, _ = child.communicate(timeout=CHILD_TIMEOUT_S)
    assert m is not None and m[1] == b"wake up"
    assert returned - float(out.strip()) < 5  # within the 100 ms cap, with slack


def test_idle_worker_uses_little_cpu(tmp_path, children):
    child = spawn("""
        import resource, sys, time
        import ferrow
        from ferrow_tools.worker import wait_for_message
        q = ferrow.FerrowCore(sys.argv[1])
        time.sleep(0.2)
        r0 = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.monotonic()
        assert wait_for_message(q, 3.0, queue_dir=sys.argv[1]) is None
        r1 = resource.getrusage(resource.RUSAGE_SELF)
        print(r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime, time.monotonic() - t0)
    """, str(tmp_path / "q"))
    children.append(child)
    out, err = child.communicate(timeout=CHILD_TIMEOUT_S)
    assert child.returncode == 0, err
    cpu, wall = map(float, out.split())
    print(f"idle CPU: {cpu * 1000:.1f} ms over {wall:.2f} s ({100 * cpu / wall:.2f} %)")
    assert 2.9 <= wall < 10
    assert cpu < 0.3 * wall


# ---------------------------------------------------------------- the pool

POOL_WORKER = """
    import os, sys, time
    from ferrow_tools.worker import Worker, RetryPolicy
    def handler(m):
        time.sleep(0.02)
        with open(sys.argv[2], "a") as f:
            f.write("%d %d\\n" % (m[0], m[2]))
    w = Worker(sys.argv[1], handler, lease_ms=int(sys.argv[3]), grace_s=5.0,
               retry=RetryPolicy(10, 50, 0.2))
    stats = w.run()
    print("stopped cleanly", stats.counts, flush=True)
"""


def test_pool_drains_the_queue_through_sigkill_and_sigterm(tmp_path, children, shared_target):
    """The same pool on a directory and on Redis (which has no process lock,
    so its worker may be killed at any moment)."""
    qdir = shared_target
    q = open_queue(qdir)
    n = 200
    ids = q.enqueue_batch([b"job %d" % i for i in range(n)])
    records = [tmp_path / f"w{i}" for i in range(3)]
    procs = [spawn(POOL_WORKER, qdir, rec, 1000) for rec in records]
    children.extend(procs)
    killed, termed, survivor = procs

    assert wait_until(lambda: len(lines(records[0])) >= 10 and len(lines(records[1])) >= 10)
    if is_redis(qdir):
        os.kill(killed.pid, signal.SIGKILL)
    else:
        kill_outside_a_call(killed, qdir)
    os.kill(termed.pid, signal.SIGTERM)
    out, err = termed.communicate(timeout=CHILD_TIMEOUT_S)
    assert termed.returncode == 0, out + err
    assert "stopped cleanly" in out
    killed.communicate(timeout=CHILD_TIMEOUT_S)
    assert killed.returncode == -signal.SIGKILL
    # the survivor drains the rest, including what the killed worker held
    assert wait_until(lambda: q.stats()["total"] == 0), q.stats()
    os.kill(survivor.pid, signal.SIGTERM)
    out, err = survivor.communicate(timeout=CHILD_TIMEOUT_S)
    assert survivor.returncode == 0, out + err
    assert "stopped cleanly" in out

    processed = {}
    for rec in records:
        for seq, deliveries in lines(rec):
            processed.setdefault(int(seq), []).append(int(deliveries))
    assert set(processed) == set(ids)  # every message processed at least once
    # only the message(s) the killed worker held can have been processed twice
    assert sum(len(v) - 1 for v in processed.values()) <= 1
    s = q.stats()
    assert (s["total"], s["acked_total"]) == (0, n)
    assert len(lines(records[1])) >= 10 and len(lines(records[2])) > 0


def test_a_job_that_outlives_the_grace_is_handed_back_and_run_returns(tmp_path):
    qdir = str(tmp_path / "q")
    q = ferrow.FerrowCore(qdir)
    seq = q.enqueue(b"slow")
    release = threading.Event()
    w = Worker(qdir, lambda message: release.wait(30), grace_s=0.2)
    threading.Timer(0.3, w.stop).start()
    started = time.monotonic()
    stats = w.run()
    assert time.monotonic() - started < 5
    assert stats.counts["handed_back"] == 1 and list(stats.seen) == [seq]
    assert q.dequeue()[:3] == (seq, b"slow", 2)  # ready again at once
    release.set()  # the handler ends later: its end settles nothing
    time.sleep(0.2)
    assert stats.counts["acked"] == 0 and q.stats()["in_flight"] == 1
