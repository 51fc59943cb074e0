"""Waiting on a queue with sub-queues: woken by a write to any of them (or,
for a new sub-queue, by its creation beside the queue), and at the latest
when the next held message comes due, which the sub-queues' logs tell. So a
waiting get wakes at the due time without looking in between."""
from __future__ import annotations

import os
import select
import time
from typing import Callable, List, Optional, Set

from ..waiting import (_IN_CLOEXEC, _IN_CLOSE_WRITE, _IN_CREATE, _IN_MODIFY, _IN_MOVED_TO,
                       _IN_NONBLOCK, Doorbell, _drain, _inotify)
from .times import now_ms

NextDue = Callable[[], Optional[int]]


def capped(seconds: float, next_due: NextDue) -> float:
    """`seconds`, shortened to end when the next held message comes due."""
    due = next_due()
    if due is None:
        return seconds
    return max(0.0, min(seconds, (due - now_ms()) / 1000.0))


class LevelWatcher:
    """inotify on every directory `dirs()` names (asked again before each
    wait, as sub-queues appear), or the doorbell of a queue in memory; waits
    end by `next_due()` at the latest."""

    def __init__(self, dirs: Callable[[], List[str]], next_due: NextDue,
                 bell: Optional[Doorbell] = None) -> None:
        self._dirs = dirs
        self._next_due = next_due
        self._bell = bell
        self._watched: Set[str] = set()
        self._fd = -1
        if bell is None:
            calls = _inotify()
            if calls is not None:
                self._fd = calls[0](_IN_NONBLOCK | _IN_CLOEXEC)
        self.watch_new()

    @property
    def fd(self) -> int:
        return self._bell.fd if self._bell is not None else self._fd

    @property
    def available(self) -> bool:
        return self.fd >= 0

    def watch_new(self) -> None:
        """Adds watches for the directories that appeared since."""
        calls = _inotify()
        if self._fd < 0 or calls is None:
            return
        mask = _IN_MODIFY | _IN_CLOSE_WRITE | _IN_MOVED_TO | _IN_CREATE
        for path in self._dirs():
            if path not in self._watched and calls[1](self._fd, os.fsencode(path), mask) >= 0:
                self._watched.add(path)

    def wait(self, timeout_s: float) -> bool:
        self.watch_new()
        timeout_s = capped(timeout_s, self._next_due)
        fd = self.fd
        if fd < 0:
            time.sleep(timeout_s)
            return False
        readable, _, _ = select.select([fd], [], [], timeout_s)
        if not readable:
            return False
        _drain(fd)
        return True

    def drain(self) -> None:
        if self.fd >= 0:
            _drain(self.fd)

    def close(self) -> None:
        # The doorbell belongs to its queue, which closes it.
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
