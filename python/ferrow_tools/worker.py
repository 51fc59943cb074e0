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

Dead letters are copied to `dead_letter_target(target)` in the format of
`ferrow_tools.deadletter`, then acknowledged in the main queue. Copy-then-ack
is at least once: a crash between the two leaves the message in both queues
(it will be delivered again from the main queue and dead-lettered again).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import errno
import logging
import os
import random
import select
import signal
import threading
import time
from types import FrameType, TracebackType
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Type, Union

from .deadletter import encode
from .targets import Target, dead_letter_target, is_redis, open_queue, target_text

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue

__all__ = ["LeaseLost", "RetryPolicy", "QueueWatcher", "wait_for_message", "keep_lease",
           "move_to_dead_letter", "Worker", "WorkerStats"]

log = logging.getLogger("ferrow_tools.worker")

BACKOFF_START_S = 0.001
BACKOFF_CAP_S = 0.100
# A wait on the server returns at least this often to look at should_stop.
BLOCK_CAP_S = 0.5

# inotify constants (linux/inotify.h)
_IN_MODIFY = 0x00000002
_IN_CLOSE_WRITE = 0x00000008
_IN_MOVED_TO = 0x00000080
_IN_CREATE = 0x00000100
_IN_NONBLOCK = 0o4000
_IN_CLOEXEC = 0o2000000


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


class QueueWatcher:
    """inotify on a queue directory (writes to, and renames onto, its files).
    `available` is False where inotify cannot be used; `wait` then just sleeps."""

    def __init__(self, queue_dir: str) -> None:
        self.fd = -1
        try:
            libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
            init1 = libc.inotify_init1
            add_watch = libc.inotify_add_watch
        except (OSError, AttributeError):
            return
        init1.argtypes = [ctypes.c_int]
        init1.restype = ctypes.c_int
        add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
        add_watch.restype = ctypes.c_int
        fd = init1(_IN_NONBLOCK | _IN_CLOEXEC)
        if fd < 0:
            return
        mask = _IN_MODIFY | _IN_CLOSE_WRITE | _IN_MOVED_TO | _IN_CREATE
        if add_watch(fd, os.fsencode(queue_dir), mask) < 0:
            os.close(fd)
            return
        self.fd = fd

    @property
    def available(self) -> bool:
        return self.fd >= 0

    def wait(self, timeout_s: float) -> bool:
        """Waits up to timeout_s for an event; True if one came (all pending
        events are consumed)."""
        if self.fd < 0:
            time.sleep(max(timeout_s, 0.0))
            return False
        readable, _, _ = select.select([self.fd], [], [], max(timeout_s, 0.0))
        if not readable:
            return False
        self.drain()
        return True

    def drain(self) -> None:
        while self.fd >= 0:
            try:
                if not os.read(self.fd, 65536):
                    return
            except BlockingIOError:
                return
            except OSError as exc:
                if exc.errno == errno.EINTR:
                    continue
                return

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self) -> "QueueWatcher":
        return self

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()


