"""`Queue`: a queue of any target with message objects, a blocking `get`,
serialized bodies and a `with` block; `ferrow_tools.aio.Queue` is the same
in asyncio.

    with Queue("jobs", serializer="json") as queue:
        queue.put({"photo": 1})
        with queue.get(timeout=5) as msg:      # acked if the block succeeds
            resize(msg.body["photo"])          # an exception: retried later

The waiting is `ferrow_tools.waiting`'s (inotify on a directory, the
server's blocking wait on Redis) and the settling `keep_lease`'s (renewal,
ack, retry back-off, dead letters): the same code as the worker's.
"""
from __future__ import annotations

import threading
import time
from datetime import datetime, timezone
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Optional, Type, overload

from .leases import RetryPolicy, keep_lease
from .scheduling import Levels, SchedulingOptions, Taken, open_levels, put_options
from .scheduling.queue_hooks import has_options, message_for
from .scheduling.waking import LevelWatcher
from .serializers import Serializer, SerializerChoice, serializer_for
from .targets import Target, dead_letter_target, is_redis, open_queue, target_text
from .waiting import Doorbell, Waker, wait_for

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue, FerrowStats

__all__ = ["Queue", "Message", "QueueClosed"]

DEFAULT_LEASE_MS = 30_000
MEMORY = ":memory:"


class QueueClosed(ValueError):
    """The queue was closed; open a new one."""


class Settings:
    """What a `Queue` (blocking or asyncio) adds to the target's own options:
    the serializer, the lease length of `get`, and how a failed `with` block
    is retried or dead-lettered."""

    def __init__(self, target: Target, serializer: SerializerChoice = None,
                 retry: Optional[RetryPolicy] = None, max_deliveries: Optional[int] = None,
                 renew_fraction: float = 0.5, **options: Any) -> None:
        self.target = target_text(target)
        self.scheduling = SchedulingOptions.pop_from(options)
        self.serializer: Serializer = serializer_for(serializer)
        self.retry = retry if retry is not None else RetryPolicy()
        if max_deliveries is not None and max_deliveries < 1:
            raise ValueError("max_deliveries must be >= 1 or None")
        self.max_deliveries = max_deliveries
        if not 0.0 < renew_fraction < 1.0:
            raise ValueError("renew_fraction must be in (0, 1)")
        self.renew_fraction = renew_fraction
        lease = options.get("default_lease_ms")
        self.lease_ms = DEFAULT_LEASE_MS if lease is None else int(lease)
        self.options = options
        self._dead: Optional[FerrowQueue] = None

    @property
    def remote(self) -> bool:
        return is_redis(self.target)

    def lease(self, lease_ms: Optional[int]) -> int:
        return self.lease_ms if lease_ms is None else lease_ms

    def dead(self) -> Optional[FerrowQueue]:
        """The dead-letter queue, opened when first needed (never without
        max_deliveries)."""
        if self.max_deliveries is None:
            return None
        return self.dead_letters()

    def dead_letters(self) -> FerrowQueue:
        """The dead-letter queue: DIR.dead, NAME.dead, or for a queue in
        memory another queue in memory (no directory named after it)."""
        if self._dead is None:
            self._dead = open_queue(MEMORY if self.target == MEMORY
                                    else dead_letter_target(self.target))
        return self._dead

    def close(self) -> None:
        dead, self._dead = self._dead, None
        close: Optional[Callable[[], None]] = getattr(dead, "close", None)
        if close is not None:
            close()

    def keeper(self, core: FerrowQueue, message: MessageBase) -> keep_lease:
        return keep_lease(core, message.delivered, message.lease_ms, self.renew_fraction,
                          retry=self.retry, max_deliveries=self.max_deliveries, dead=self.dead(),
                          leased_at=message.leased_at)


