"""Keeping a leased message: lease renewal from a background thread, the
ack on success, and on failure the retry back-off or the dead-letter queue.
The worker, `ferrow_tools.Queue` and `ferrow_tools.aio.Queue` all settle their
messages through `keep_lease`, renewed by the one thread of their queue
object's `LeaseSchedule` (a `with msg:` block or a job starts no thread of its
own); the framework integrations' `HeldLeases` renew through `Lease` and
`Renewals`.

Dead letters are copied to the dead-letter queue in the format of
`ferrow_tools.deadletter`, then acknowledged in the main queue. Copy-then-ack
is at least once: a crash between the two leaves the message in both queues
(it will be delivered again from the main queue and dead-lettered again).
"""
from __future__ import annotations

import logging
import math
import os
import random
import threading
import time
import weakref
from types import TracebackType
from typing import TYPE_CHECKING, Callable, Optional, Set, Type

from .deadletter import encode

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue

log = logging.getLogger("ferrow_tools.worker")


class LeaseLost(Exception):
    """The lease of a message ran out (or could not be renewed) before the
    job finished; the message was neither extended nor acknowledged."""


class RetryPolicy:
    """Exponential back-off with jitter and a cap: the n-th delivery that
    fails is retried after min(cap_ms, base_ms * 2**(n-1)), reduced by a
    random fraction of at most `jitter` (0 = none, 1 = anywhere down to 0)."""

    def __init__(self, base_ms: int = 1000, cap_ms: int = 60_000, jitter: float = 0.2) -> None:
        if base_ms < 0 or cap_ms < 0 or not 0.0 <= jitter <= 1.0:
            raise ValueError("base_ms and cap_ms must be >= 0, jitter in [0, 1]")
        self.base_ms = base_ms
        self.cap_ms = cap_ms
        self.jitter = jitter

    def nominal_ms(self, deliveries: int) -> int:
        exp = min(max(deliveries, 1) - 1, 62)
        return int(min(self.cap_ms, self.base_ms * (2 ** exp)))

    def delay_ms(self, deliveries: int) -> int:
        d = self.nominal_ms(deliveries)
        return int(d * (1.0 - self.jitter * random.random()))

    def __repr__(self) -> str:
        return f"RetryPolicy(base_ms={self.base_ms}, cap_ms={self.cap_ms}, jitter={self.jitter})"


def move_to_dead_letter(q: FerrowQueue, dead: FerrowQueue,
                        message: DeliveredMessage, reason: str) -> bool:
    """Copies a message to the dead-letter queue, then acks it in `q`.
    At least once: a crash between the copy and the ack leaves it in both.
    Returns what the ack returned."""
    seq, body, deliveries, enqueued_ts_ms = message
    dead.enqueue(encode(seq, deliveries, enqueued_ts_ms, reason, body))
    return q.ack(seq)


class Lease:
    """One delivered message's lease as this process counts it: it ends
    `lease_ms` after the `time.monotonic()` read just before the call that
    granted or last extended it, which is never later than the queue's own
    deadline. Once `lost` (the reason) is set it is never extended again:
    another consumer may hold the message by then."""

    def __init__(self, q: FerrowQueue, seq: int, lease_ms: int,
                 leased_at: Optional[float] = None) -> None:
        self.q = q
        self.seq = seq
        self.lease_ms = lease_ms
        self.deadline = (time.monotonic() if leased_at is None else leased_at) + lease_ms / 1000.0
        self.lost: Optional[str] = None

    def expired(self) -> bool:
        return time.monotonic() >= self.deadline

    def extend(self, lease_ms: Optional[int] = None) -> bool:
        """Makes the lease end `lease_ms` (default: its own length) from now.
        False, and `lost` set, when it ran out first or the queue says the
        message is no longer in flight. Errors of the queue propagate and
        leave the lease as it was."""
        if self.lost is not None:
            return False
        if self.expired():
            self.lost = "it ran out before it could be extended"
            return False
        ms = self.lease_ms if lease_ms is None else lease_ms
        before = time.monotonic()
        if not self.q.extend_lease(self.seq, ms):
            self.lost = "extend_lease returned False"
            return False
        self.deadline = before + ms / 1000.0
        return True

    def renew(self) -> bool:
        """One background renewal: as `extend`, except that an error of the
        queue is logged and left to the next round (the lease may still
        outlast it). False once the lease is lost."""
        try:
            return self.extend()
        except Exception as exc:
            log.warning("renewing the lease of message %d failed: %r", self.seq, exc)
            return True


