"""ferrow_tools.Queue over every target: the blocking get woken by another
process (a thread for ":memory:", which no other process sees), `with`
blocks that ack or retry, serializers, and a closed queue refusing use."""
import asyncio
import contextlib
import pathlib
import statistics
import threading
import time

import pytest

from conftest import report_summary
from ferrow_tools import Queue, QueueClosed, RetryPolicy, aio
from ferrow_tools.serializers import PickleWarning
from test_worker import CHILD_TIMEOUT_S, children, spawn  # noqa: F401 (a fixture)

PUT_LATER = """
    import sys, time
    from ferrow_tools import Queue
    q = Queue(sys.argv[1])
    for i in range(int(sys.argv[3])):
        print("ready", flush=True)
        time.sleep(float(sys.argv[2]))  # the parent is waiting in get() by then
        print(time.time(), flush=True)
        q.put(b"%d" % i)
"""


def put_later(target, delay, rounds, children):
    """Something that puts a message `delay` s after each `go()` and tells
    when it started to: another process, or for ":memory:" a thread."""
    if target == ":memory:":
        queue = Queue(target)
        stamps = []

        def one(i):
            time.sleep(delay)
            stamps.append(time.time())
            queue.put(b"%d" % i)
        return queue, lambda i: threading.Thread(target=one, args=(i,)).start(), stamps.pop
    queue = Queue(target)
    child = spawn(PUT_LATER, target, delay, rounds)
    children.append(child)

    def go(i):
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
    return queue, go, lambda: float(child.stdout.readline())


def test_blocking_get_is_woken_by_a_put_elsewhere(request, target, children):
    rounds = 10
    queue, go, started = put_later(target, 0.1, rounds, children)
    latencies = []
    for i in range(rounds):
        go(i)
        msg = queue.get(timeout=CHILD_TIMEOUT_S)
        returned = time.time()
        assert msg is not None and msg.body == b"%d" % i and msg.deliveries == 1
        assert msg.ack()
        latencies.append((returned - started()) * 1000)
    latencies.sort()
    report_summary(request, "client wake-up " + request.node.callspec.id, {
        "p50_ms": round(statistics.median(latencies), 3),
        "p99_ms": round(latencies[int(0.99 * (rounds - 1))], 3)})
    assert queue.get(timeout=0.05) is None and len(queue) == 0
    queue.close()


def test_with_acks_and_an_exception_retries_after_the_policy_delay(target):
    queue = Queue(target, serializer="json", retry=RetryPolicy(base_ms=200, cap_ms=200, jitter=0))
    seq = queue.put({"photo": 1})
    with pytest.raises(ValueError):
        with queue.get(timeout=5) as msg:
            assert msg.body == {"photo": 1} and msg.enqueued_at.tzinfo is not None
            failed = time.monotonic()  # the retry's delay starts as the block ends, after this
            raise ValueError("resize failed")
    assert msg.outcome == "retry" and queue.stats()["in_flight"] == 1
    # Held back for the policy's delay (a slow build may reach its end while
    # this get waits: then it must not have come earlier).
    held = queue.get(timeout=0.1)
    assert held is None or time.monotonic() - failed >= 0.2 - 0.001
    with held or queue.get(timeout=5) as again:
        # Queue clocks count whole milliseconds, rounded down.
        assert time.monotonic() - failed >= 0.2 - 0.001
        assert (again.id, again.deliveries) == (seq, 2)
    assert again.outcome == "acked" and queue.stats()["total"] == 0
    # settling by hand inside the block leaves nothing for its end to do
    queue.put_many([{"n": 1}, {"n": 2}])
    first, second = queue.get_many(5, timeout=5)
    with first:
        assert first.nack()
    assert first.outcome == "handed_back" and second.ack()
    assert queue.get(timeout=5).body == {"n": 1}
    queue.close()


def test_a_closed_queue_refuses_use_and_its_messages_too(target):
    queue = Queue(target)
    queue.put(b"x")
    msg = queue.get(timeout=5)
    with queue:
        pass
    queue.close()  # twice: nothing more
    for use in (lambda: queue.put(b"y"), lambda: queue.get(timeout=0), lambda: len(queue),
                queue.stats, msg.ack, lambda: queue.__enter__()):
        with pytest.raises(QueueClosed, match="is closed"):
            use()


