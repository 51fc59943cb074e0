"""Keeping a leased message: lease renewal from a background thread, the
ack on success, and on failure the retry back-off or the dead-letter queue.
The worker, `ferrow_tools.Queue` and `ferrow_tools.aio.Queue` all settle their
messages through `keep_lease`; `keep_lease` and the framework integrations'
`HeldLeases` renew through `Lease` and `Renewals`.

Dead letters are copied to the dead-letter queue in the format of
`ferrow_tools.deadletter`, then acknowledged in the main queue. Copy-then-ack
is at least once: a crash between the two leaves the message in both queues
(it will be delivered again from the main queue and dead-lettered again).
"""
from __future__ import annotations

import logging
import random
import threading
import time
from types import TracebackType
from typing import TYPE_CHECKING, Callable, Optional, Type

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


class keep_lease:
    """Context manager that keeps a message leased while the block runs.

    A background thread calls `extend_lease(seq, lease_ms)` every
    `lease_ms * renew_fraction` (until `max_total_ms` has passed since entry,
    if given). On a normal exit the message is acked. On an exception the
    retry policy applies: past `max_deliveries` the message goes to the
    dead-letter queue `dead` (then acked); otherwise it is held in flight for
    `retry.delay_ms(deliveries)` so that it comes back after that delay. The
    exception propagates.

    A lease counts as lost when `extend_lease` returned False or when the
    lease ran out by this process's clock before it could be renewed. A lost
    message is never extended or acked again: `lost` is set, a warning is
    logged, and a normal exit raises `LeaseLost`. `outcome` tells what was
    done: "acked", "retry", "dead", "lost", "handed_back" (or what `settle`
    was told).

    `leased_at` is the `time.monotonic()` read just before the dequeue that
    leased the message, for a keeper made some time after it; the lease is
    taken to end `lease_ms` after that (by default: after now).
    """

    def __init__(self, q: FerrowQueue, message: DeliveredMessage, lease_ms: int,
                 renew_fraction: float = 0.5, max_total_ms: Optional[int] = None,
                 retry: Optional[RetryPolicy] = None, max_deliveries: Optional[int] = None,
                 dead: Optional[FerrowQueue] = None,
                 leased_at: Optional[float] = None) -> None:
        if lease_ms <= 0 or not 0.0 < renew_fraction < 1.0:
            raise ValueError("lease_ms must be > 0 and renew_fraction in (0, 1)")
        self.q = q
        self.message = message
        self.seq = message[0]
        self.lease_ms = lease_ms
        self.interval_s = lease_ms * renew_fraction / 1000.0
        self.max_total_ms = max_total_ms
        self.retry = retry
        self.max_deliveries = max_deliveries
        self.dead = dead
        self.lost = False
        self.renewals = 0
        self.outcome: Optional[str] = None
        self.retry_delay_ms: Optional[int] = None
        # Renewals and settling take turns: nothing is extended once settled.
        self._lock = threading.Lock()
        self._done = False
        self._renewals: Optional[Renewals] = None
        self._start = time.monotonic() if leased_at is None else leased_at
        self._lease = Lease(q, self.seq, lease_ms, self._start)

    def _mark_lost(self, why: str) -> None:
        self.lost = True
        self._done = True
        self.outcome = "lost"
        log.warning("lease of message %d lost (%s); it will not be extended or acked",
                    self.seq, why)

    def _lost_if(self, extended: bool) -> bool:
        if not extended and self._lease.lost is not None:
            self._mark_lost(self._lease.lost)
        return extended

    def _renew(self) -> bool:
        if (self.max_total_ms is not None
                and (time.monotonic() - self._start) * 1000.0 >= self.max_total_ms):
            return False
        with self._lock:
            if self._done:
                return False
            if not self._lost_if(self._lease.renew()):
                return False
            self.renewals += 1
            return True

    def __enter__(self) -> "keep_lease":
        self._renewals = Renewals(self.interval_s, self._renew, f"ferrow-lease-{self.seq}")
        return self

    def hand_back(self) -> bool:
        """Returns the message to the queue at once (`nack`), unless the job
        already finished or the lease was lost. Safe from another thread."""
        return self.settle("handed_back", lambda: self.q.nack(self.seq))

    def settle(self, outcome: str, call: Callable[[], bool]) -> bool:
        """Settles the message now with `call` (an ack, a hand-back or a retry
        made by hand), so that the block's exit does nothing more. Returns
        what `call` returned, or False without calling it when the message
        was settled already or its lease was lost. Safe from another thread."""
        with self._lock:
            if self._done:
                return False
            self._done = True
            self.outcome = outcome
            if self._lease.expired():
                self._mark_lost("lease ran out before it was settled")
                return False
            return call()

    def extend(self, lease_ms: int) -> bool:
        """Extends the lease by hand to end `lease_ms` from now, unless the
        message was settled or lost; the renewals go on as before."""
        with self._lock:
            return not self._done and self._lost_if(self._lease.extend(lease_ms))

    def _finish(self, failed: Optional[BaseException]) -> None:
        with self._lock:
            if self._done:
                return
            self._done = True
            if self._lease.expired():
                self._mark_lost("lease ran out before the job finished")
                return
            if failed is None:
                self.q.ack(self.seq)
                self.outcome = "acked"
                return
            deliveries = self.message[2]
            if (self.max_deliveries is not None and self.dead is not None
                    and deliveries >= self.max_deliveries):
                move_to_dead_letter(self.q, self.dead, self.message,
                                    f"{type(failed).__name__}: {failed}"[:500])
                self.outcome = "dead"
                return
            delay = self.retry.delay_ms(deliveries) if self.retry is not None else 0
            self.retry_delay_ms = delay
            # Held in flight for the delay: it comes back after it.
            if self._lost_if(self._lease.extend(delay)):
                self.outcome = "retry"

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        if self._renewals is not None:
            self._renewals.stop()
        self._finish(ev)
        if ev is None and self.lost:
            raise LeaseLost(f"lease of message {self.seq} was lost; not acknowledged")