class Renewals:
    """A daemon thread that calls `renew()` every `interval_s` until it
    returns False or `stop()` is called."""

    def __init__(self, interval_s: float, renew: Callable[[], bool], name: str) -> None:
        self.interval_s = interval_s
        self._renew = renew
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True, name=name)
        self._thread.start()

    def _loop(self) -> None:
        while not self._stop.wait(self.interval_s):
            if not self._renew():
                return

    def stop(self) -> None:
        """Stops the renewals and waits for one under way (unless called
        from the thread itself)."""
        self._stop.set()
        if self._thread is not threading.current_thread():
            self._thread.join()


class LeaseSchedule:
    """The leases that one queue object keeps, renewed from one daemon thread.

    The thread starts with the first lease kept and sleeps until the
    earliest renewal is due; keeping a lease that falls due later than that
    costs a set insertion, nothing more, so a `with` block or a worker job
    does not start, wake or stop a thread of its own. The schedule's lock
    also orders each renewal against the settling of the same message: a
    message is never extended once it was settled."""

    def __init__(self, name: str = "ferrow-leases") -> None:
        self.name = name
        self._reset()
        _schedules.add(self)

    def _reset(self) -> None:
        # A plain lock (cheap to take) and a condition on it for the thread.
        self.lock = threading.Lock()
        self._wakeup = threading.Condition(self.lock)
        self._kept: Set[keep_lease] = set()
        self._wake_at = math.inf
        self._recent_interval = 0.0
        self._thread: Optional[threading.Thread] = None
        self._closed = False

    def _add(self, keeper: keep_lease) -> None:
        """Keeps `keeper`'s lease; the caller holds `lock`."""
        self._kept.add(keeper)
        self._recent_interval = keeper.interval_s
        if keeper.next_renewal < self._wake_at:
            self._wake()

    def _wake(self) -> None:
        """Has the thread look at the schedule now (starting it the first
        time); the caller holds `lock`."""
        if self._closed:
            return
        if self._thread is None or not self._thread.is_alive():
            # The first lease, or a renewal raised something that ended the
            # thread (a PanicException is no Exception): a new one carries on.
            self._thread = threading.Thread(target=self._loop, daemon=True, name=self.name)
            self._thread.start()
        else:
            self._wakeup.notify()

    def __len__(self) -> int:
        return len(self._kept)

    def _loop(self) -> None:
        with self.lock:
            try:
                self._run_rounds()
            finally:
                self._wake_at = math.inf  # so that the next lease kept starts a thread

    def _run_rounds(self) -> None:
        """Renews what is due and sleeps until the next is; the caller holds
        `lock`, which waiting releases."""
        while not self._closed:
            now = time.monotonic()
            due = [k for k in self._kept if k.next_renewal <= now]
            if due:
                # Leases kept during this round need no wake-up: the
                # loop looks at the schedule again before it sleeps.
                self._wake_at = -math.inf
                for keeper in due:
                    if not keeper._renew_due(now):
                        self._kept.discard(keeper)
                continue
            if self._kept:
                self._wake_at = min(k.next_renewal for k in self._kept)
            elif self._recent_interval:
                # Leases come and go faster than the thread wakes: look
                # again in one renewal interval rather than be woken for
                # every one (one sleep without any goes to sleep for good).
                self._wake_at = now + self._recent_interval
                self._recent_interval = 0.0
            else:
                self._wake_at = math.inf
            self._wakeup.wait(None if self._wake_at == math.inf else self._wake_at - now)

    def close(self) -> None:
        """Stops the renewals (the leases still kept run out on their own)
        and waits for a round under way, unless called from the thread."""
        with self.lock:
            self._closed = True
            self._wakeup.notify()
            thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join()


_schedules: "weakref.WeakSet[LeaseSchedule]" = weakref.WeakSet()


def _after_fork_in_child() -> None:
    # The parent's thread does not exist here and its lock may have been held
    # at the fork; the leases are the parent's to keep.
    for schedule in list(_schedules):
        schedule._reset()


os.register_at_fork(after_in_child=_after_fork_in_child)