def test_serializers_and_path_targets(tmp_path):
    with Queue(tmp_path / "q", serializer=(lambda s: s.encode(), bytes.decode)) as queue:
        queue.put("text")
        assert queue.get(timeout=5).body == "text"
    with pytest.warns(PickleWarning):
        queue = Queue(pathlib.Path(tmp_path / "q"), serializer="pickle")
    queue.put({1, 2})
    assert queue.get(timeout=5).body == {1, 2}
    with pytest.raises(ValueError, match="unknown serializer"):
        Queue(":memory:", serializer="yaml")
    # a body the serializer refuses fails inside the block, so it is retried
    raw = Queue(tmp_path / "q", retry=RetryPolicy(0, 0, 0))
    raw.put(b"not json")
    with pytest.raises(ValueError):
        with Queue(tmp_path / "q", serializer="json").get(timeout=5) as msg:
            msg.body
    assert raw.get(timeout=5).deliveries == 2


STR_BODY = ('a body is bytes with the raw serializer, not str: put text.encode(), or open the '
            'queue with serializer="json"')


@pytest.mark.parametrize("call", ["put", "put_many", "aio put", "aio put_many"])
def test_a_str_body_without_a_serializer_says_what_to_do(call):
    if call.startswith("aio"):
        queue = aio.Queue(":memory:")
        put = getattr(queue, call.split()[1])
        run = lambda body: asyncio.run(put(body))  # noqa: E731
    else:
        queue = Queue(":memory:")
        run = getattr(queue, call)
    with pytest.raises(TypeError) as info:
        run(["fine", b"x"] if call.endswith("many") else "text")
    assert str(info.value) == STR_BODY
    assert queue.core.stats()["total"] == 0


def test_with_blocks_of_one_queue_share_one_renewal_thread(target):
    """Three blocks, each running for four lease lengths, in three threads:
    one thread renews them all, and none is delivered again."""
    queue = Queue(target, default_lease_ms=200)
    queue.put_many([b"a", b"b", b"c"])
    messages = queue.get_many(3, timeout=5)
    errors = []

    def work(msg):
        try:
            with msg:
                time.sleep(0.8)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    def renewers():
        return [t for t in threading.enumerate() if t.name.startswith("ferrow-leases")]
    before = len(renewers())
    workers = [threading.Thread(target=work, args=(m,)) for m in messages]
    for w in workers:
        w.start()
    time.sleep(0.4)
    assert len(renewers()) == before + 1 and queue.get(timeout=0) is None
    for w in workers:
        w.join(30)
    assert errors == [] and [m.outcome for m in messages] == ["acked"] * 3
    assert queue.stats()["total"] == 0 and queue.stats()["requeued_total"] == 0
    queue.close()
    assert len(renewers()) == before


@pytest.mark.parametrize("while_renewer", ["sleeps on a longer lease", "went idle"])
def test_a_block_longer_than_its_lease_is_renewed_however_the_renewer_sleeps(target,
                                                                           while_renewer):
    """The renewal thread sleeps until the lease it knows falls due, or for
    good once no lease came for a while: a block on a shorter lease must
    wake it, or that lease lapses and the block ends in LeaseLost."""
    queue = Queue(target, default_lease_ms=60_000 if while_renewer.startswith("sleeps") else 200)
    queue.put_many([b"first", b"second", b"third"])
    first = queue.get(timeout=5)
    with first:
        time.sleep(0.3)  # the thread has looked at the schedule and sleeps
    if while_renewer == "went idle":
        time.sleep(0.5)  # several idle intervals without any lease
        kept_around = None
    else:
        kept_around = queue.get(timeout=5)  # a 60 s lease, renewed in 30 s
        kept_around.__enter__()
        time.sleep(0.3)
    second = queue.get(timeout=5, lease_ms=200)
    with second:
        time.sleep(1.0)  # five lease lengths
        if kept_around is not None:
            assert queue.get(timeout=0) is None
    if kept_around is not None:
        kept_around.__exit__(None, None, None)
    assert second.outcome == "acked" and second.renewals >= 4
    assert queue.stats()["requeued_total"] == 0
    queue.close()


def test_a_hand_back_racing_the_end_of_its_block_settles_it_once():
    """Another thread hands messages back while their blocks end: each one is
    acked or handed back, never both (the end takes no lock)."""
    queue = Queue(":memory:")
    count = 400
    queue.put_many([b"%d" % i for i in range(count)])
    messages = queue.get_many(count, timeout=5)
    handed_back = []
    racer = threading.Thread(target=lambda: handed_back.extend(m.nack() for m in messages))
    with contextlib.ExitStack() as blocks:
        for msg in messages:
            blocks.enter_context(msg)
        racer.start()
    racer.join(30)
    acked = [m.outcome == "acked" for m in messages]
    assert [a + h for a, h in zip(acked, handed_back)] == [1] * count
    stats = queue.stats()
    assert (stats["acked_total"], stats["ready"]) == (sum(acked), sum(handed_back))
    queue.close()
