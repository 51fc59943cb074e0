"""Workers: blocking consumption, lease keeping, retries and dead letters on
top of any Ferrow queue (`ferrow.FerrowQueue`).

- `wait_for_message(q, timeout, ...)` waits for a message with a capped
  exponential back-off between empty dequeues; on Linux it is woken early by
  inotify when another process appends to the queue's log. On a Redis queue
  it blocks on the server instead, without polling.
- `keep_lease(q, message, lease_ms, ...)` renews a lease from a background
  thread while a job runs, acks on success and applies a `RetryPolicy` (and
  the dead-letter limit) on an exception. It never extends or acks a message
  whose lease it lost; it raises `LeaseLost` instead.
- `Worker(target, handler, ...).run()` loops over messages and stops
  cleanly on SIGTERM/SIGINT. The target is anything `open_queue` takes.

Dead letters are copied to `dead_letter_target(target)` (see
`ferrow_tools.leases`). The waiting lives in `ferrow_tools.waiting` and the
lease keeping in `ferrow_tools.leases`, which `ferrow_tools.Queue` shares;
their names are exported here as well.
"""
from __future__ import annotations

import logging
import signal
import threading
import time
from types import FrameType
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Union

from .leases import LeaseLost, RetryPolicy, keep_lease, move_to_dead_letter
from .scheduling import SchedulingOptions, Taken, open_levels
from .scheduling.waking import LevelWatcher
from .targets import Target, dead_letter_target, is_redis, open_queue, target_text
from .waiting import QueueWatcher, wait_for, wait_for_message

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue

__all__ = ["LeaseLost", "RetryPolicy", "QueueWatcher", "wait_for_message", "keep_lease",
           "move_to_dead_letter", "Worker", "WorkerStats"]

log = logging.getLogger("ferrow_tools.worker")


class WorkerStats:
    def __init__(self) -> None:
        self.counts: Dict[str, int] = {"acked": 0, "retry": 0, "dead": 0, "lost": 0,
                                       "handed_back": 0}
        self.seen: List[int] = []

    def __repr__(self) -> str:
        return f"WorkerStats({self.counts}, messages={len(self.seen)})"


_Handler = Callable[["DeliveredMessage"], None]


def lock_holder_text(queue_dir: str) -> str:
    from .files.lock_file import read_holder

    holder = read_holder(queue_dir)
    return "lock " + holder.describe() if holder is not None else "no lock file"


