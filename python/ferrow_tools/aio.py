"""`ferrow_tools.aio.Queue`: the methods of `ferrow_tools.Queue` as
coroutines, for asyncio programs.

    async with Queue("jobs", serializer="json") as queue:
        await queue.put({"photo": 1})
        async for msg in queue:                # until cancelled
            async with msg:                    # acked if the block succeeds
                await resize(msg.body["photo"])

On a directory or ":memory:" each call runs inline: a local call holds the
interpreter lock from start to end, so a thread would not set the event loop
free either. The longest a call holds the loop is one fsync (every write,
under the default sync policy) or, for an ack that triggers it, a
compaction (see the README). Waiting for a message never holds the loop: the
queue's inotify descriptor (or, in memory, its doorbell) is watched by the
event loop. On Redis every call goes through redis-py's asyncio client.

Cancelling a `get` leaves nothing leased: a message that the cancelled call
had already leased is handed back. Cancelling a task inside `async with msg`
hands the message back at once.
"""
from __future__ import annotations

import asyncio
from time import monotonic
from types import TracebackType
from typing import (TYPE_CHECKING, Any, AsyncIterator, Awaitable, Callable, Iterable, List,
                    Optional, Set, Type, TypeVar, Union, overload)

from .client import SETTLED_HERE, MessageBase, QueueBase, QueueClosed, str_body_error
from .scheduling import Taken, put_options
from .scheduling.queue_hooks import has_options, message_for
from .scheduling.waking import LevelWatcher, capped
from .shielding import run_to_end
from .targets import Target
from .waiting import Plan, Waker, waiting_plan

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue, FerrowStats

    from .redis.async_queue import AsyncRedisQueue

__all__ = ["Queue", "Message", "QueueClosed"]

T = TypeVar("T")

# The longest a local `get` that finds messages ready holds the event loop
# before it lets other tasks run (plus the call it makes then).
YIELD_EVERY_S = 0.001


async def follow(plan: Plan[T], take: Callable[[], Awaitable[Optional[T]]],
                 pause: Callable[[float], Awaitable[None]]) -> Optional[T]:
    """Runs a waiting plan (`ferrow_tools.waiting.waiting_plan`) with coroutines."""
    try:
        step = next(plan)
        while True:
            if step is None:
                step = plan.send(await take())
            else:
                await pause(step)
                step = plan.send(None)
    except StopIteration as done:
        return done.value  # type: ignore[no-any-return]


class Readiness:
    """The event loop's watch on a local queue's waker. One reader serves
    every task waiting on the queue, so that they all wake."""

    def __init__(self, waker: Waker) -> None:
        self.waker = waker
        self._waiting: Set[asyncio.Future[None]] = set()

    async def wait(self, seconds: float) -> None:
        fd = self.waker.fd
        if fd < 0:  # no inotify here: the plan's back-off alone
            await asyncio.sleep(seconds)
            return
        loop = asyncio.get_running_loop()
        woken: asyncio.Future[None] = loop.create_future()
        if not self._waiting:
            loop.add_reader(fd, self._wake)
        self._waiting.add(woken)
        timer = loop.call_later(seconds, _resolve, woken)
        try:
            await woken
        finally:
            timer.cancel()
            self._waiting.discard(woken)
            if not self._waiting and self.waker.fd >= 0:
                loop.remove_reader(fd)

    def _wake(self) -> None:
        self.waker.drain()
        for woken in self._waiting:
            _resolve(woken)


