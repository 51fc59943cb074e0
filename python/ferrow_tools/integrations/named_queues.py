"""The queues of a task framework by name, under one base target.

A framework names its queues ("celery", "default.DQ", ...); the base is a
directory, whose queue NAME is the directory BASE/NAME, or a Redis URL
without a queue, whose queue NAME is the Redis queue of that name on the same
servers. `NamedQueues` opens each queue once per process, with its levels (delays,
priorities and expiry, `ferrow_tools.scheduling`), and waits for any of
several to be worth a look: through inotify on directories and their
sub-queues, until the next delayed message is due; on the server for one
Redis queue.
"""
from __future__ import annotations

import os
import select
import threading
from typing import TYPE_CHECKING, Dict, List, Optional

from ..redis.url import check_queue_name
from ..scheduling import Levels, SchedulingOptions, open_levels
from ..scheduling.waking import LevelWatcher, capped
from ..targets import dead_letter_target, is_redis, open_queue, target_text

if TYPE_CHECKING:
    from ferrow import FerrowQueue

__all__ = ["NamedQueues", "queue_target", "check_base"]

# How often a wait looks again when nothing can wake it (several Redis queues).
POLL_S = 0.05


def check_base(base: str) -> str:
    """`base` if it can hold named queues: a directory or a Redis URL (which
    must not name a queue); ValueError saying so for anything else."""
    target_text(base)
    if is_redis(base) and "queue=" in base.partition("?")[2]:
        raise ValueError("the Redis URL of named queues takes no queue parameter: each queue "
                         "is the Redis queue of its own name")
    return base


def queue_target(base: str, name: str) -> str:
    """The target of queue `name`: a directory below `base`, or the Redis
    queue `name` on the servers of `base`."""
    if is_redis(base):
        return "{}{}queue={}".format(base, "&" if "?" in base else "?", check_queue_name(name))
    if not name or name in (".", "..") or "/" in name or "\0" in name:
        raise ValueError("a queue in a directory needs a name that is a plain file name, "
                         "not {!r}".format(name))
    return os.path.join(base, name)


class NamedQueues:
    """Queues opened by name (or target) once, with `lease_ms` as their
    default lease and the given fsync policy."""

    def __init__(self, base: str, lease_ms: int, sync_interval_ms: Optional[int] = None,
                 scheduling: Optional[SchedulingOptions] = None) -> None:
        self.base = check_base(base)
        self.lease_ms = lease_ms
        self.sync_interval_ms = sync_interval_ms
        self.scheduling = scheduling if scheduling is not None else SchedulingOptions()
        # Queues opened with options of their own, by target.
        self._schedulings: Dict[str, SchedulingOptions] = {}
        self._queues: Dict[str, FerrowQueue] = {}
        self._levels: Dict[int, Levels] = {}  # by id of the plain queue object
        # inotify on each queue directory and its sub-queues, by id of its queue object.
        self._watchers: Dict[int, LevelWatcher] = {}
        self._lock = threading.Lock()

    def target(self, name: str) -> str:
        return queue_target(self.base, name)

    def __getitem__(self, name: str) -> FerrowQueue:
        return self.at(self.target(name))

    def at(self, target: str) -> FerrowQueue:
        with self._lock:
            q = self._queues.get(target)
            if q is None:
                q = self._queues[target] = open_queue(target, self.sync_interval_ms,
                                                      self.lease_ms)
                levels = self._levels[id(q)] = open_levels(
                    target, q, self._schedulings.get(target, self.scheduling),
                    lambda: self.at(dead_letter_target(target)),
                    sync_interval_ms=self.sync_interval_ms, default_lease_ms=self.lease_ms)
                if not is_redis(target):
                    self._watchers[id(q)] = LevelWatcher(levels.watched_dirs,
                                                         levels.next_due_ms)
            return q

    def set_scheduling(self, name: str, scheduling: SchedulingOptions) -> None:
        """Queue `name` is opened with these options from its next opening on."""
        with self._lock:
            self._schedulings[self.target(name)] = scheduling

    def forget(self, name: str) -> None:
        """Drops queue `name` as opened here (it was deleted, or made anew by
        another process): its next use opens it again."""
        with self._lock:
            q = self._queues.pop(self.target(name), None)
            watcher = None if q is None else self._watchers.pop(id(q), None)
            levels = None if q is None else self._levels.pop(id(q), None)
        if watcher is not None:
            watcher.close()
        if levels is not None:
            levels.close()

    def levels(self, name: str) -> Levels:
        """The levels of queue `name`: puts with a delay, priority or ttl,
        and gets across them (see `ferrow_tools.scheduling`)."""
        return self.levels_of(self[name])

    def levels_of(self, q: FerrowQueue) -> Levels:
        """The levels of a queue that `at` opened."""
        with self._lock:
            return self._levels[id(q)]

    def wait(self, queues: List[FerrowQueue], timeout: float,
             wakeup: Optional[threading.Event] = None) -> None:
        """Sleeps until one of `queues` may have a message ready, `wakeup`
        is set, or `timeout` seconds pass. A wake-up promises nothing."""
        if not queues:
            if wakeup is not None:
                wakeup.wait(timeout)
            return
        with self._lock:
            watchers = [w for w in (self._watchers.get(id(q)) for q in queues)
                        if w is not None and w.available]
            dues = [self._levels[id(q)].next_due_ms for q in queues if id(q) in self._levels]
        for next_due in dues:  # a delayed message that comes due ends the wait
            timeout = capped(timeout, next_due)
        for watcher in watchers:
            watcher.watch_new()
        server_wait = getattr(queues[0], "wait_until_ready", None)
        if server_wait is not None and len(queues) == 1:
            server_wait(timeout)
        elif len(watchers) == len(queues):
            ready, _, _ = select.select([w.fd for w in watchers], [], [], timeout)
            for watcher in watchers:
                if watcher.fd in ready:
                    watcher.drain()
        elif wakeup is not None:
            wakeup.wait(min(timeout, POLL_S))
        else:
            threading.Event().wait(min(timeout, POLL_S))

    def close(self) -> None:
        with self._lock:
            for watcher in self._watchers.values():
                watcher.close()
            self._watchers.clear()
            for levels in self._levels.values():
                levels.close()
            self._levels.clear()
