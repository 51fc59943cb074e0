"""`Queue`: a queue of any target with message objects, a blocking `get`,
serialized bodies and a `with` block; `ferrow_tools.aio.Queue` is the same
in asyncio.

    with Queue("jobs", serializer="json") as queue:
        queue.put({"photo": 1})
        with queue.get(timeout=5) as msg:      # acked if the block succeeds
            resize(msg.body["photo"])          # an exception: retried later

The waiting is `ferrow_tools.waiting`'s (inotify on a directory, the
server's blocking wait on Redis) and the settling `ferrow_tools.leases`'s
`HeldLease` (renewal from the queue object's one thread, ack, retry
back-off, dead letters): the same code as the worker's `keep_lease`.

A message and its `with` block run for every message a consumer takes, so
their common path is written for CPython's sake: slots, no `__init__`, the
steps of a helper written out where a call would cost more than they do.
"""
from __future__ import annotations

import threading
from datetime import datetime, timezone
from time import monotonic
from types import TracebackType
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Optional, Type, TypeVar,
                    Union, overload)

from .leases import HeldLease, KeepPolicy, LeaseSchedule, RetryPolicy
from .scheduling import (SCHEDULING_OPTIONS, Levels, SchedulingOptions, Taken, open_levels,
                         put_options)
from .scheduling.queue_hooks import has_options, message_for
from .scheduling.waking import LevelWatcher
from .serializers import RAW, Serializer, SerializerChoice, serializer_for
from .targets import (Target, check_options, dead_letter_target, describe, is_redis, open_queue,
                      target_text)
from .waiting import Doorbell, Waker, wait_for

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue, FerrowStats

__all__ = ["Queue", "Message", "QueueClosed"]

DEFAULT_LEASE_MS = 30_000
MEMORY = ":memory:"


# The state of a message settled outside of a `with` block: a schedule that
# keeps nothing, so that anything that would take the message off its
# schedule finds it settled already.
SETTLED_HERE = LeaseSchedule("settled")

M = TypeVar("M", bound="MessageBase")


class QueueClosed(ValueError):
    """The queue was closed; open a new one."""


# What a `Queue` takes besides the options of its target.
QUEUE_OPTIONS = ("serializer", "retry", "max_deliveries", "renew_fraction") + SCHEDULING_OPTIONS

STR_BODY = ("a body is bytes with the raw serializer, not str: put text.encode(), or open the "
            "queue with serializer=\"json\"")


class Silence:
    """The bell of a queue whose puts need not ring (its waiters are woken
    by inotify or by the server)."""

    def __init__(self) -> None:
        self.listeners = 0  # in the instance: found at once

    def ring(self) -> None:
        pass


def str_body_error(cause: TypeError) -> TypeError:
    error = TypeError(STR_BODY)
    error.__cause__ = cause
    return error


class Settings:
    """What a `Queue` (blocking or asyncio) adds to the target's own options:
    the serializer, the lease length of `get`, and how a failed `with` block
    is retried or dead-lettered."""

    def __init__(self, target: Target, serializer: SerializerChoice = None,
                 retry: Optional[RetryPolicy] = None, max_deliveries: Optional[int] = None,
                 renew_fraction: float = 0.5, **options: Any) -> None:
        self.target = target_text(target)
        check_options(self.target, options, QUEUE_OPTIONS)
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
        self.keeping = KeepPolicy(renew_fraction, None, self.retry, max_deliveries,
                                  self.dead if max_deliveries is not None else None,
                                  describe(dead_letter_target(self.target)))

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


