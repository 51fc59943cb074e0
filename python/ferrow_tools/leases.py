"""Keeping a leased message: lease renewal from a background thread, the
ack on success, and on failure the retry back-off or the dead-letter queue.
The worker, `ferrow_tools.Queue` and `ferrow_tools.aio.Queue` all settle their
messages through `keep_lease`.

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
        self._lock = threading.Lock()
        self._done = False
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        # The lease was granted no earlier than that: a conservative deadline.
        self._start = time.monotonic() if leased_at is None else leased_at
        self._deadline = self._start + lease_ms / 1000.0

    def _expired(self) -> bool:
        return time.monotonic() >= self._deadline

    def _mark_lost(self, why: str) -> None:
        self.lost = True
        self._done = True
        self.outcome = "lost"
        log.warning("lease of message %d lost (%s); it will not be extended or acked",
                    self.seq, why)

    def _renew_loop(self) -> None:
        while not self._stop.wait(self.interval_s):
            if (self.max_total_ms is not None
                    and (time.monotonic() - self._start) * 1000.0 >= self.max_total_ms):
                return
            with self._lock:
                if self._done:
                    return
                if self._expired():
                    self._mark_lost("lease ran out before renewal")
                    return
                before = time.monotonic()
                if self.q.extend_lease(self.seq, self.lease_ms):
                    self._deadline = before + self.lease_ms / 1000.0
                    self.renewals += 1
                else:
                    self._mark_lost("extend_lease returned False")
                    return

    def __enter__(self) -> "keep_lease":
        self._thread = threading.Thread(target=self._renew_loop, daemon=True,
                                        name=f"ferrow-lease-{self.seq}")
        self._thread.start()
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
            if self._expired():
                self._mark_lost("lease ran out before it was settled")
                return False
            return call()

    def extend(self, lease_ms: int) -> bool:
        """Extends the lease by hand to end `lease_ms` from now, unless the
        message was settled or lost; the renewals go on as before."""
        with self._lock:
            if self._done or self._expired():
                return False
            before = time.monotonic()
            if not self.q.extend_lease(self.seq, lease_ms):
                self._mark_lost("extend_lease returned False")
                return False
            self._deadline = before + lease_ms / 1000.0
            return True

    def _finish(self, failed: Optional[BaseException]) -> None:
        with self._lock:
            if self._done:
                return
            self._done = True
            if self._expired():
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
            if self.q.extend_lease(self.seq, delay):
                self.outcome = "retry"
            else:
                self._mark_lost("extend_lease returned False at retry")

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self._stop.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join()
        self._finish(ev)
        if ev is None and self.lost:
            raise LeaseLost(f"lease of message {self.seq} was lost; not acknowledged")