def wait_for_message(q: FerrowQueue, timeout: Optional[float],
                     lease_ms: Optional[int] = None, queue_dir: Optional[str] = None,
                     watcher: Optional[QueueWatcher] = None,
                     should_stop: Optional[Callable[[], bool]] = None,
                     max_backoff_s: float = BACKOFF_CAP_S) -> Optional[DeliveredMessage]:
    """Dequeues a message, waiting up to `timeout` seconds (None: no limit)
    for one. Between empty dequeues it waits 1 ms doubling to `max_backoff_s`
    (100 ms), woken
    early by inotify on `queue_dir` (or the given watcher). A queue that can
    block on its server (a Redis queue) waits there instead, and is woken by
    enqueues, hand-backs and the earliest lease deadline. Returns None on
    timeout or when `should_stop()` becomes true."""
    deadline = None if timeout is None else time.monotonic() + timeout
    server_wait: Optional[Callable[[float], None]] = getattr(q, "wait_until_ready", None)
    own = None
    if (server_wait is None and watcher is None and queue_dir is not None
            and queue_dir != ":memory:"):
        own = watcher = QueueWatcher(queue_dir)
    try:
        delay = BACKOFF_START_S
        while True:
            msg = q.dequeue(lease_ms)
            if msg is not None:
                return msg
            if should_stop is not None and should_stop():
                return None
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                return None
            if server_wait is not None:
                server_wait(BLOCK_CAP_S if deadline is None else deadline - now)
                continue
            pause = delay if deadline is None else min(delay, deadline - now)
            if watcher is not None:
                watcher.wait(pause)
            else:
                time.sleep(pause)
            delay = min(delay * 2, max_backoff_s)
    finally:
        if own is not None:
            own.close()


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
    done: "acked", "retry", "dead", "lost", "handed_back".
    """

    def __init__(self, q: FerrowQueue, message: DeliveredMessage, lease_ms: int,
                 renew_fraction: float = 0.5, max_total_ms: Optional[int] = None,
                 retry: Optional[RetryPolicy] = None, max_deliveries: Optional[int] = None,
                 dead: Optional[FerrowQueue] = None) -> None:
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
        # The lease was granted no earlier than now: a conservative deadline.
        self._deadline = time.monotonic() + lease_ms / 1000.0
        self._start = time.monotonic()

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
        with self._lock:
            if self._done:
                return False
            self._done = True
            self.outcome = "handed_back"
            if self._expired():
                self._mark_lost("lease ran out before hand-back")
                return False
            return self.q.nack(self.seq)

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


class WorkerStats:
    def __init__(self) -> None:
        self.counts: Dict[str, int] = {"acked": 0, "retry": 0, "dead": 0, "lost": 0,
                                       "handed_back": 0}
        self.seen: List[int] = []

    def __repr__(self) -> str:
        return f"WorkerStats({self.counts}, messages={len(self.seen)})"


_Handler = Callable[["DeliveredMessage"], None]


def lock_holder_text(queue_dir: str) -> str:
    from .lock_file import read_holder

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
    worker can keep that promise."""

    def __init__(self, target: Target, handler: _Handler, lease_ms: int = 30_000,
                 max_deliveries: int = 5, retry: Optional[RetryPolicy] = None,
                 grace_s: Optional[float] = 10.0, renew_fraction: float = 0.5,
                 max_total_ms: Optional[int] = None) -> None:
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

    def run_one(self, message: DeliveredMessage) -> str:
        keeper = keep_lease(self.q, message, self.lease_ms, self.renew_fraction,
                            self.max_total_ms, self.retry, self.max_deliveries, self.dead)

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
        # A Redis queue waits on its server; a directory is watched.
        watcher = None if is_redis(self.queue_dir) else QueueWatcher(self.queue_dir)
        try:
            handled = 0
            while not self._stop.is_set():
                if max_messages is not None and handled >= max_messages:
                    break
                try:
                    msg = wait_for_message(self.q,
                                           idle_exit_s if idle_exit_s is not None else 1.0,
                                           self.lease_ms, watcher=watcher,
                                           should_stop=self._stop.is_set)
                except TimeoutError:
                    # A live holder (stopped, or stuck on a disk) kept the
                    # process lock for 30 s; a dead one would have been taken
                    # over. Say so and keep waiting rather than die.
                    log.warning("process lock of %s not obtained within 30 s (%s); still "
                                "waiting", self.queue_dir, lock_holder_text(self.queue_dir))
                    continue
                if msg is None:
                    if idle_exit_s is not None and not self._stop.is_set():
                        break
                    continue
                if self._stop.is_set():  # stopped while dequeuing: give it back
                    self.q.nack(msg[0])
                    break
                self.run_one(msg)
                handled += 1
        finally:
            if watcher is not None:
                watcher.close()
            for signum, previous in old.items():
                signal.signal(signum, previous)
        return self.stats
