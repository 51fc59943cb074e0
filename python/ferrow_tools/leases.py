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
from typing import TYPE_CHECKING, Callable, Dict, Optional, Type

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

    Keeping a lease costs a dict insertion and one comparison, and settling
    it on success one dict deletion, without a lock: a `with` block or a
    worker job starts, wakes and stops no thread of its own, and most wake
    none. The thread starts with the first lease kept, sleeps until the
    earliest renewal falls due (`wake_at`), renews what is due and looks
    again; a lease kept meanwhile wakes it only when it falls due before
    that, which a lease as long as the others never does. A block shorter
    than half a lease therefore costs the thread nothing.

    Why no lock on the fast path: `kept` is a plain dict, and a single
    insertion, deletion or `list(kept)` is atomic under the interpreter lock
    (the keys hash by identity, so no Python code runs inside them). Whoever
    deletes a lease from `kept` owns its settling; everyone else finds it
    gone. The thread renews under `lock`, and every settling other than a
    plain ack (retry, hand-back, nack, a lost lease) takes `lock` to delete
    it, so a message is never extended once it was handed back or retried.
    An ack may race a renewal: the renewal then finds the message gone and
    leaves it."""

    def __init__(self, name: str = "ferrow-leases", idle_s: float = 1.0) -> None:
        self.name = name
        # How long the thread stays awake for leases that come and go, once
        # it finds none kept (then it sleeps until the next lease wakes it).
        self.idle_s = idle_s
        self._reset()
        _schedules.add(self)

    def _reset(self) -> None:
        self.lock = threading.Lock()
        self._wakeup = threading.Condition(self.lock)
        self.kept: Dict[HeldLease, bool] = {}
        # When the thread looks next: -inf while it looks (or was just
        # woken), inf while it sleeps until woken.
        self.wake_at = math.inf
        self._thread: Optional[threading.Thread] = None
        self._closed = False

    def keep(self, held: HeldLease) -> None:
        """Renews `held` from now on, until it is settled."""
        self.kept[held] = True
        if held._renew_at < self.wake_at:
            self.wake()

    def wake(self) -> None:
        """Has the thread look at the schedule now (starting it the first
        time)."""
        with self.lock:
            if self._closed:
                return
            self.wake_at = -math.inf  # one wake-up is enough until it looks
            if self._thread is None or not self._thread.is_alive():
                # The first lease, or a renewal raised something that ended the
                # thread (a PanicException is no Exception): a new one carries on.
                self._thread = threading.Thread(target=self._loop, daemon=True, name=self.name)
                self._thread.start()
            else:
                self._wakeup.notify()

    def __len__(self) -> int:
        return len(self.kept)

    def _loop(self) -> None:
        with self.lock:
            try:
                self._run_rounds()
            finally:
                self.wake_at = math.inf  # so that the next lease kept starts a thread

    def _renew_due(self) -> float:
        """Renews every lease that is due; returns when the next one is."""
        now = time.monotonic()
        next_at = math.inf
        for held in list(self.kept):
            due = held._renew_at
            if due <= now:
                due = held._renew(now, self)
            if due < next_at:
                next_at = due
        return next_at

    def _run_rounds(self) -> None:
        """Renews what is due and sleeps until the next is; the caller holds
        `lock`, which waiting releases."""
        woken = True
        while not self._closed:
            self.wake_at = -math.inf
            next_at = self._renew_due()
            if next_at == math.inf and woken:
                # Leases come and go faster than the thread wakes: look again
                # in a while rather than be woken for every one.
                next_at = time.monotonic() + self.idle_s
            self.wake_at = next_at
            # A lease kept while the thread looked saw -inf and did not wake
            # it; one kept from now on sees `next_at`. So a look at `kept`
            # now finds every lease that may be due before `next_at`.
            if any(held._renew_at < next_at for held in list(self.kept)):
                continue
            timeout = None if next_at == math.inf else max(0.0, next_at - time.monotonic())
            woken = self._wakeup.wait(timeout)

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
                 "dead_name", "margin_per_ms")

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
        # A lease is renewed this long (per millisecond of lease) before it ends.
        self.margin_per_ms = (1.0 - renew_fraction) / 1000.0


class HeldLease:
    """A leased message kept by a `LeaseSchedule` while a job (a `with`
    block, a worker's handler) runs on it: what `keep_lease` and the message
    objects of `ferrow_tools.Queue` share.

    A subclass sets `lease_ms`, `_deadline` (when the lease ends by this
    process's clock: `lease_ms` after the `time.monotonic()` read just
    before the call that leased or last extended it, never later than the
    queue's own end of it) and, when kept, `_schedule` and `_renew_at`; it
    provides `_held_queue()`, `_held_message()` and `_held_policy()`.

    `outcome` tells what was done: "acked", "retry", "dead", "lost",
    "handed_back" (or what `settle` was told); `dead_reason` why it was
    dead-lettered. A lease counts as lost when `extend_lease` returned False
    or when it ran out by this process's clock before it could be renewed or
    settled: it is never extended or acked again, `lost` is set and a
    warning logged."""

    # What most held leases never change, as class defaults: every message
    # of a `with` block is one, and every store counts.
    lost = False
    renewals = 0
    outcome: Optional[str] = None
    retry_delay_ms: Optional[int] = None
    dead_reason: Optional[str] = None
    _renew_at = math.inf
    _schedule: Optional[LeaseSchedule] = None

    lease_ms: int
    _deadline: float

    def _held_queue(self) -> FerrowQueue:
        raise NotImplementedError

    def _held_message(self) -> DeliveredMessage:
        raise NotImplementedError

    def _held_policy(self) -> KeepPolicy:
        raise NotImplementedError

    def _mark_lost(self, why: str) -> None:
        self.lost = True
        self.outcome = "lost"
        log.warning("lease of message %d lost (%s); it will not be extended or acked",
                    self._held_message()[0], why)

    def _extend_held(self, lease_ms: int) -> bool:
        """Makes the lease end `lease_ms` from now; False (and lost) when it
        ran out first or the queue says it is no longer in flight. The
        caller owns the settling or holds the schedule's lock. Errors of the
        queue propagate and leave the lease as it was."""
        before = time.monotonic()
        if before >= self._deadline:
            self._mark_lost("it ran out before it could be extended")
            return False
        if not self._held_queue().extend_lease(self._held_message()[0], lease_ms):
            self._mark_lost("extend_lease returned False")
            return False
        self._deadline = before + lease_ms / 1000.0
        return True

    def _stop_renewing(self, schedule: LeaseSchedule) -> bool:
        """Takes the lease off `schedule` under its lock, so that no renewal
        is under way or comes after; True for the one caller that did."""
        with schedule.lock:
            return schedule.kept.pop(self, False)

    def _renew(self, now: float, schedule: LeaseSchedule) -> float:
        """One renewal by the schedule's thread, which holds its lock;
        returns when the next is due (inf: no more). An error of the queue
        is logged and left to the next round: the lease may still outlast
        it."""
        policy = self._held_policy()
        if policy.max_total_ms is not None and self._renewing_past(now, policy.max_total_ms):
            self._renew_at = math.inf  # let it run out; the block's end says so
            return math.inf
        message = self._held_message()
        try:
            before = time.monotonic()
            if before >= self._deadline:
                if schedule.kept.pop(self, False):
                    self._mark_lost("it ran out before it could be extended")
                return math.inf
            extended = self._held_queue().extend_lease(message[0], self.lease_ms)
        except Exception as exc:
            log.warning("renewing the lease of message %d failed: %r", message[0], exc)
        else:
            if not extended:
                # Gone from `kept`: acked meanwhile (a plain ack takes no
                # lock), nothing to say. Still there: lost.
                if schedule.kept.pop(self, False):
                    self._mark_lost("extend_lease returned False")
                return math.inf
            self._deadline = before + self.lease_ms / 1000.0
            self.renewals += 1
        renew_at = self._renew_at = now + self.lease_ms * policy.renew_fraction / 1000.0
        return renew_at

    def _renewing_past(self, now: float, max_total_ms: int) -> bool:
        """Whether renewing now would keep the lease past `max_total_ms`."""
        return False

    def _keep_on(self, schedule: LeaseSchedule, margin_per_ms: float) -> None:
        """Starts the renewals (the start of a block)."""
        self._schedule = schedule
        self._renew_at = self._deadline - self.lease_ms * margin_per_ms
        schedule.keep(self)

    def _take_over(self, outcome: Optional[str]) -> bool:
        """Ends the keeping (the caller settles next); False if it was
        settled already or the lease is lost."""
        schedule = self._schedule
        if schedule is None or not self._stop_renewing(schedule):
            return False
        if outcome is not None:
            self.outcome = outcome
        if time.monotonic() >= self._deadline:
            self._mark_lost("lease ran out before it was settled")
            return False
        return True

    def _settle(self, outcome: str, call: Callable[[], bool]) -> bool:
        """Settles the message now with `call` (an ack, a hand-back or a retry
        made by hand), so that the block's end does nothing more. Returns
        what `call` returned, or False without calling it when the message
        was settled already or its lease was lost. Safe from another thread."""
        return self._take_over(outcome) and call()

    def _hand_back(self) -> bool:
        """Returns the message to the queue at once (`nack`), unless the job
        already finished or the lease was lost. Safe from another thread."""
        return self._settle("handed_back",
                           lambda: self._held_queue().nack(self._held_message()[0]))

    def _extend_kept(self, lease_ms: int) -> bool:
        """Extends the lease by hand to end `lease_ms` from now, unless the
        message was settled or lost; the renewals go on from there."""
        schedule = self._schedule
        if schedule is None:
            return False
        with schedule.lock:
            if self not in schedule.kept or not self._extend_held(lease_ms):
                return False
            renew_at = self._renew_at = (self._deadline
                                         - self.lease_ms * self._held_policy().margin_per_ms)
        if renew_at < schedule.wake_at:
            schedule.wake()
        return True

    def _fail(self, failed: BaseException) -> None:
        """Settles a message whose block raised: past `max_deliveries` into
        the dead-letter queue (opened only then), otherwise held in flight
        for the retry delay, so that it comes back after it."""
        message = self._held_message()
        seq, deliveries = message[0], message[2]
        policy = self._held_policy()
        if (policy.max_deliveries is not None and deliveries >= policy.max_deliveries
                and policy.dead_letters is not None):
            dead = policy.dead_letters()
            if dead is not None:
                reason = "{}: {}".format(type(failed).__name__, failed)[:500]
                move_to_dead_letter(self._held_queue(), dead, message, reason)
                self.dead_reason = reason
                self.outcome = "dead"
                log.warning("message %d moved to %s after %d deliveries; last failure: %s",
                            seq, policy.dead_name, deliveries, reason)
                return
        delay = policy.retry.delay_ms(deliveries) if policy.retry is not None else 0
        self.retry_delay_ms = delay
        if self._extend_held(delay):
            self.outcome = "retry"

    def _end(self, failed: Optional[BaseException]) -> None:
        """The end of the block: acks on success, applies the retry policy
        on an exception (which goes on), raises `LeaseLost` after a
        successful block whose lease was lost."""
        if failed is not None:
            if self._take_over(None):
                self._fail(failed)
            return
        schedule = self._schedule
        assert schedule is not None
        # The common end, without a lock: see LeaseSchedule.
        if schedule.kept.pop(self, False):
            if time.monotonic() < self._deadline:
                self._held_queue().ack(self._held_message()[0])
                self.outcome = "acked"
                return
            self._mark_lost("lease ran out before it was settled")
        if self.lost:
            raise LeaseLost("lease of message {} was lost; not acknowledged".format(
                self._held_message()[0]))


class keep_lease(HeldLease):
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

    A lost lease (see `HeldLease`) makes a normal exit raise `LeaseLost`.

    `leased_at` is the `time.monotonic()` read just before the dequeue that
    leased the message, for a keeper made some time after it; the lease is
    taken to end `lease_ms` after that (by default: after now).
    """

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
        self._on = schedule
        self._start = leased_at
        self._deadline = leased_at + lease_ms / 1000.0

    @classmethod
    def of(cls, q: FerrowQueue, message: DeliveredMessage, lease_ms: int, leased_at: float,
           policy: KeepPolicy, schedule: LeaseSchedule) -> "keep_lease":
        """A keeper with a queue object's policy and schedule, made once for
        all of its messages (a worker's job)."""
        if lease_ms <= 0:
            raise ValueError("lease_ms must be > 0")
        keeper = _new_keeper(cls)
        # _setup, written out: this runs for every job.
        keeper.q = q
        keeper.message = message
        keeper.seq = message[0]
        keeper.lease_ms = lease_ms
        keeper.policy = policy
        keeper._on = schedule
        keeper._start = leased_at
        keeper._deadline = leased_at + lease_ms / 1000.0
        return keeper

    def _held_queue(self) -> FerrowQueue:
        return self.q

    def settle(self, outcome: str, call: Callable[[], bool]) -> bool:
        """Settles the message now with `call` (an ack, a hand-back or a retry
        made by hand), so that the block's end does nothing more. Returns
        what `call` returned, or False without calling it when the message
        was settled already or its lease was lost. Safe from another thread."""
        return self._settle(outcome, call)

    def hand_back(self) -> bool:
        """Returns the message to the queue at once (`nack`), unless the job
        already finished or the lease was lost. Safe from another thread."""
        return self._hand_back()

    def extend(self, lease_ms: int) -> bool:
        """Extends the lease by hand to end `lease_ms` from now, unless the
        message was settled or lost; the renewals go on from there."""
        return self._extend_kept(lease_ms)

    def _held_message(self) -> DeliveredMessage:
        return self.message

    def _held_policy(self) -> KeepPolicy:
        return self.policy

    def _renewing_past(self, now: float, max_total_ms: int) -> bool:
        return (now - self._start) * 1000.0 >= max_total_ms

    def __enter__(self) -> "keep_lease":
        if self._schedule is not None:
            raise RuntimeError("message {} is kept already".format(self.seq))
        # _keep_on and LeaseSchedule.keep, written out: this runs for every job.
        schedule = self._schedule = self._on
        renew_at = self._renew_at = self._deadline - self.lease_ms * self.policy.margin_per_ms
        schedule.kept[self] = True
        if renew_at < schedule.wake_at:
            schedule.wake()
        return self

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        if ev is None and not self._own_schedule and time.monotonic() < self._deadline:
            # _end's common case, written out (see LeaseSchedule for why no lock).
            try:
                del self._on.kept[self]
            except KeyError:
                pass  # handed back or lost meanwhile: _end says which
            else:
                self.q.ack(self.seq)
                self.outcome = "acked"
                return
        try:
            self._end(ev)
        finally:
            if self._own_schedule:
                self._on.close()


_new_keeper = object.__new__
