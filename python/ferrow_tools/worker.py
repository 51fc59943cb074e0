"""Workers: blocking consumption, lease keeping, retries and dead letters on
top of any Ferrow queue (`ferrow.FerrowQueue`).

- `wait_for_message(q, timeout, ...)` waits for a message with a capped
  exponential back-off between empty dequeues; on Linux it is woken early by
  inotify when another process appends to the queue's log. On a Redis queue
  it blocks on the server instead, without polling.
- `keep_lease(q, message, lease_ms, ...)` renews a lease while a job runs
  (from the one renewal thread of a `LeaseSchedule`), acks on success and
  applies a `RetryPolicy` (and the dead-letter limit) on an exception. It never extends or acks a message
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
from collections import deque
from types import FrameType
from typing import TYPE_CHECKING, Any, Callable, Deque, Dict, List, Optional, Union

from .leases import (KeepPolicy, LeaseLost, LeaseSchedule, RetryPolicy, keep_lease,
                     move_to_dead_letter)
from .scheduling import SchedulingOptions, Taken, open_levels
from .scheduling.waking import LevelWatcher
from .serializers import RAW, SerializerChoice, serializer_for
from .targets import Target, dead_letter_target, describe, is_redis, open_queue, target_text
from .waiting import QueueWatcher, wait_for, wait_for_message

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue

__all__ = ["LeaseLost", "RetryPolicy", "QueueWatcher", "wait_for_message", "keep_lease",
           "move_to_dead_letter", "Worker", "WorkerStats"]

log = logging.getLogger("ferrow_tools.worker")

_new_keeper = object.__new__


# How many of the latest message ids a worker's stats keep: a worker runs for
# months, and a list of every id it ever saw would grow without end.
RECENT_IDS = 1000


class WorkerStats:
    """What a worker did: `counts` by outcome, and `seen`, the ids of the
    latest messages it finished (at most RECENT_IDS, oldest first)."""

    def __init__(self) -> None:
        self.counts: Dict[str, int] = {"acked": 0, "retry": 0, "dead": 0, "lost": 0,
                                       "handed_back": 0}
        self.seen: Deque[int] = deque(maxlen=RECENT_IDS)

    def __repr__(self) -> str:
        return f"WorkerStats({self.counts}, messages={sum(self.counts.values())})"


_Handler = Callable[["DeliveredMessage"], None]


def lock_holder_text(queue_dir: str) -> str:
    from .files.lock_file import read_holder

    holder = read_holder(queue_dir)
    return "lock " + holder.describe() if holder is not None else "no lock file"


class Worker:
    """Takes messages from the queue at `target` (a directory, ":memory:" or
    a Redis URL) one at a time and runs `handler` on each, while its lease is
    kept (one renewal thread for the worker), then acks it; a handler that
    raises has its message retried after `retry`'s back-off (default 1 s
    doubling to 60 s), and past `max_deliveries` deliveries moved to the
    dead-letter queue (DIR.dead, or NAME.dead on the same Redis servers),
    which the worker logs with the reason and where it went.

    `handler` gets the delivered tuple (id, body, deliveries,
    enqueued_ts_ms); with a `serializer` (as `ferrow_tools.Queue` takes:
    "json", "pickle", a (dumps, loads) pair...) the body comes decoded, and
    a body that does not decode counts as a failure of the handler.

    `run()` installs SIGTERM/SIGINT handlers (when called in the main thread):
    the first signal stops it taking new messages; the current job may finish
    within `grace_s` (None: as long as it takes), otherwise it is handed back
    with `nack` and `run()` returns. Messages are taken and handled in one
    helper thread per `run()`, so that the worker can keep that promise.
    `close()` lets go of the worker's watcher and renewal thread.

    It takes delayed messages when they are due, the levels of `priorities`
    highest first (`aging_s` and `expired` as `Queue` takes them), and never
    an expired message (see docs/scheduling.md); a failed message waits for
    its retry the way a delayed one waits, leased until it is due."""

    def __init__(self, target: Target, handler: _Handler, lease_ms: int = 30_000,
                 max_deliveries: int = 5, retry: Optional[RetryPolicy] = None,
                 grace_s: Optional[float] = 10.0, renew_fraction: float = 0.5,
                 max_total_ms: Optional[int] = None, serializer: SerializerChoice = None,
                 priorities: int = 1, **scheduling: Any) -> None:
        self.queue_dir = target_text(target)
        self.handler = handler
        if lease_ms <= 0:
            raise ValueError("lease_ms must be > 0")
        self.lease_ms = lease_ms
        self.max_deliveries = max_deliveries
        self.retry = retry if retry is not None else RetryPolicy()
        self.grace_s = grace_s
        self.renew_fraction = renew_fraction
        self.max_total_ms = max_total_ms
        codec = serializer_for(serializer)
        self._loads = None if codec is RAW else codec.loads
        self.keeping = KeepPolicy(renew_fraction, max_total_ms, self.retry, max_deliveries,
                                  lambda: self.dead,
                                  describe(dead_letter_target(self.queue_dir)))
        self.q = open_queue(self.queue_dir)
        self.leases = LeaseSchedule("ferrow-worker " + describe(self.queue_dir),
                                    lease_ms * renew_fraction / 1000.0)
        self._dead: Optional[FerrowQueue] = None
        self.levels = open_levels(self.queue_dir, self.q,
                                  SchedulingOptions(priorities, **scheduling), lambda: self.dead)
        self._stop = threading.Event()
        # A Redis queue waits on its server; a directory and its sub-queues
        # are watched (until the next delayed message is due at the latest),
        # by one watcher for every run(): closing one takes the kernel
        # milliseconds.
        self._watcher = (None if is_redis(self.queue_dir)
                         else LevelWatcher(self.levels.watched_dirs, self.levels.next_due_ms))
        # Wakes run() for a stop or the end of the consuming thread.
        self._wake = threading.Event()
        # The job under way (see run_one).
        self._jobs: Dict[keep_lease, bool] = {}
        self.stats = WorkerStats()

    @property
    def dead(self) -> FerrowQueue:
        if self._dead is None:
            self._dead = open_queue(dead_letter_target(self.queue_dir))
        return self._dead

    def stop(self) -> None:
        """Asks run() to stop after the current message (thread/signal safe)."""
        self._stop.set()
        self._wake.set()

    @property
    def stopping(self) -> bool:
        return self._stop.is_set()

    def _on_signal(self, signum: int, frame: Optional[FrameType]) -> None:
        self.stop()

    def run_one(self, message: DeliveredMessage, leased_at: Optional[float] = None,
                q: Optional[FerrowQueue] = None) -> str:
        """Runs the handler on one leased message (of the queue, or of its
        sub-queue `q`) and settles it, in the calling thread; returns the
        outcome ("acked", "retry", "dead", "lost", or "handed_back" when run()
        gave it back meanwhile)."""
        # keep_lease.of, written out: this runs for every job.
        keeper = _new_keeper(keep_lease)
        keeper.q = self.q if q is None else q
        keeper.message = message
        keeper.seq = message[0]
        keeper.lease_ms = lease_ms = self.lease_ms
        keeper.policy = self.keeping
        keeper._on = self.leases
        keeper._start = start = time.monotonic() if leased_at is None else leased_at
        keeper._deadline = start + lease_ms / 1000.0
        # The job is run()'s to hand back until it is taken off `_jobs`:
        # whoever takes it off (one dict operation, atomic under the
        # interpreter lock) counts it, so no lock is taken per job.
        jobs = self._jobs
        jobs[keeper] = True
        try:
            with keeper:
                if self._loads is None:
                    self.handler(message)
                else:
                    seq, body, deliveries, enqueued_ts_ms = message
                    self.handler((seq, self._loads(body), deliveries, enqueued_ts_ms))
        except LeaseLost:
            pass
        except Exception as exc:
            log.warning("message %d failed (delivery %d): %r", message[0], message[2], exc)
        if not jobs.pop(keeper, False):  # handed back and counted by run()
            return keeper.outcome or "handed_back"
        # _count, written out.
        outcome = keeper.outcome or "lost"
        counts = self.stats.counts
        counts[outcome] = counts.get(outcome, 0) + 1
        self.stats.seen.append(keeper.seq)
        return outcome

    def _count(self, keeper: keep_lease) -> str:
        outcome = keeper.outcome or "lost"
        counts = self.stats.counts
        counts[outcome] = counts.get(outcome, 0) + 1
        self.stats.seen.append(keeper.seq)
        return outcome

    def _hand_back_current(self) -> None:
        """The grace of a stop has passed: the running job's message goes
        back to the queue (its handler runs on; its end settles nothing)."""
        for keeper in list(self._jobs):
            if self._jobs.pop(keeper, False):
                keeper.hand_back()
                self._count(keeper)

    def run(self, max_messages: Optional[int] = None,
            idle_exit_s: Optional[float] = None) -> WorkerStats:
        """Processes messages until stopped, and returns the counts of what
        became of them (`WorkerStats`).

        `max_messages`: return after handling that many (None: no limit).
        `idle_exit_s`: return once no message came for that many seconds
        (None: wait for ever), say to drain a queue and stop. `stop()`, or
        SIGTERM/SIGINT when run in the main thread, ends it after the current
        message (see the class for `grace_s`).

        The messages are taken and handled in one helper thread; this one
        waits for it, or for a stop, and keeps the grace's promise."""
        old: Dict[signal.Signals, Union[Callable[[int, Optional[FrameType]], object], int, None]] = {}
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGTERM, signal.SIGINT):
                old[sig] = signal.signal(sig, self._on_signal)
        done = threading.Event()
        failed: List[BaseException] = []

        def consume() -> None:
            try:
                self._consume(max_messages, idle_exit_s)
            except BaseException as exc:
                failed.append(exc)
            finally:
                done.set()
                self._wake.set()

        consumer = threading.Thread(target=consume, daemon=True,
                                    name="ferrow-worker " + describe(self.queue_dir))
        try:
            consumer.start()
            grace_end: Optional[float] = None
            while not done.is_set():
                wait = None
                if self._stop.is_set() and self.grace_s is not None:
                    now = time.monotonic()
                    grace_end = now + self.grace_s if grace_end is None else grace_end
                    if now >= grace_end:
                        self._hand_back_current()
                        break
                    wait = grace_end - now
                self._wake.wait(wait)
                self._wake.clear()
        finally:
            for signum, previous in old.items():
                signal.signal(signum, previous)
        if failed:
            raise failed[0]
        return self.stats

    def _consume(self, max_messages: Optional[int], idle_exit_s: Optional[float]) -> None:
        q, lease_ms, stop = self.q, self.lease_ms, self._stop
        dequeue, watcher, levels = q.dequeue, self._watcher, self.levels
        stamp = [0.0]

        def take() -> Optional[Taken]:
            stamp[0] = time.monotonic()  # the lease is counted from before the call
            if levels.plain and not (levels.looks_for_subs and levels.found_sub()):
                got = dequeue(lease_ms)
                return None if got is None else Taken(q, got, 0, None, got[3])
            many = levels.take(1, lease_ms)
            return many[0] if many else None

        handled = 0
        run_one = self.run_one
        while not stop.is_set():
            if max_messages is not None and handled >= max_messages:
                break
            if levels.plain and not (levels.looks_for_subs and levels.found_sub()):
                # A message ready now in a plain queue: no waiting plan, no Taken.
                leased_at = time.monotonic()
                got = dequeue(lease_ms)
                if got is not None:
                    run_one(got, leased_at, q)
                    handled += 1
                    continue
            try:
                msg = take() or wait_for(
                    q, take, idle_exit_s if idle_exit_s is not None else 1.0,
                    watcher=watcher, should_stop=stop.is_set)
            except TimeoutError:
                # A live holder (stopped, or stuck on a disk) kept the
                # process lock for 30 s; a dead one would have been taken
                # over. Say so and keep waiting rather than die.
                log.warning("process lock of %s not obtained within 30 s (%s); still "
                            "waiting", self.queue_dir, lock_holder_text(self.queue_dir))
                continue
            if msg is None:
                if idle_exit_s is not None and not stop.is_set():
                    break
                continue
            if stop.is_set():  # stopped while dequeuing: give it back
                msg.core.nack(msg.delivered[0])
                break
            run_one(msg.delivered, stamp[0], msg.core)
            handled += 1

    def close(self) -> None:
        """Lets go of the worker's watcher and renewal thread (run() must
        have returned); the queue itself closes with the last reference."""
        if self._watcher is not None:
            self._watcher.close()
        self.leases.close()
        self.levels.close()
