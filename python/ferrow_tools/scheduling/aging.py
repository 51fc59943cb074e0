"""The order in which a get looks at the levels of a queue: higher first,
with aging so that no level waits for ever.

The rule, kept per reader (each `Queue` object, worker or consumer):

- A level is *overdue* when this reader has not looked at it for `aging_ms`
  (a look is a dequeue there, whatever it found), and *stale* when the last
  message this reader got from it had been ready for `aging_ms` or longer.
- A get looks first at the overdue and stale levels, the one looked at
  longest ago first, then at the others from the highest level down.

So under a steady stream of higher-level messages, every lower level is
looked at within `aging_ms` of the last look; its message that has been
ready for `aging_ms` is served then, and while the messages it yields are
that old, the level keeps its turn ahead of the younger messages above it.
A message that has been ready for `aging_ms` is thereby served before any
younger message of a higher level, once every reader that serves its queue
has made one more get after `aging_ms`.
"""
from __future__ import annotations

import threading
import time
from typing import List, Optional

DEFAULT_AGING_S = 5.0


class LevelOrder:
    def __init__(self, levels: int, aging_ms: int) -> None:
        self.levels = levels
        self.aging_s = aging_ms / 1000.0
        self.aging_ms = aging_ms
        now = time.monotonic()
        self._last_look = [now] * levels
        self._stale = [False] * levels
        self._lock = threading.Lock()

    def order(self) -> List[int]:
        """The levels, in the order a get looks at them now."""
        if self.levels == 1:
            return [0]
        now = time.monotonic()
        with self._lock:
            urgent = [level for level in range(self.levels)
                      if self._stale[level] or now - self._last_look[level] >= self.aging_s]
            urgent.sort(key=lambda level: self._last_look[level])
            rest = [level for level in range(self.levels - 1, -1, -1) if level not in urgent]
        return urgent + rest

    def looked(self, level: int, waited_ms: Optional[int]) -> None:
        """Notes a look at `level`: `waited_ms` is how long the message it
        yielded had been ready, None when it yielded none."""
        with self._lock:
            self._last_look[level] = time.monotonic()
            self._stale[level] = waited_ms is not None and waited_ms >= self.aging_ms
