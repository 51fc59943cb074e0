"""Waiting for a message: the one plan that the worker, `ferrow_tools.Queue`
and `ferrow_tools.aio.Queue` follow, and the things they wait on.

`waiting_plan` decides when to try a dequeue and how long to pause between
empty ones (1 ms doubling to a cap, or one blocking wait on a server that
can be woken); it does no I/O itself, so a blocking caller
(`wait_for_message`) and an asyncio caller drive the same decisions with
their own calls.

What a local pause waits on: a `QueueWatcher` (inotify on the queue
directory, woken by every process's appends) or a `Doorbell` (a pipe that
the process's own puts ring, for ":memory:", which no other process sees).
Both expose a descriptor that an event loop can watch.
"""
from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import errno
import functools
import os
import select
import threading
import time
from types import TracebackType
from typing import (TYPE_CHECKING, Any, Callable, Generator, Iterator, Optional, Protocol, Tuple,
                    Type, TypeVar, Union)

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue

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

T = TypeVar("T")

# What the plan yields: None asks for a dequeue (its result is sent back);
# a float asks for a pause of that many seconds (None is sent back).
Step = Optional[float]
Plan = Generator[Step, Optional[T], Optional[T]]


def waiting_plan(timeout: Optional[float], blocks_on_server: bool,
                 should_stop: Optional[Callable[[], bool]] = None,
                 max_backoff_s: float = BACKOFF_CAP_S) -> Plan[T]:
    """Tries a dequeue, then pauses, until one returns something (which the
    plan returns), `timeout` seconds pass (None: no limit) or `should_stop()`
    becomes true (the plan returns None). A server that blocks until it is
    woken gets one long pause each time; otherwise the pauses start at 1 ms
    and double up to `max_backoff_s`, for a waker that may never come (a
    lease lapses without any write)."""
    deadline = None if timeout is None else time.monotonic() + timeout
    delay = BACKOFF_START_S
    while True:
        got = yield None
        if got:
            return got
        if should_stop is not None and should_stop():
            return None
        now = time.monotonic()
        if deadline is not None and now >= deadline:
            return None
        if blocks_on_server:
            yield BLOCK_CAP_S if deadline is None else deadline - now
            continue
        yield delay if deadline is None else min(delay, deadline - now)
        delay = min(delay * 2, max_backoff_s)


def follow(plan: Plan[T], take: Callable[[], Optional[T]],
           pause: Callable[[float], object]) -> Optional[T]:
    """Runs a plan with blocking calls."""
    try:
        step = next(plan)
        while True:
            if step is None:
                step = plan.send(take())
            else:
                pause(step)
                step = plan.send(None)
    except StopIteration as done:
        return done.value  # type: ignore[no-any-return]


class Waker(Protocol):
    """Something a local pause can wait on (see QueueWatcher, Doorbell)."""

    @property
    def fd(self) -> int: ...

    def wait(self, timeout_s: float) -> bool: ...

    def drain(self) -> None: ...

    def close(self) -> None: ...


def _drain(fd: int) -> None:
    while True:
        try:
            if not os.read(fd, 65536):
                return
        except BlockingIOError:
            return
        except OSError as exc:
            if exc.errno == errno.EINTR:
                continue
            return


def _wait_readable(fd: int, timeout_s: float) -> bool:
    if fd < 0:
        time.sleep(max(timeout_s, 0.0))
        return False
    readable, _, _ = select.select([fd], [], [], max(timeout_s, 0.0))
    if not readable:
        return False
    _drain(fd)
    return True