class MessageBase:
    """A delivered message: `id`, `body` (decoded by the queue's serializer
    when first read), `raw` (the bytes), `deliveries` (1 on the first),
    `enqueued_at` (a timezone-aware UTC datetime) and `enqueued_ts_ms`;
    `priority` (its level, on a queue with priorities) and `expires_at`
    (when put with a ttl), None otherwise."""

    priority: Optional[int] = None
    expires_at: Optional[datetime] = None

    def __init__(self, delivered: DeliveredMessage, loads: Callable[[bytes], Any],
                 leased_at: float, lease_ms: int) -> None:
        self.delivered = delivered
        self.id, self.raw, self.deliveries, self.enqueued_ts_ms = delivered
        self.leased_at = leased_at
        self.lease_ms = lease_ms
        self._loads = loads
        self._body: Any = None
        self._decoded = False
        self._keeper: Optional[keep_lease] = None
        self._settled = False

    @property
    def body(self) -> Any:
        # Decoded on first use, so that a body the serializer refuses fails
        # inside the `with` block, where the retry policy applies to it.
        if not self._decoded:
            self._body = self._loads(self.raw)
            self._decoded = True
        return self._body

    @property
    def enqueued_at(self) -> datetime:
        return datetime.fromtimestamp(self.enqueued_ts_ms / 1000.0, tz=timezone.utc)

    @property
    def settled(self) -> bool:
        """Whether it was acked, handed back, retried or dead-lettered here."""
        return self._settled or (self._keeper is not None and self._keeper.outcome is not None)

    @property
    def outcome(self) -> Optional[str]:
        """What the `with` block did: "acked", "retry", "dead", "lost",
        "handed_back" (None before its end, or without one)."""
        return None if self._keeper is None else self._keeper.outcome

    def _claim(self, outcome: str) -> bool:
        """Takes the settling away from an open `with` block (which then does
        nothing at its end); False if it settled already or lost the lease."""
        self._settled = True
        if self._keeper is None:
            return True
        return self._keeper.settle(outcome, lambda: True)

    def _keep(self, core: FerrowQueue, settings: Settings) -> None:
        """Starts the `keep_lease` of a `with` block."""
        if self._keeper is not None or self._settled:
            raise RuntimeError("message {} is settled or in a with block already".format(self.id))
        self._keeper = settings.keeper(core, self)
        self._keeper.__enter__()

    def _retry_ms(self, delay: Optional[float], retry: RetryPolicy) -> int:
        if delay is None:
            return retry.delay_ms(self.deliveries)
        if delay < 0:
            raise ValueError("a retry delay is >= 0 seconds")
        return int(delay * 1000)

    def __repr__(self) -> str:
        return "<{} id={} deliveries={} {!r:.60}>".format(
            type(self).__name__, self.id, self.deliveries, self.raw)


class Message(MessageBase):
    """A message of a blocking `Queue`. `with msg:` keeps its lease renewed
    while the block runs, acks it when the block succeeds, and on an
    exception retries it after the queue's back-off (or moves it to the
    dead-letter queue past `max_deliveries`), through `keep_lease`."""

    def __init__(self, queue: Queue, delivered: DeliveredMessage, leased_at: float,
                 lease_ms: int) -> None:
        super().__init__(delivered, queue.settings.serializer.loads, leased_at, lease_ms)
        self._queue = queue

    def ack(self) -> bool:
        """Removes it for good; True if it was still there."""
        core = self._queue.core
        return self._claim("acked") and core.ack(self.id)

    def nack(self, requeue: bool = True) -> bool:
        """Hands it back to be delivered again (or drops it: requeue=False)."""
        core = self._queue.core
        if not self._claim("handed_back" if requeue else "dropped"):
            return False
        done = core.nack(self.id, requeue)
        self._queue.ring()
        return done

    def retry(self, delay: Optional[float] = None) -> bool:
        """Has it delivered again after `delay` seconds (None: the queue's
        back-off for its delivery count)."""
        core = self._queue.core
        ms = self._retry_ms(delay, self._queue.settings.retry)
        return self._claim("retry") and core.extend_lease(self.id, ms)

    def extend(self, lease_ms: int) -> bool:
        """Makes its lease end `lease_ms` from now."""
        core = self._queue.core
        if self._keeper is not None:
            return self._keeper.extend(lease_ms)
        return core.extend_lease(self.id, lease_ms)

    def __enter__(self) -> Message:
        self._keep(self._queue.core, self._queue.settings)
        return self

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        assert self._keeper is not None
        self._keeper.__exit__(et, ev, tb)


class QueueBase:
    """What the blocking and the asyncio queue share: the settings, the
    opened queue, the doorbell of a queue in memory, and being closed."""

    display_name = "Queue"

    def __init__(self, target: Target, options: Dict[str, Any]) -> None:
        self.settings = Settings(target, **options)
        self._core: Optional[FerrowQueue] = open_queue(self.settings.target,
                                                        **self.settings.options)
        # Nobody else can write to a queue in memory: its own puts wake it.
        self._bell = Doorbell() if self.settings.target == MEMORY else None
        # Delays, priorities and expiry (ferrow_tools.scheduling).
        self.levels: Levels = open_levels(self.settings.target, self._core,
                                          self.settings.scheduling, self.settings.dead_letters,
                                          **self.settings.options)

    def __repr__(self) -> str:
        state = "" if self._core is not None else " (closed)"
        return "{}({!r}){}".format(self.display_name, self.settings.target, state)

    @property
    def core(self) -> FerrowQueue:
        """The underlying queue (`FerrowCore` or `RedisQueue`); QueueClosed
        once closed."""
        if self._core is None:
            raise QueueClosed("the queue {!r} is closed".format(self.settings.target))
        return self._core

    def ring(self) -> None:
        if self._bell is not None:
            self._bell.ring()

    def _release(self, core: FerrowQueue) -> None:
        """Lets go of everything once `core` was flushed (or failed to)."""
        self._core = None
        self.levels.close()
        close: Optional[Callable[[], None]] = getattr(core, "close", None)  # Redis
        if close is not None:
            close()
        if self._bell is not None:
            self._bell.close()
        self.settings.close()