class KeepPolicy:
    """How the leases that one queue object keeps are renewed and end:
    renewals every `renew_fraction` of the lease (for at most `max_total_ms`
    after it began, if given); a failed job retried after `retry`'s back-off,
    or past `max_deliveries` moved to the queue that `dead_letters()` opens
    (named `dead_name` in the log)."""

    __slots__ = ("renew_fraction", "max_total_ms", "retry", "max_deliveries", "dead_letters",
                 "dead_name")

    def __init__(self, renew_fraction: float = 0.5, max_total_ms: Optional[int] = None,
                 retry: Optional[RetryPolicy] = None, max_deliveries: Optional[int] = None,
                 dead_letters: Optional[Callable[[], Optional[FerrowQueue]]] = None,
                 dead_name: str = "the dead-letter queue") -> None:
        if not 0.0 < renew_fraction < 1.0:
            raise ValueError("renew_fraction must be in (0, 1)")
        self.renew_fraction = renew_fraction
        self.max_total_ms = max_total_ms
        self.retry = retry
        self.max_deliveries = max_deliveries
        self.dead_letters = dead_letters
        self.dead_name = dead_name


class keep_lease:
    """Context manager that keeps a message leased while the block runs.

    The lease is renewed (`extend_lease(seq, lease_ms)`) every
    `lease_ms * renew_fraction` by the renewal thread of `schedule` (one per
    queue object; without one, a schedule of its own), until `max_total_ms`
    has passed since the lease began, if given. On a normal exit the message
    is acked. On an exception the retry policy applies: past
    `max_deliveries` the message goes to the dead-letter queue `dead` (then
    acked, and the move is logged with its reason and `dead_name`);
    otherwise it is held in flight for `retry.delay_ms(deliveries)` so that
    it comes back after that delay. The exception propagates.

    A lease counts as lost when `extend_lease` returned False or when the
    lease ran out by this process's clock before it could be renewed. A lost
    message is never extended or acked again: `lost` is set, a warning is
    logged, and a normal exit raises `LeaseLost`. `outcome` tells what was
    done: "acked", "retry", "dead", "lost", "handed_back" (or what `settle`
    was told); `dead_reason` why it was dead-lettered.

    `leased_at` is the `time.monotonic()` read just before the dequeue that
    leased the message, for a keeper made some time after it; the lease is
    taken to end `lease_ms` after that (by default: after now).
    """

    # What most keepers never change, as class defaults: a `with` block
    # makes one keeper per message, and every store counts.
    lost = False
    renewals = 0
    outcome: Optional[str] = None
    retry_delay_ms: Optional[int] = None
    dead_reason: Optional[str] = None
    _done = False
    _own_schedule = False

    def __init__(self, q: FerrowQueue, message: DeliveredMessage, lease_ms: int,
                 renew_fraction: float = 0.5, max_total_ms: Optional[int] = None,
                 retry: Optional[RetryPolicy] = None, max_deliveries: Optional[int] = None,
                 dead: Optional[FerrowQueue] = None, leased_at: Optional[float] = None,
                 schedule: Optional[LeaseSchedule] = None,
                 dead_name: str = "the dead-letter queue") -> None:
        policy = KeepPolicy(renew_fraction, max_total_ms, retry, max_deliveries,
                            None if dead is None else (lambda: dead), dead_name)
        if lease_ms <= 0:
            raise ValueError("lease_ms must be > 0")
        if schedule is None:
            schedule = LeaseSchedule("ferrow-lease-{}".format(message[0]))
            self._own_schedule = True
        self._setup(q, message, lease_ms, time.monotonic() if leased_at is None else leased_at,
                    policy, schedule)

    def _setup(self, q: FerrowQueue, message: DeliveredMessage, lease_ms: int,
               leased_at: float, policy: KeepPolicy, schedule: LeaseSchedule) -> None:
        self.q = q
        self.message = message
        self.seq = message[0]
        self.lease_ms = lease_ms
        self.policy = policy
        self.interval_s = lease_ms * policy.renew_fraction / 1000.0
        self._schedule = schedule
        self._start = leased_at
        self._deadline = leased_at + lease_ms / 1000.0
        self.next_renewal = leased_at + self.interval_s

    @classmethod
    def of(cls, q: FerrowQueue, message: DeliveredMessage, lease_ms: int, leased_at: float,
           policy: KeepPolicy, schedule: LeaseSchedule) -> "keep_lease":
        """A keeper with a queue object's policy and schedule, made once for
        all of its messages (a `with msg:` block, a worker's job)."""
        if lease_ms <= 0:
            raise ValueError("lease_ms must be > 0")
        keeper = cls.__new__(cls)
        # _setup's stores, inline: this runs for every `with msg:` block.
        keeper.q = q
        keeper.message = message
        keeper.seq = message[0]
        keeper.lease_ms = lease_ms
        keeper.policy = policy
        keeper.interval_s = interval_s = lease_ms * policy.renew_fraction / 1000.0
        keeper._schedule = schedule
        keeper._start = leased_at
        keeper._deadline = leased_at + lease_ms / 1000.0
        keeper.next_renewal = leased_at + interval_s
        return keeper

    def _expired(self) -> bool:
        return time.monotonic() >= self._deadline

    def _mark_lost(self, why: str) -> None:
        self.lost = True
        self._done = True
        self.outcome = "lost"
        log.warning("lease of message %d lost (%s); it will not be extended or acked",
                    self.seq, why)

    def _extend(self, lease_ms: int) -> bool:
        """Makes the lease end `lease_ms` from now; False (and lost) when it
        ran out first or the queue says it is no longer in flight. Errors of
        the queue propagate and leave the lease as it was."""
        if self._expired():
            self._mark_lost("it ran out before it could be extended")
            return False
        before = time.monotonic()
        if not self.q.extend_lease(self.seq, lease_ms):
            self._mark_lost("extend_lease returned False")
            return False
        self._deadline = before + lease_ms / 1000.0
        return True

    def _renew_due(self, now: float) -> bool:
        """One renewal by the schedule's thread, which holds its lock; False
        once it is no longer to be kept. An error of the queue is logged and
        left to the next round: the lease may still outlast it."""
        if self._done:
            return False
        max_total_ms = self.policy.max_total_ms
        if max_total_ms is not None and (now - self._start) * 1000.0 >= max_total_ms:
            return False
        try:
            if not self._extend(self.lease_ms):
                return False
        except Exception as exc:
            log.warning("renewing the lease of message %d failed: %r", self.seq, exc)
        else:
            self.renewals += 1
        self.next_renewal = time.monotonic() + self.interval_s
        return True

    def __enter__(self) -> "keep_lease":
        schedule = self._schedule
        with schedule.lock:
            if not self._done:
                schedule._add(self)
        return self

    def _take_over(self, outcome: Optional[str]) -> bool:
        """Ends the keeping (the caller settles next); False if it was
        settled already or the lease is lost."""
        schedule = self._schedule
        with schedule.lock:
            if self._done:
                return False
            self._done = True
            schedule._kept.discard(self)
            if outcome is not None:
                self.outcome = outcome
            if time.monotonic() >= self._deadline:
                self._mark_lost("lease ran out before it was settled")
                return False
            return True

    def hand_back(self) -> bool:
        """Returns the message to the queue at once (`nack`), unless the job
        already finished or the lease was lost. Safe from another thread."""
        return self.settle("handed_back", lambda: self.q.nack(self.seq))

    def settle(self, outcome: str, call: Callable[[], bool]) -> bool:
        """Settles the message now with `call` (an ack, a hand-back or a retry
        made by hand), so that the block's exit does nothing more. Returns
        what `call` returned, or False without calling it when the message
        was settled already or its lease was lost. Safe from another thread."""
        return self._take_over(outcome) and call()

    def extend(self, lease_ms: int) -> bool:
        """Extends the lease by hand to end `lease_ms` from now, unless the
        message was settled or lost; the renewals go on as before."""
        with self._schedule.lock:
            return not self._done and self._extend(lease_ms)

    def _fail(self, failed: BaseException) -> None:
        """Settles a message whose block raised: past `max_deliveries` into
        the dead-letter queue (opened only then), otherwise held in flight
        for the retry delay, so that it comes back after it."""
        deliveries = self.message[2]
        policy = self.policy
        if (policy.max_deliveries is not None and deliveries >= policy.max_deliveries
                and policy.dead_letters is not None):
            dead = policy.dead_letters()
            if dead is not None:
                reason = "{}: {}".format(type(failed).__name__, failed)[:500]
                move_to_dead_letter(self.q, dead, self.message, reason)
                self.dead_reason = reason
                self.outcome = "dead"
                log.warning("message %d moved to %s after %d deliveries; last failure: %s",
                            self.seq, policy.dead_name, deliveries, reason)
                return
        delay = policy.retry.delay_ms(deliveries) if policy.retry is not None else 0
        self.retry_delay_ms = delay
        if self._extend(delay):
            self.outcome = "retry"

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        try:
            if self._take_over(None):
                if ev is None:
                    self.q.ack(self.seq)
                    self.outcome = "acked"
                else:
                    self._fail(ev)
        finally:
            if self._own_schedule:
                self._schedule.close()
        if ev is None and self.lost:
            raise LeaseLost(f"lease of message {self.seq} was lost; not acknowledged")