class MessageBase(HeldLease):
    """A delivered message: `id`, `body` (decoded by the queue's serializer
    when first read), `raw` (the bytes), `deliveries` (1 on the first),
    `enqueued_at` (a timezone-aware UTC datetime) and `enqueued_ts_ms`;
    `priority` (its level, on a queue with priorities) and `expires_at`
    (when put with a ttl), None otherwise.

    Its `with` block is a `HeldLease` on the queue object's one
    `LeaseSchedule`: entering costs a dict insertion, a successful end a dict
    deletion, a clock read and the ack."""

    # What every message has, in slots: read and written on every get and
    # `with` block, where an attribute found in the class (or in a dict)
    # costs more than one in a slot. `_schedule` is its state: None while
    # nothing was done with it, the queue's `LeaseSchedule` from the start
    # of its `with` block, SETTLED_HERE once settled outside of one.
    # `_outcome` is set only when there is one (see `outcome`).
    __slots__ = ("_queue", "delivered", "id", "lease_ms", "_deadline", "_schedule", "_outcome",
                 "_renew_at")
    _queue: Any
    delivered: DeliveredMessage
    id: int
    lease_ms: int
    _deadline: float
    _schedule: Optional[LeaseSchedule]
    _outcome: Optional[str]
    _renew_at: float

    # Rarer, so in the instance's dict when set: by `message_for`, and on
    # the first read of `body`.
    priority: Optional[int] = None
    expires_at: Optional[datetime] = None
    _body: Any = None
    _decoded = False

    # No __init__: a class without one is called for less (see `made`).

    @classmethod
    def made(cls: Type[M], queue: Any, delivered: DeliveredMessage, leased_at: float,
             lease_ms: int) -> M:
        """The message of `delivered`, leased by `queue` for `lease_ms` from
        `leased_at` (the `time.monotonic()` read before the dequeue)."""
        msg = cls()
        msg._queue = queue
        msg.delivered = delivered
        msg.id = delivered[0]
        msg.lease_ms = lease_ms
        msg._deadline = leased_at + lease_ms / 1000.0
        msg._schedule = None
        return msg

    @property
    def outcome(self) -> Optional[str]:
        """What was done with it: "acked", "retry", "dead", "lost",
        "handed_back" (None before the end of its `with` block, or without
        one)."""
        try:
            return self._outcome
        except AttributeError:
            return None

    @outcome.setter
    def outcome(self, outcome: Optional[str]) -> None:
        self._outcome = outcome

    @property
    def raw(self) -> bytes:
        return self.delivered[1]

    @property
    def deliveries(self) -> int:
        return self.delivered[2]

    @property
    def enqueued_ts_ms(self) -> int:
        return self.delivered[3]

    @property
    def body(self) -> Any:
        # Decoded on first use, so that a body the serializer refuses fails
        # inside the `with` block, where the retry policy applies to it.
        if not self._decoded:
            self._body = self._queue._loads(self.delivered[1])
            self._decoded = True
        return self._body

    @property
    def enqueued_at(self) -> datetime:
        return datetime.fromtimestamp(self.delivered[3] / 1000.0, tz=timezone.utc)

    @property
    def settled(self) -> bool:
        """Whether it was acked, handed back, retried or dead-lettered here."""
        return self._schedule is SETTLED_HERE or self.outcome is not None

    # What the lease keeping calls: the queue the message lives in (a
    # sub-queue's for a message of a level), the message, the policy.
    def _held_queue(self) -> FerrowQueue:
        return self._queue.core  # type: ignore[no-any-return]

    def _held_message(self) -> DeliveredMessage:
        return self.delivered

    def _held_policy(self) -> KeepPolicy:
        return self._queue.settings.keeping  # type: ignore[no-any-return]

    def _claim(self, outcome: str) -> bool:
        """Takes the settling away from an open `with` block (which then does
        nothing at its end); False if it settled already or lost the lease."""
        if self._schedule is None:
            self._schedule = SETTLED_HERE
            return True
        return self._take_over(outcome)

    def _keep(self) -> None:
        """The start of a `with` block: its lease is kept from now on."""
        queue = self._queue
        if self._schedule is not None:
            raise RuntimeError("message {} is settled or in a with block already".format(self.id))
        if queue._core is None:
            queue.core  # raises QueueClosed
        schedule = self._schedule = queue.leases
        renew_at = self._renew_at = self._deadline - self.lease_ms * queue._margin_per_ms
        # LeaseSchedule.keep, written out: it runs for every block.
        schedule.kept[self] = True
        if renew_at < schedule.wake_at:
            schedule.wake()

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
    dead-letter queue past `max_deliveries`)."""

    _queue: Queue

    def ack(self) -> bool:
        """Removes it for good; True if it was still there."""
        if self._schedule is None:
            self._schedule = SETTLED_HERE
            return self._queue._ack(self.id)
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
        if self._schedule is not None:
            return self._extend_kept(lease_ms)
        return core.extend_lease(self.id, lease_ms)

    # `with msg:` runs for every message of a consumer that uses it: its
    # start is `_keep` and its end `_end` with the common case (success, in
    # time) written out.

    def __enter__(self) -> Message:
        # _keep, written out.
        queue = self._queue
        if self._schedule is not None or queue._core is None:
            self._keep()  # raises what is wrong
        schedule = self._schedule = queue.leases
        renew_at = self._renew_at = self._deadline - self.lease_ms * queue._margin_per_ms
        schedule.kept[self] = True
        if renew_at < schedule.wake_at:
            schedule.wake()
        return self

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        if ev is None and monotonic() < self._deadline:
            try:
                # Whoever takes it off the schedule settles it (LeaseSchedule).
                del self._schedule.kept[self]  # type: ignore[union-attr]
            except KeyError:
                pass  # handed back, retried or lost meanwhile: _end says which
            else:
                self._queue._ack(self.id)
                self._outcome = "acked"
                return
        self._end(ev)


def _closed_call(name: str) -> Callable[..., Any]:
    def closed(*args: Any) -> Any:
        raise QueueClosed("the queue {!r} is closed".format(name))
    return closed


class QueueBase:
    """What the blocking and the asyncio queue share: the settings, the
    opened queue, the doorbell of a queue in memory, the lease schedule of
    its `with` blocks, and being closed."""

    display_name = "Queue"

    def __init__(self, target: Target, options: Dict[str, Any]) -> None:
        self.settings = Settings(target, **options)
        self._core: Optional[FerrowQueue] = open_queue(self.settings.target,
                                                        **self.settings.options)
        # Nobody else can write to a queue in memory: its own puts wake it.
        self._bell = Doorbell() if self.settings.target == MEMORY else None
        # What a put rings: that bell, or one that nobody ever listens to.
        self._put_rings: Union[Doorbell, Silence] = Silence() if self._bell is None else self._bell
        # One renewal thread for every `with` block of this queue object,
        # awake for one renewal interval after the last lease it saw.
        keeping = self.settings.keeping
        self.leases = LeaseSchedule("ferrow-leases " + describe(self.settings.target),
                                    self.settings.lease_ms * keeping.renew_fraction / 1000.0)
        self._margin_per_ms = keeping.margin_per_ms
        serializer = self.settings.serializer
        self._loads = serializer.loads
        # None for raw bodies: they go to the queue as they are.
        self._dumps: Optional[Callable[[Any], Any]] = (None if serializer is RAW
                                                       else serializer.dumps)
        self._lease_ms = self.settings.lease_ms
        self._lease_s = self._lease_ms / 1000.0
        self._bind(self.core)
        # Delays, priorities and expiry (ferrow_tools.scheduling).
        self.levels: Levels = open_levels(self.settings.target, self._core,
                                          self.settings.scheduling, self.settings.dead_letters,
                                          **self.settings.options)
        # False only while a get cannot be anything but the plain queue's
        # dequeue (a queue in memory that had no scheduled put): then a get
        # looks at nothing else. Set by this object's scheduled puts.
        self._check_levels = not (self.levels.plain and not self.levels.looks_for_subs)

    def _across_levels(self) -> bool:
        """Whether a get takes across levels and sub-queues."""
        levels = self.levels
        return not levels.plain or levels.looks_for_subs and levels.found_sub()

    def _bind(self, core: FerrowQueue) -> None:
        """The queue's calls that every put, get and ack makes, looked up
        once; after close() each raises QueueClosed."""
        self._enqueue: Callable[[Any], int] = core.enqueue
        self._enqueue_batch: Callable[[List[Any]], List[int]] = core.enqueue_batch
        self._dequeue: Callable[[int], Optional[DeliveredMessage]] = core.dequeue
        self._dequeue_batch: Callable[[int, int], List[DeliveredMessage]] = core.dequeue_batch
        self._ack: Callable[[int], bool] = core.ack

    def _unbind(self) -> None:
        closed = _closed_call(self.settings.target)
        self._enqueue = self._enqueue_batch = self._dequeue = closed
        self._dequeue_batch = self._ack = closed

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

    def _encode_all(self, bodies: Iterable[Any]) -> List[Any]:
        dumps = self._dumps
        if dumps is not None:
            return [dumps(b) for b in bodies]
        listed = list(bodies)
        if any(isinstance(b, str) for b in listed):
            raise TypeError(STR_BODY)
        return listed

    def _release(self, core: FerrowQueue) -> None:
        """Lets go of everything once `core` was flushed (or failed to)."""
        self._core = None
        self.leases.close()
        close: Optional[Callable[[], None]] = getattr(core, "close", None)  # Redis
        if close is not None:
            close()
        if self._bell is not None:
            self._bell.close()
        self.settings.close()
        self.levels.close()  # last: it raises when a sub-queue could not be flushed


class Queue(QueueBase):
    """The queue at `target` (a directory as `str` or path, ":memory:", or a
    Redis URL), with message objects.

    Options: `serializer` (see `ferrow_tools.serializers`; default raw
    bytes), `retry` (the `RetryPolicy` of a failed `with` block; default
    1 s doubling to 60 s), `max_deliveries` (past it a failed message goes to
    the dead-letter queue; default None: retried for ever), `renew_fraction`
    (renewals in a `with` block, every that part of the lease); everything
    else is for `open_queue` (`default_lease_ms` is also the lease of `get`).
    An option it does not know raises TypeError naming the valid ones.
    """

    def __init__(self, target: Target, **options: Any) -> None:
        super().__init__(target, options)
        # One inotify watcher per thread that waits, kept until close():
        # closing one takes the kernel milliseconds, too long for every get,
        # and threads sharing one would take each other's wake-ups.
        self._local = threading.local()
        self._watchers: List[LevelWatcher] = []
        self._watchers_lock = threading.Lock()
        if self._check_levels:
            self._look_across_levels()

    def _look_across_levels(self) -> None:
        """From now on `get` first asks whether to take across levels. Until
        then `get` is the plain one, which asks nothing: a queue in memory
        whose object made no scheduled put has nothing else to look at."""
        self._check_levels = True
        setattr(self, "get", self._get_or_get_levels)

    def _get_or_get_levels(self, timeout: Optional[float] = None,
                           lease_ms: Optional[int] = None) -> Optional[Message]:
        """`get` on a queue that may have levels and sub-queues."""
        if not self._across_levels():
            return Queue.get(self, timeout, lease_ms)
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must be >= 0 seconds or None")
        many = self._get_levels(1, timeout, self._lease_ms if lease_ms is None else lease_ms)
        return many[0] if many else None

    def _waker(self) -> Optional[Waker]:
        if self._bell is not None or self.settings.remote:
            return self._bell
        watcher: Optional[LevelWatcher] = getattr(self._local, "watcher", None)
        if watcher is None:
            # The queue's directory, its sub-queues and the directory above
            # (where sub-queues appear); waits end when a held message is due.
            watcher = self._local.watcher = LevelWatcher(self.levels.watched_dirs,
                                                         self.levels.next_due_ms)
            with self._watchers_lock:
                self._watchers.append(watcher)
        return watcher

    # The options are plain parameters with defaults: keyword-only ones (or
    # **options) cost a plain put a dict lookup (or a dict) more.
    def put(self, body: Any, delay: Any = None, priority: Any = None, ttl: Any = None) -> int:
        """Enqueues `body` (through the serializer); returns its id. Options:
        `delay`: not delivered before that many seconds (int, float or
        timedelta); `priority`: its level, 0..priorities-1; `ttl`: never
        delivered once that many seconds passed (see docs/scheduling.md)."""
        if delay is not None or priority is not None or ttl is not None:
            return self.put_many([body], delay=delay, priority=priority, ttl=ttl)[0]
        dumps = self._dumps
        try:
            seq = self._enqueue(body if dumps is None else dumps(body))
        except TypeError as exc:
            if dumps is None and isinstance(body, str):
                raise str_body_error(exc) from exc
            raise
        if self._put_rings.listeners:
            self._put_rings.ring()
        return seq

    def put_many(self, bodies: Iterable[Any], *, delay: Any = None, priority: Any = None,
                 ttl: Any = None) -> List[int]:
        """Enqueues all of them at once (one write, one sync), with the
        options of `put`; returns the ids."""
        if has_options(delay, priority, ttl):
            options = put_options(delay, priority, ttl, self.levels.priorities)
            self.core
            seqs = self.levels.put(self._encode_all(bodies), *options)
            if not self._check_levels:
                self._look_across_levels()
        else:
            seqs = self._enqueue_batch(self._encode_all(bodies))
        self.ring()
        return seqs

    def _wait(self, take: Callable[[], Any], timeout: Optional[float]) -> Any:
        """Calls `take` until it returns something, waiting as `wait_for`
        does; a doorbell rings for this wait only (puts do not ring one
        that nobody listens to)."""
        core = self.core
        bell = self._bell
        if bell is None:
            return wait_for(core, take, timeout, watcher=self._waker())
        with bell.listening():
            # Its waits end when a held message is due, too.
            return wait_for(core, take, timeout,
                            watcher=LevelWatcher(list, self.levels.next_due_ms, bell))

    @overload
    def get(self, timeout: None = None, lease_ms: Optional[int] = None) -> Message: ...

    @overload
    def get(self, timeout: float, lease_ms: Optional[int] = None) -> Optional[Message]: ...

    def get(self, timeout: Optional[float] = None,
            lease_ms: Optional[int] = None) -> Optional[Message]:
        """Leases the oldest ready message, waiting up to `timeout` seconds
        (None: until one comes); None when none came in time."""
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must be >= 0 seconds or None")
        lease = self._lease_ms if lease_ms is None else lease_ms
        leased_at = monotonic()
        got = self._dequeue(lease)
        if got is None:
            return None if timeout == 0 else self._wait_one(lease, timeout)
        # Message.made(self, got, leased_at, lease), written out: a call less.
        msg = Message()
        msg._queue = self
        msg.delivered = got
        msg.id = got[0]
        msg.lease_ms = lease
        msg._deadline = leased_at + (self._lease_s if lease_ms is None else lease / 1000.0)
        msg._schedule = None
        return msg

    def _wait_one(self, lease: int, timeout: Optional[float]) -> Optional[Message]:
        """`get` when no message was ready: waits for one. (Apart, so that
        `get` itself holds no closure, which would slow every call.)"""
        stamp: List[float] = []

        def take() -> Optional[DeliveredMessage]:
            stamp[:] = [monotonic()]
            return self._dequeue(lease)

        got = self._wait(take, timeout)
        return None if got is None else Message.made(self, got, stamp[0], lease)

    def get_many(self, max: int, timeout: Optional[float] = None,
                 lease_ms: Optional[int] = None) -> List[Message]:
        """Waits as `get` does for the first, then leases up to `max` ready
        ones at once; an empty list when none came in time."""
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must be >= 0 seconds or None")
        lease = self._lease_ms if lease_ms is None else lease_ms
        if self._check_levels and self._across_levels():
            return self._get_levels(max, timeout, lease)
        stamp: List[float] = []

        def take() -> List[DeliveredMessage]:
            stamp[:] = [monotonic()]
            return self._dequeue_batch(max, lease)

        got = take()
        if not got and timeout != 0:
            got = self._wait(take, timeout) or []
        return [Message.made(self, m, stamp[0], lease) for m in got]

    def _get_levels(self, max: int, timeout: Optional[float], lease: int) -> List[Message]:
        """`get_many` across the levels and sub-queues of the queue."""
        levels = self.levels
        self.core
        stamp: List[float] = []

        def take() -> List[Taken]:
            stamp[:] = [monotonic()]
            return levels.take(max, lease)

        got = take()
        if not got and timeout != 0:
            got = self._wait(take, timeout) or []
        return [message_for(Message, self, t, stamp[0], lease, levels.priorities) for t in got]

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
        self._unbind()
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