def _resolve(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


class Local:
    """A directory or ":memory:" queue with coroutine calls that run inline."""

    def __init__(self, core: FerrowQueue, waker: Waker) -> None:
        self.core = core
        self.readiness = Readiness(waker)

    async def enqueue(self, body: Any) -> int:
        return self.core.enqueue(body)

    async def enqueue_batch(self, bodies: Any) -> List[int]:
        return self.core.enqueue_batch(bodies)

    async def dequeue_batch(self, max: Any, lease_ms: Any = None) -> List[DeliveredMessage]:
        return self.core.dequeue_batch(max, lease_ms)

    async def ack(self, seq: Any) -> bool:
        return self.core.ack(seq)

    async def nack(self, seq: Any, requeue: Any = True) -> bool:
        return self.core.nack(seq, requeue)

    async def extend_lease(self, seq: Any, lease_ms: Any = None) -> bool:
        return self.core.extend_lease(seq, lease_ms)

    async def available(self) -> int:
        return self.core.available()

    async def stats(self) -> FerrowStats:
        return self.core.stats()

    async def wait_until_ready(self, timeout_s: float) -> None:
        await self.readiness.wait(timeout_s)

    async def close(self) -> None:
        self.readiness.waker.close()


Calls = Union[Local, "AsyncRedisQueue"]


class Message(MessageBase):
    """A message of an asyncio `Queue`: `ack`, `nack`, `retry` and `extend`
    are coroutines, and `async with msg:` settles it as `with msg:` does for
    a blocking queue (the same lease keeping)."""

    _queue: Queue

    async def ack(self) -> bool:
        queue = self._queue
        if queue._inline and self._schedule is None:
            self._schedule = SETTLED_HERE
            return queue._ack(self.id)
        calls = queue.calls
        return self._claim("acked") and await calls.ack(self.id)

    async def nack(self, requeue: bool = True) -> bool:
        calls = self._queue.calls
        if not self._claim("handed_back" if requeue else "dropped"):
            return False
        done = await calls.nack(self.id, requeue)
        self._queue.ring()
        return done

    async def retry(self, delay: Optional[float] = None) -> bool:
        calls = self._queue.calls
        ms = self._retry_ms(delay, self._queue.settings.retry)
        return self._claim("retry") and await calls.extend_lease(self.id, ms)

    async def extend(self, lease_ms: int) -> bool:
        calls = self._queue.calls
        if self._schedule is not None:
            return await self._queue.settle(self._extend_kept, lease_ms)
        return await calls.extend_lease(self.id, lease_ms)

    async def __aenter__(self) -> Message:
        # The coroutine costs more than the call that Message.__enter__
        # saves by writing _keep out, so this one calls it.
        self._keep()
        return self

    async def __aexit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        queue = self._queue
        if (ev is None and queue._inline and monotonic() < self._deadline
                and self._schedule.kept.pop(self, False)):  # type: ignore[union-attr]
            # The common end of a local block, inline (see Message.__exit__).
            queue._ack(self.id)
            self._outcome = "acked"
            return
        if isinstance(ev, asyncio.CancelledError):
            await queue.settle(self._hand_back)
            queue.ring()
        await queue.settle(self._end, ev)


class Queue(QueueBase):
    """The queue at `target`, with the options of `ferrow_tools.Queue`, and
    its methods as coroutines. Opening it is not: it opens the local queue,
    or on Redis checks the server's policy with one blocking round trip."""

    display_name = "aio.Queue"

    def __init__(self, target: Target, **options: Any) -> None:
        super().__init__(target, options)
        core = self.core
        self._calls: Calls
        # A local queue's calls run inline, through the methods bound at
        # open; a Redis queue's through the asyncio client.
        self._inline = not self.settings.remote
        self._next_yield = 0.0
        if not self._inline:
            from .redis.async_queue import AsyncRedisQueue
            from .redis.queue import RedisQueue

            assert isinstance(core, RedisQueue)
            self._calls = AsyncRedisQueue(core)
        else:
            # The queue's directory, its sub-queues and the directory above
            # (or the doorbell in memory); waits end when a held message is due.
            waker: Waker = LevelWatcher(self.levels.watched_dirs, self.levels.next_due_ms,
                                        self._bell)
            self._calls = Local(core, waker)

    @property
    def calls(self) -> Calls:
        """The coroutines of the queue's calls; QueueClosed once closed."""
        self.core
        return self._calls

    async def settle(self, call: Callable[..., T], *args: Any) -> T:
        """Runs one of `keep_lease`'s blocking calls: inline on a local queue
        (which holds the interpreter lock throughout anyway), in a thread on
        Redis, whose blocking client waits for the server without it."""
        self.core
        if self._inline:
            return call(*args)
        # A cancelled caller still waits for the thread: the ack (or retry)
        # it was making is done when the cancellation goes on.
        return await run_to_end(asyncio.get_running_loop().run_in_executor(None, call, *args))

    async def put(self, body: Any, delay: Any = None, priority: Any = None,
                  ttl: Any = None) -> int:
        """As `ferrow_tools.Queue.put`, options included."""
        if delay is not None or priority is not None or ttl is not None:
            return (await self.put_many([body], delay=delay, priority=priority, ttl=ttl))[0]
        dumps = self._dumps
        try:
            payload = body if dumps is None else dumps(body)
            seq = self._enqueue(payload) if self._inline else await self.calls.enqueue(payload)
        except TypeError as exc:
            if dumps is None and isinstance(body, str):
                raise str_body_error(exc) from exc
            raise
        if self._put_rings.listeners:
            self._put_rings.ring()
        return seq

    async def put_many(self, bodies: Iterable[Any], *, delay: Any = None, priority: Any = None,
                       ttl: Any = None) -> List[int]:
        payloads = self._encode_all(bodies)
        if has_options(delay, priority, ttl):
            options = put_options(delay, priority, ttl, self.levels.priorities)
            seqs = await self.levels.put_async(self.calls, payloads, *options)
            self._check_levels = True
        else:
            seqs = (self._enqueue_batch(payloads) if self._inline
                    else await self.calls.enqueue_batch(payloads))
        self.ring()
        return seqs

    @overload
    async def get(self, timeout: None = None, lease_ms: Optional[int] = None) -> Message: ...

    @overload
    async def get(self, timeout: float, lease_ms: Optional[int] = None) -> Optional[Message]: ...

    async def get(self, timeout: Optional[float] = None,
                  lease_ms: Optional[int] = None) -> Optional[Message]:
        if self._inline and not (self._check_levels and self._across_levels()):
            # A ready message needs no waiting plan: one call, inline.
            if timeout is not None and timeout < 0:
                raise ValueError("timeout must be >= 0 seconds or None")
            lease = self._lease_ms if lease_ms is None else lease_ms
            leased_at = monotonic()
            if leased_at >= self._next_yield:
                # A consumer that always finds a message ready would never
                # suspend: it lets the loop run at least every YIELD_EVERY_S.
                await asyncio.sleep(0)
                leased_at = monotonic()
                self._next_yield = leased_at + YIELD_EVERY_S
            got = self._dequeue(lease)
            if got is not None:
                return Message.made(self, got, leased_at, lease)
            if timeout == 0:
                return None
        many = await self.get_many(1, timeout, lease_ms)
        return many[0] if many else None

    async def get_many(self, max: int, timeout: Optional[float] = None,
                       lease_ms: Optional[int] = None) -> List[Message]:
        calls = self.calls
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must be >= 0 seconds or None")
        lease = self.settings.lease(lease_ms)
        leased_at: List[float] = []
        if self._check_levels and self._across_levels():
            return await self._get_levels(max, timeout, lease)

        async def take() -> List[DeliveredMessage]:
            leased_at[:] = [monotonic()]
            return await self._lease_or_hand_back(calls.dequeue_batch(max, lease))

        plan: Plan[List[DeliveredMessage]] = waiting_plan(timeout, self.settings.remote)
        if self._bell is None:
            got = await follow(plan, take, calls.wait_until_ready) or []
        else:
            with self._bell.listening():
                got = await follow(plan, take, calls.wait_until_ready) or []
        return [Message.made(self, m, leased_at[0], lease) for m in got]

    async def _get_levels(self, max: int, timeout: Optional[float],
                          lease: int) -> List[Message]:
        """`get_many` across the levels and sub-queues of the queue."""
        calls = self.calls
        levels = self.levels
        leased_at: List[float] = []

        async def take() -> List[Taken]:
            leased_at[:] = [monotonic()]
            return await self._lease_or_hand_back_taken(levels.take_async(calls, max, lease))

        async def pause(seconds: float) -> None:
            # A held message that comes due ends the wait.
            await calls.wait_until_ready(capped(seconds, levels.next_due_ms))

        plan: Plan[List[Taken]] = waiting_plan(timeout, self.settings.remote)
        if self._bell is None:
            got = await follow(plan, take, pause) or []
        else:
            with self._bell.listening():
                got = await follow(plan, take, pause) or []
        return [message_for(Message, self, t, leased_at[0], lease, levels.priorities,
                            self._local_calls) for t in got]

    def _local_calls(self, core: FerrowQueue) -> Optional[Local]:
        """The coroutine calls of a sub-queue, for its messages (on Redis
        every message is the queue's own)."""
        calls = self.calls
        return Local(core, calls.readiness.waker) if isinstance(calls, Local) else None

    async def _lease_or_hand_back_taken(self, leasing: Awaitable[List[Taken]]) -> List[Taken]:
        """As `_lease_or_hand_back`, for a get across levels."""
        calls = self.calls

        async def hand_back(got: List[Taken]) -> None:
            for t in got:
                if isinstance(calls, Local):  # inline, in its own sub-queue
                    t.core.nack(t.delivered[0])
                else:  # every message of a Redis queue is the queue's own
                    await calls.nack(t.delivered[0])
        return await run_to_end(leasing, hand_back)

    async def _lease_or_hand_back(self, leasing: Awaitable[List[DeliveredMessage]]
                                  ) -> List[DeliveredMessage]:
        """The dequeue runs to its end even when the caller is cancelled
        meanwhile: the server may have leased messages whose reply nobody
        would read, and they are handed back before the cancellation goes on."""
        async def hand_back(got: List[DeliveredMessage]) -> None:
            for m in got:
                await self.calls.nack(m[0])
        return await run_to_end(leasing, hand_back)

    def __aiter__(self) -> AsyncIterator[Message]:
        return self._consume()

    async def _consume(self) -> AsyncIterator[Message]:
        while True:
            yield await self.get()

    async def available(self) -> int:
        """Messages ready now (`len()` of a blocking queue; `len()` cannot
        wait for a server)."""
        if isinstance(self.calls, Local):  # QueueClosed once closed
            return self.levels.available()
        return await self.calls.available()

    async def stats(self) -> FerrowStats:
        """The queue's counts, its sub-queues' included."""
        if isinstance(self.calls, Local):
            return self.levels.stats()
        return await self.calls.stats()

    async def close(self) -> None:
        """As `ferrow_tools.Queue.close`: forces what was written to disk,
        lets go of the queue, and makes later use raise QueueClosed."""
        core = self._core
        if core is None:
            return
        try:
            await self.settle(core.flush)
        finally:
            self._unbind()
            await self._calls.close()
            self._release(core)

    async def __aenter__(self) -> Queue:
        self.calls
        return self

    async def __aexit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        await self.close()