@functools.lru_cache(maxsize=None)
def _inotify() -> Optional[Tuple[Any, Any]]:
    """libc's inotify_init1 and inotify_add_watch, looked up once: finding
    libc runs ldconfig, which costs milliseconds, and every blocking get
    that waits on a directory makes a watcher."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        init1 = libc.inotify_init1
        add_watch = libc.inotify_add_watch
    except (OSError, AttributeError):
        return None
    init1.argtypes = [ctypes.c_int]
    init1.restype = ctypes.c_int
    add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
    add_watch.restype = ctypes.c_int
    return init1, add_watch


class QueueWatcher:
    """inotify on a queue directory (writes to, and renames onto, its files).
    `available` is False where inotify cannot be used; `wait` then just sleeps."""

    def __init__(self, queue_dir: str) -> None:
        self.fd = -1
        calls = _inotify()
        if calls is None:
            return
        init1, add_watch = calls
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
        return _wait_readable(self.fd, timeout_s)

    def drain(self) -> None:
        if self.fd >= 0:
            _drain(self.fd)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self) -> "QueueWatcher":
        return self

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()


class Doorbell:
    """A pipe that `ring` makes readable: the waker of a queue that only this
    process sees (":memory:"). It rings only while someone listens (see
    `listening`): a put costs no system call when nobody waits."""

    def __init__(self) -> None:
        self.fd, self._write_fd = os.pipe()
        for fd in (self.fd, self._write_fd):
            os.set_blocking(fd, False)
        self.listeners = 0
        self._count_lock = threading.Lock()

    available = True

    @contextlib.contextmanager
    def listening(self) -> Iterator[None]:
        """Marks a wait on the bell. A waiter enters before its first
        dequeue: a put after that dequeue finds it listening and rings."""
        with self._count_lock:
            self.listeners += 1
        try:
            yield
        finally:
            with self._count_lock:
                self.listeners -= 1

    def ring(self) -> None:
        if not self.listeners:
            return
        try:
            os.write(self._write_fd, b"\0")
        except BlockingIOError:
            pass  # full: a waiter will wake anyway
        except OSError:
            pass  # closed meanwhile: nobody is left to wake

    def wait(self, timeout_s: float) -> bool:
        return _wait_readable(self.fd, timeout_s)

    def drain(self) -> None:
        _drain(self.fd)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            os.close(self._write_fd)
            self.fd = self._write_fd = -1


def wait_for(q: FerrowQueue, take: Callable[[], Optional[T]], timeout: Optional[float],
             queue_dir: Optional[str] = None, watcher: Optional[Waker] = None,
             should_stop: Optional[Callable[[], bool]] = None,
             max_backoff_s: float = BACKOFF_CAP_S) -> Optional[T]:
    """Calls `take()` (a dequeue of some kind) until it returns something,
    pausing as `waiting_plan` says: on the server for a queue that can block
    there (a Redis queue), else on `watcher` (or inotify on `queue_dir`),
    else asleep."""
    server_wait: Optional[Callable[[float], None]] = getattr(q, "wait_until_ready", None)
    own = None
    if (server_wait is None and watcher is None and queue_dir is not None
            and queue_dir != ":memory:"):
        own = watcher = QueueWatcher(queue_dir)
    pause: Callable[[float], object] = (server_wait if server_wait is not None
                                        else watcher.wait if watcher is not None
                                        else time.sleep)
    plan: Plan[T] = waiting_plan(timeout, server_wait is not None, should_stop, max_backoff_s)
    try:
        return follow(plan, take, pause)
    finally:
        if own is not None:
            own.close()


def wait_for_message(q: FerrowQueue, timeout: Optional[float],
                     lease_ms: Optional[int] = None, queue_dir: Optional[str] = None,
                     watcher: Optional[Union[QueueWatcher, Waker]] = None,
                     should_stop: Optional[Callable[[], bool]] = None,
                     max_backoff_s: float = BACKOFF_CAP_S) -> Optional[DeliveredMessage]:
    """Dequeues a message, waiting up to `timeout` seconds (None: no limit)
    for one. Between empty dequeues it waits 1 ms doubling to `max_backoff_s`
    (100 ms), woken early by inotify on `queue_dir` (or the given watcher). A
    queue that can block on its server (a Redis queue) waits there instead,
    and is woken by enqueues, hand-backs and the earliest lease deadline.
    Returns None on timeout or when `should_stop()` becomes true."""
    return wait_for(q, lambda: q.dequeue(lease_ms), timeout, queue_dir, watcher, should_stop,
                    max_backoff_s)
