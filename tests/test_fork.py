"""fork() after opening a queue: a child that goes on using the FerrowCore
object it inherited is one more process on the queue directory. Its records
reach the parent's view at the parent's next call, ids stay unique, each
message is delivered once, and neither the child's exit nor its dropping of
the object, nor a compaction or purge it runs, disturbs the parent. A
":memory:" queue is the exception: the child gets a private copy.

Children made with os.fork() never return into pytest: they report through a
pipe and leave with os._exit(). Every wait is bounded."""
import multiprocessing
import os
import pickle
import select
import signal
import sys
import threading
import time
import traceback

import pytest

import ferrow

CHILD_TIMEOUT_S = 60
LONG_LEASE = 600_000


@pytest.fixture
def q(tmp_path):
    return ferrow.FerrowCore(str(tmp_path / "queue"))


def read_all(fd, deadline):
    data = b""
    while True:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return data, False
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return data, True
        data += chunk


def wait_exit(pid, deadline):
    """The child's exit code, or None after SIGKILLing a child that hung."""
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
        if time.monotonic() >= deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return None
        time.sleep(0.005)


def start_fork(work):
    """Forks; the child runs work() and sends back its result (or its
    traceback). Returns a function that waits for the child and returns the
    result; it fails the test on a hang, a crash or an exception."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never returns
        code = 1
        try:
            os.close(r)
            try:
                out = pickle.dumps(("ok", work()))
                code = 0
            except BaseException:
                out = pickle.dumps(("raised", traceback.format_exc()))
            while out:
                out = out[os.write(w, out):]
        finally:
            os._exit(code)
    os.close(w)

    def finish():
        deadline = time.monotonic() + CHILD_TIMEOUT_S
        try:
            data, complete = read_all(r, deadline)
        finally:
            os.close(r)
        code = wait_exit(pid, deadline)
        assert complete and code is not None, f"forked child hung (after {CHILD_TIMEOUT_S} s)"
        assert data, f"forked child died with exit code {code} before reporting"
        kind, value = pickle.loads(data)
        assert (kind, code) == ("ok", 0), value
        return value

    return finish


def run_fork(work):
    return start_fork(work)()


def drain(queue, lease_ms=LONG_LEASE):
    """Leases and acks everything ready, one message at a time; returns
    [(seq, body, deliveries)]."""
    got = []
    while True:
        m = queue.dequeue(lease_ms=lease_ms)
        if m is None:
            return got
        assert queue.ack(m[0]) is True
        got.append(m[:3])


# -- one child after the other ---------------------------------------------------

def test_child_uses_the_inherited_object_and_the_parent_sees_its_records(q):
    assert q.enqueue_batch([b"p0", b"p1"]) == [0, 1]

    def child():
        seq = q.enqueue(b"from child")
        leased = q.dequeue(lease_ms=LONG_LEASE)
        return seq, leased[:3], q.ack(leased[0]), q.stats()["total"]

    assert run_fork(child) == (2, (0, b"p0", 1), True, 2)
    # The parent's object catches up at its next call.
    s = q.stats()
    assert (s["total"], s["ready"], s["next_seq"], s["acked_total"]) == (2, 2, 3, 1)
    assert q.ack(0) is False  # the child acknowledged it already
    assert q.enqueue(b"from parent") == 3
    assert drain(q) == [(1, b"p1", 1), (2, b"from child", 1), (3, b"from parent", 1)]
    assert q.verify_integrity()["ok"] is True
    assert q.stats()["total"] == 0


def test_child_leases_are_not_delivered_to_the_parent(q):
    q.enqueue_batch([b"a", b"b", b"c"])

    def child():
        return [m[:3] for m in q.dequeue_batch(2, lease_ms=LONG_LEASE)]

    assert run_fork(child) == [(0, b"a", 1), (1, b"b", 1)]
    # The child exited without acking: its leases still run.
    assert q.in_flight() == 2
    assert q.dequeue(lease_ms=LONG_LEASE)[:3] == (2, b"c", 1)
    assert q.dequeue() is None
    # Cut short, they come back with their delivery counted.
    assert q.extend_lease(0, lease_ms=0) and q.extend_lease(1, lease_ms=0)
    assert drain(q) == [(0, b"a", 2), (1, b"b", 2)]


def test_child_deallocating_the_inherited_object_leaves_the_parent_working(tmp_path):
    holder = [ferrow.FerrowCore(str(tmp_path / "queue"))]
    holder[0].enqueue(b"before")

    def child():
        inherited = holder.pop()
        seq = inherited.enqueue(b"child")
        assert sys.getrefcount(inherited) == 2  # this name and the call's argument
        del inherited  # deallocation in the child: syncs and closes its copies
        return seq

    assert run_fork(child) == 1
    q = holder[0]
    assert q.enqueue(b"after") == 2
    assert [m[1] for m in drain(q)] == [b"before", b"child", b"after"]
    assert q.verify_integrity()["ok"] is True


def test_compaction_in_the_child_is_followed_by_the_parent(q):
    q.enqueue_batch([b"gone", b"kept", b"leased"])
    assert q.ack(0) is True
    assert [m[0] for m in q.dequeue_batch(2, lease_ms=LONG_LEASE)] == [1, 2]
    assert q.nack(1) is True

    def child():
        q.compact()
        s = q.stats()
        return s["generation"], s["total"], s["in_flight"]

    assert run_fork(child) == (1, 2, 1)
    # The parent reloads the rewritten log at its next call: same messages,
    # same lease, same delivery counts, bodies read from the new file.
    s = q.stats()
    assert (s["generation"], s["total"], s["in_flight"], s["next_seq"]) == (1, 2, 1, 3)
    assert q.dequeue(lease_ms=LONG_LEASE)[:3] == (1, b"kept", 2)
    assert q.ack(1) is True and q.ack(2) is True
    assert q.enqueue(b"new") == 3
    assert drain(q) == [(3, b"new", 1)]
    assert q.verify_integrity()["ok"] is True


def test_purge_in_the_child_resets_the_parent(q):
    q.enqueue_batch([b"a", b"b"])

    def child():
        q.purge()
        return q.enqueue(b"after purge")

    assert run_fork(child) == 0
    s = q.stats()
    assert (s["total"], s["next_seq"], s["generation"]) == (1, 1, 1)
    assert drain(q) == [(0, b"after purge", 1)]


def test_a_memory_queue_is_copied_not_shared():
    mem = ferrow.FerrowCore(":memory:")
    mem.enqueue(b"before fork")

    def child():
        seq = mem.enqueue(b"child only")
        return seq, [m[:2] for m in mem.dequeue_batch(10)]

    assert run_fork(child) == (1, [(0, b"before fork"), (1, b"child only")])
    # The parent's queue never saw the child's copy change.
    assert mem.enqueue(b"parent only") == 1
    assert [m[:2] for m in mem.dequeue_batch(10)] == [(0, b"before fork"), (1, b"parent only")]


# -- parent and child at the same time --------------------------------------------

def test_parent_and_child_enqueue_at_the_same_time(q):
    n = 200

    def child():
        return [q.enqueue(b"child %d" % i) for i in range(n)]

    finish = start_fork(child)
    parent_ids = [q.enqueue(b"parent %d" % i) for i in range(n)]
    child_ids = finish()
    assert sorted(parent_ids + child_ids) == list(range(2 * n))
    bodies = {seq: body for seq, body, _ in drain(q)}
    assert [bodies[seq] for seq in parent_ids] == [b"parent %d" % i for i in range(n)]
    assert [bodies[seq] for seq in child_ids] == [b"child %d" % i for i in range(n)]


def test_parent_and_child_consume_at_the_same_time(q):
    n = 400
    ids = q.enqueue_batch([b"job %d" % i for i in range(n)])

    finish = start_fork(lambda: drain(q))
    parent_got = drain(q)
    child_got = finish()
    # Each message went to exactly one of them, on its first delivery.
    assert sorted(parent_got + child_got) == [(seq, b"job %d" % seq, 1) for seq in ids]
    s = q.stats()
    assert (s["total"], s["acked_total"], s["requeued_total"]) == (0, n, 0)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with a thread running
def test_fork_while_another_thread_is_inside_calls_on_the_same_object(q):
    # Every call holds the interpreter lock from start to end, so a fork never
    # happens while another thread of the process is inside a call: the
    # child's copy of the object's mutex and of the process lock are free.
    stop = threading.Event()
    errors, consumed = [], []

    def busy():
        try:
            while not stop.is_set():
                seq = q.enqueue(b"thread")
                m = q.dequeue(lease_ms=LONG_LEASE)
                assert m is not None and q.ack(m[0]) is True, (seq, m)
                consumed.append(m[:2])
        except BaseException as exc:
            errors.append(exc)

    thread = threading.Thread(target=busy)
    thread.start()
    try:
        children = []
        for i in range(10):
            children.append(run_fork(lambda: (q.enqueue(b"child %d" % i), q.stats()["next_seq"])))
    finally:
        stop.set()
        thread.join(CHILD_TIMEOUT_S)
    assert not thread.is_alive() and not errors, errors
    seqs = [seq for seq, _ in children]
    assert len(set(seqs)) == 10 and all(nxt > seq for seq, nxt in children)
    # Every child's message is there exactly once: taken by the thread or left.
    got = consumed + [m[:2] for m in drain(q)]
    from_children = sorted((seq, body) for seq, body in got if body != b"thread")
    assert from_children == sorted((seq, b"child %d" % i) for i, seq in enumerate(seqs))
    assert q.stats()["total"] == 0


# -- the fork start method of multiprocessing ---------------------------------------

def consume(queue, conn):
    """A multiprocessing target: drains the inherited queue object, reports
    what it got through conn."""
    conn.send(drain(queue))
    conn.close()


def produce(queue, prefix, n, conn):
    conn.send([queue.enqueue(b"%s %d" % (prefix, i)) for i in range(n)])
    conn.close()


def start_processes(ctx, target, argsets):
    procs, conns = [], []
    for args in argsets:
        recv, send = ctx.Pipe(duplex=False)
        p = ctx.Process(target=target, args=(*args, send))
        p.start()
        send.close()
        procs.append(p)
        conns.append(recv)
    return procs, conns


def collect(procs, conns):
    results = []
    deadline = time.monotonic() + CHILD_TIMEOUT_S
    try:
        for conn in conns:
            assert conn.poll(max(0.0, deadline - time.monotonic())), "a worker did not report"
            results.append(conn.recv())
    finally:
        for p in procs:
            p.join(max(0.0, deadline - time.monotonic()))
            if p.is_alive():
                p.kill()
                p.join()
    assert [p.exitcode for p in procs] == [0] * len(procs)
    return results


def test_multiprocessing_fork_workers_use_the_inherited_object(q):
    ctx = multiprocessing.get_context("fork")
    n = 150
    procs, conns = start_processes(ctx, produce, [(q, b"w%d" % w, n) for w in range(3)])
    parent_ids = [q.enqueue(b"parent %d" % i) for i in range(n)]
    worker_ids = collect(procs, conns)
    every = parent_ids + [seq for ids in worker_ids for seq in ids]
    assert sorted(every) == list(range(4 * n))

    procs, conns = start_processes(ctx, consume, [(q,)] * 3)
    parent_got = drain(q)
    worker_got = collect(procs, conns)
    got = parent_got + [m for ms in worker_got for m in ms]
    assert sorted(seq for seq, _, _ in got) == list(range(4 * n))
    assert all(deliveries == 1 for _, _, deliveries in got)
    bodies = dict((seq, body) for seq, body, _ in got)
    assert [bodies[seq] for seq in parent_ids] == [b"parent %d" % i for i in range(n)]
    for w, ids in enumerate(worker_ids):
        assert [bodies[seq] for seq in ids] == [b"w%d %d" % (w, i) for i in range(n)]
    s = q.stats()
    assert (s["total"], s["acked_total"], s["next_seq"]) == (0, 4 * n, 4 * n)
    assert q.verify_integrity()["ok"] is True