class Queue(QueueBase):
    """The queue at `target` (a directory as `str` or path, ":memory:", or a
    Redis URL), with message objects.

    Options: `serializer` (see `ferrow_tools.serializers`; default raw
    bytes), `retry` (the `RetryPolicy` of a failed `with` block; default
    1 s doubling to 60 s), `max_deliveries` (past it a failed message goes to
    the dead-letter queue; default None: retried for ever), `renew_fraction`
    (renewals in a `with` block, every that part of the lease); everything
    else is for `open_queue` (`default_lease_ms` is also the lease of `get`).
    """

    def __init__(self, target: Target, **options: Any) -> None:
        super().__init__(target, options)
        # One inotify watcher per thread that waits, kept until close():
        # closing one takes the kernel milliseconds, too long for every get,
        # and threads sharing one would take each other's wake-ups.
        self._local = threading.local()
        self._watchers: List[LevelWatcher] = []
        self._watchers_lock = threading.Lock()

    def _waker(self) -> Optional[Waker]:
        if self.settings.remote:
            return None
        watcher: Optional[LevelWatcher] = getattr(self._local, "watcher", None)
        if watcher is None:
            # The queue's directory, its sub-queues and the directory above
            # (where sub-queues appear); waits end when a held message is due.
            watcher = self._local.watcher = LevelWatcher(self.levels.watched_dirs,
                                                         self.levels.next_due_ms, self._bell)
            with self._watchers_lock:
                self._watchers.append(watcher)
        return watcher

    def put(self, body: Any, *, delay: Any = None, priority: Any = None,
            ttl: Any = None) -> int:
        """Enqueues `body` (through the serializer); returns its id. `delay`:
        not delivered before that many seconds (int, float or timedelta);
        `priority`: its level, 0..priorities-1; `ttl`: never delivered once
        that many seconds passed (see docs/scheduling.md)."""
        if has_options(delay, priority, ttl):
            return self.put_many([body], delay=delay, priority=priority, ttl=ttl)[0]
        seq = self.core.enqueue(self.settings.serializer.dumps(body))
        self.ring()
        return seq

    def put_many(self, bodies: Iterable[Any], *, delay: Any = None, priority: Any = None,
                 ttl: Any = None) -> List[int]:
        """Enqueues all of them at once (one write, one sync), with the
        options of `put`; returns the ids."""
        dumps = self.settings.serializer.dumps
        if has_options(delay, priority, ttl):
            options = put_options(delay, priority, ttl, self.levels.priorities)
            seqs = self.levels.put([dumps(b) for b in bodies], *options)
        else:
            seqs = self.core.enqueue_batch([dumps(b) for b in bodies])
        self.ring()
        return seqs

    def _wait(self, take: Callable[[], Any], timeout: Optional[float]) -> Any:
        core = self.core
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must be >= 0 seconds or None")
        return wait_for(core, take, timeout, watcher=self._waker())

    @overload
    def get(self, timeout: None = None, lease_ms: Optional[int] = None) -> Message: ...

    @overload
    def get(self, timeout: float, lease_ms: Optional[int] = None) -> Optional[Message]: ...

    def get(self, timeout: Optional[float] = None,
            lease_ms: Optional[int] = None) -> Optional[Message]:
        """Leases the oldest ready message, waiting up to `timeout` seconds
        (None: until one comes); None when none came in time."""
        got = self.get_many(1, timeout, lease_ms)
        return got[0] if got else None

    def get_many(self, max: int, timeout: Optional[float] = None,
                 lease_ms: Optional[int] = None) -> List[Message]:
        """Waits as `get` does for the first, then leases up to `max` ready
        ones at once; an empty list when none came in time."""
        core = self.core
        lease = self.settings.lease(lease_ms)
        leased_at: List[float] = []
        levels = self.levels
        if not levels.plain:
            def take_levels() -> List[Taken]:
                leased_at[:] = [time.monotonic()]
                return levels.take(max, lease)

            taken: List[Taken] = self._wait(take_levels, timeout) or []
            return [message_for(Message, self, t, leased_at[0], lease, levels.priorities)
                    for t in taken]

        def take() -> List[DeliveredMessage]:
            leased_at[:] = [time.monotonic()]
            return core.dequeue_batch(max, lease)

        got = self._wait(take, timeout) or []
        return [Message(self, m, leased_at[0], lease) for m in got]

    def __len__(self) -> int:
        """Messages ready now (of every level)."""
        self.core  # QueueClosed once closed
        return self.levels.available()

    def stats(self) -> FerrowStats:
        """The queue's counts, its sub-queues' included."""
        self.core  # QueueClosed once closed
        return self.levels.stats()

    def flush(self) -> None:
        self.core.flush()

    def close(self) -> None:
        """Forces what was written to disk (the server's, on Redis) and lets
        go of the queue; using it afterwards raises QueueClosed. Closing
        twice does nothing."""
        core = self._core
        if core is None:
            return
        try:
            core.flush()
        finally:
            self._release(core)
            with self._watchers_lock:
                for watcher in self._watchers:
                    watcher.close()

    def __enter__(self) -> Queue:
        self.core
        return self

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()
