"""ferrow_tools.aio.Queue over every target: `async for` with producers in
other processes (a task for ":memory:"), cancelled gets that leave nothing
leased, and an event loop that keeps its 1 ms timer running beside a
consumer (the longest stall is reported, not asserted)."""
import asyncio
import time

import pytest

from conftest import report_summary
from ferrow_tools import RetryPolicy, aio
from test_worker import CHILD_TIMEOUT_S, children, spawn  # noqa: F401 (a fixture)

PRODUCE = """
    import sys, time
    from ferrow_tools import Queue
    q = Queue(sys.argv[1])
    for i in range(int(sys.argv[3])):
        q.put(b"%s %d" % (sys.argv[2].encode(), i))
        time.sleep(0.002)
"""


def produce(target, children, count, names=("a", "b")):
    """Starts producers of `count` messages each: processes, or for
    ":memory:" tasks of the consumer's loop (nothing else sees that queue)."""
    if target == ":memory:":
        async def local(queue):
            for name in names:
                for i in range(count):
                    await queue.put(b"%s %d" % (name.encode(), i))
                    await asyncio.sleep(0.002)
        return local
    children.extend(spawn(PRODUCE, target, name, count) for name in names)
    return None


async def until(cond, timeout=CHILD_TIMEOUT_S):
    deadline = time.monotonic() + timeout
    while not cond() and time.monotonic() < deadline:
        await asyncio.sleep(0.01)
    return cond()


async def tick(gaps, period=0.001):
    """A 1 ms timer that records how late each tick came."""
    last = time.monotonic()
    while True:
        await asyncio.sleep(period)
        now = time.monotonic()
        gaps.append(now - last - period)
        last = now


def test_async_for_delivers_everything_once_and_the_loop_keeps_ticking(request, target,
                                                                      children):
    count = 150
    local = produce(target, children, count)
    seen, gaps = [], []

    async def main():
        queue = aio.Queue(target, retry=RetryPolicy(0, 0, 0))

        async def consume():
            async for msg in queue:
                try:
                    async with msg:
                        if msg.body == b"a 7" and msg.deliveries == 1:
                            raise RuntimeError("fails once, so it comes back")
                        seen.append((msg.body, msg.deliveries))
                except RuntimeError:
                    pass

        consumer = asyncio.ensure_future(consume())
        timer = asyncio.ensure_future(tick(gaps))
        if local is not None:
            await local(queue)
        assert await until(lambda: len(seen) >= 2 * count or consumer.done())
        for task in (consumer, timer):
            task.cancel()
        await asyncio.gather(consumer, timer, return_exceptions=True)
        stats = await queue.stats()
        await queue.close()
        return stats

    stats = asyncio.run(main())
    bodies = sorted(body for body, _ in seen)
    assert bodies == sorted(b"%s %d" % (n, i) for n in (b"a", b"b") for i in range(count))
    assert (b"a 7", 2) in seen
    assert (stats["total"], stats["acked_total"]) == (0, 2 * count)
    report_summary(request, "aio consumer " + request.node.callspec.id,
                   {"ticks": len(gaps), "longest_stall_ms": round(max(gaps) * 1000, 3)})


async def hold(queue, held):
    async with await queue.get() as msg:
        held.append((msg.id, msg.deliveries))
        await asyncio.sleep(CHILD_TIMEOUT_S)


def test_a_cancelled_get_leaves_nothing_leased(target):

    async def main():
        queue = aio.Queue(target)
        waiting = asyncio.ensure_future(queue.get())
        await asyncio.sleep(0.05)
        waiting.cancel()  # while it waits on an empty queue
        await asyncio.gather(waiting, return_exceptions=True)
        got = []
        # cancelled at every moment from before its dequeue to after it
        for delay in [0, 0.0002, 0.0005, 0.001, 0.002, 0.005] * 5:
            await queue.put(b"x")
            task = asyncio.ensure_future(queue.get(lease_ms=60_000))
            await asyncio.sleep(delay)
            task.cancel()
            done = (await asyncio.gather(task, return_exceptions=True))[0]
            if not isinstance(done, asyncio.CancelledError):
                got.append(done)
            stats = await queue.stats()
            assert stats["in_flight"] == len(got), (delay, stats)
        for msg in got:
            assert await msg.ack()
        # a task cancelled inside `async with msg` hands its message back
        await queue.put(b"held")
        held = []
        holder = asyncio.ensure_future(hold(queue, held))
        assert await until(lambda: held)
        holder.cancel()
        await asyncio.gather(holder, return_exceptions=True)
        again = await queue.get(timeout=5)
        # The oldest ready message: one that a cancelled get above leased and
        # handed back comes before "held", with its deliveries counted.
        assert (again.id, again.deliveries) == (held[0][0], held[0][1] + 1)
        assert await again.nack()
        stats = await queue.stats()
        await queue.close()
        return stats

    stats = asyncio.run(main())
    assert stats["in_flight"] == 0 and stats["ready"] == stats["total"]
    assert stats["acked_total"] + stats["ready"] == 31


def test_closed_queue_refuses_use():
    async def main():
        async with aio.Queue(":memory:") as queue:
            await queue.put(b"x")
            msg = await queue.get()
        with pytest.raises(aio.QueueClosed):
            await queue.put(b"y")
        with pytest.raises(aio.QueueClosed):
            await msg.ack()

    asyncio.run(main())