class Worker:
    """Takes messages from the queue at `target` (a directory, ":memory:" or
    a Redis URL) one at a time and runs `handler` on
    each inside `keep_lease` (renewals, ack, retry back-off, dead letters past
    `max_deliveries`).

    `run()` installs SIGTERM/SIGINT handlers (when called in the main thread):
    the first signal stops it taking new messages; the current job may finish
    within `grace_s` (None: as long as it takes), otherwise it is handed back
    with `nack` and `run()` returns. The handler runs in a helper thread so the
    worker can keep that promise.

    It takes delayed messages when they are due, the levels of
    `priorities` highest first (with the aging of `aging_s`), and never an
    expired message (see docs/scheduling.md); a failed message is retried
    the same way a delayed one waits, leased until it is due."""

    def __init__(self, target: Target, handler: _Handler, lease_ms: int = 30_000,
                 max_deliveries: int = 5, retry: Optional[RetryPolicy] = None,
                 grace_s: Optional[float] = 10.0, renew_fraction: float = 0.5,
                 max_total_ms: Optional[int] = None, priorities: int = 1,
                 **scheduling: Any) -> None:
        self.queue_dir = target_text(target)
        self.handler = handler
        self.lease_ms = lease_ms
        self.max_deliveries = max_deliveries
        self.retry = retry if retry is not None else RetryPolicy()
        self.grace_s = grace_s
        self.renew_fraction = renew_fraction
        self.max_total_ms = max_total_ms
        self.q = open_queue(self.queue_dir)
        self._dead: Optional[FerrowQueue] = None
        self.levels = open_levels(self.queue_dir, self.q,
                                  SchedulingOptions(priorities, **scheduling), lambda: self.dead)
        self._stop = threading.Event()
        self.stats = WorkerStats()

    @property
    def dead(self) -> FerrowQueue:
        if self._dead is None:
            self._dead = open_queue(dead_letter_target(self.queue_dir))
        return self._dead

    def stop(self) -> None:
        """Asks run() to stop after the current message (thread/signal safe)."""
        self._stop.set()

    @property
    def stopping(self) -> bool:
        return self._stop.is_set()

    def _on_signal(self, signum: int, frame: Optional[FrameType]) -> None:
        self._stop.set()

    def run_one(self, message: DeliveredMessage, q: Optional[FerrowQueue] = None) -> str:
        """Runs the handler on a message of the queue (or of its sub-queue `q`)."""
        keeper = keep_lease(self.q if q is None else q, message, self.lease_ms,
                            self.renew_fraction, self.max_total_ms, self.retry,
                            self.max_deliveries, self.dead)

        def job() -> None:
            try:
                with keeper:
                    self.handler(message)
            except LeaseLost:
                pass
            except Exception as exc:
                log.warning("message %d failed (delivery %d): %r", message[0], message[2], exc)

        t = threading.Thread(target=job, daemon=True, name=f"ferrow-job-{message[0]}")
        t.start()
        grace_end: Optional[float] = None
        while t.is_alive():
            t.join(0.05)
            if self._stop.is_set() and self.grace_s is not None:
                if grace_end is None:
                    grace_end = time.monotonic() + self.grace_s
                elif time.monotonic() >= grace_end and t.is_alive():
                    keeper.hand_back()
                    break
        outcome = keeper.outcome or "lost"
        self.stats.counts[outcome] = self.stats.counts.get(outcome, 0) + 1
        self.stats.seen.append(message[0])
        return outcome

    def run(self, max_messages: Optional[int] = None,
            idle_exit_s: Optional[float] = None) -> WorkerStats:
        """Processes messages until stopped (or `max_messages` were handled,
        or no message came for `idle_exit_s` seconds)."""
        old: Dict[signal.Signals, Union[Callable[[int, Optional[FrameType]], object], int, None]] = {}
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGTERM, signal.SIGINT):
                old[sig] = signal.signal(sig, self._on_signal)
        # A Redis queue waits on its server; a directory and its sub-queues
        # are watched, until the next delayed message is due at the latest.
        levels = self.levels
        watcher = (None if is_redis(self.queue_dir)
                   else LevelWatcher(levels.watched_dirs, levels.next_due_ms))

        def take() -> Optional[Taken]:
            got = levels.take(1, self.lease_ms)
            return got[0] if got else None

        try:
            handled = 0
            while not self._stop.is_set():
                if max_messages is not None and handled >= max_messages:
                    break
                try:
                    taken = wait_for(self.q, take,
                                     idle_exit_s if idle_exit_s is not None else 1.0,
                                     watcher=watcher, should_stop=self._stop.is_set)
                except TimeoutError:
                    # A live holder (stopped, or stuck on a disk) kept the
                    # process lock for 30 s; a dead one would have been taken
                    # over. Say so and keep waiting rather than die.
                    log.warning("process lock of %s not obtained within 30 s (%s); still "
                                "waiting", self.queue_dir, lock_holder_text(self.queue_dir))
                    continue
                if taken is None:
                    if idle_exit_s is not None and not self._stop.is_set():
                        break
                    continue
                if self._stop.is_set():  # stopped while dequeuing: give it back
                    taken.core.nack(taken.delivered[0])
                    break
                self.run_one(taken.delivered, taken.core)
                handled += 1
        finally:
            if watcher is not None:
                watcher.close()
            for signum, previous in old.items():
                signal.signal(signum, previous)
        return self.stats
