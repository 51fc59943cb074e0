"""Delays, priorities and expiry on a directory or ":memory:", over plain
`FerrowCore` queues.

Storage: plain messages (no option, or priority 0 alone) stay in the queue
itself. A scheduled message of level L goes to the sub-queue of level L
(NAME.pL beside a directory, an in-process queue for ":memory:"), sealed in
an envelope that carries its due time and expiry (`envelope.py`).

Delays use the engine's own timer, the lease: the first reader that
dequeues a message that is not due yet extends its lease to the due time
and goes on. A held message is in the sub-queue's log with its deadline, so
it comes due whatever happens to the processes meanwhile; at the deadline
the engine hands it back, ready, with its old id, and the next get delivers
it. A delayed message thus costs three records more than a plain one: the
lease and extension of the hold and the engine's hand-back.

Expiry is checked when a message is dequeued: an expired one is dropped
(a Dead record: counted in the sub-queue's `dead_total`) or, with
expired="dead", moved to the queue's dead letters with the reason "expired".
"""
from __future__ import annotations

import os
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple, Union, cast

import ferrow

from ..leases import move_to_dead_letter
from . import envelope
from .aging import LevelOrder
from .follower import LogFollower, TrackedCore
from .naming import level_dir
from .taken import Taken
from .times import now_ms

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue, FerrowStats

MEMORY = ":memory:"
# How long a plain reader goes without looking for a new level 0 sub-queue:
# what it adds to the latency of the first scheduled message of a queue.
LOOK_AGAIN_S = 0.05


COUNTS = ("ready", "in_flight", "total", "enqueued_total", "acked_total", "requeued_total",
          "dead_total", "live_bytes", "log_bytes")


def add_counts(stats: FerrowStats, more: FerrowStats) -> None:
    for key in COUNTS:
        stats[key] += more[key]  # type: ignore[literal-required]


class SubQueue:
    """The sub-queue of one level, with what is known of it without a call."""

    def __init__(self, level: int, core: FerrowQueue, index: Union[LogFollower, TrackedCore],
                 path: Optional[str]) -> None:
        self.level = level
        self.core = core
        self.index = index
        self.path = path


class LocalLevels:
    """The levels of the local queue `target` (whose plain queue is `main`);
    `open_options` are those its sub-queues are opened with."""

    def __init__(self, target: str, main: FerrowQueue, priorities: int, aging_ms: int,
                 dead: Callable[[], FerrowQueue], expired_to_dead: bool,
                 open_options: Dict[str, Any]) -> None:
        self.target = target
        self.main = main
        self.priorities = priorities
        self.memory = target == MEMORY
        self.order = LevelOrder(priorities, aging_ms)
        self._dead = dead
        self.expired_to_dead = expired_to_dead
        self._options = open_options
        self._subs: Dict[int, SubQueue] = {}
        self._opening = threading.Lock()
        self._plain_first = False
        self._look_again = 0.0
        # True while the queue has no sub-queue: a get is the plain queue's
        # dequeue, as it always was. Plain attributes, read before every get.
        self.plain = priorities == 1
        # Whether a plain reader looks for a sub-queue that others may make.
        self.looks_for_subs = self.plain and not self.memory
        # Levels above 0 exist from the start on a directory, so that every
        # reader watches them; level 0's sub-queue only once something needs it.
        if not self.memory:
            for level in range(1, priorities):
                self.sub(level, create=True)

    # -- sub-queues -------------------------------------------------------

    def sub(self, level: int, create: bool) -> Optional[SubQueue]:
        found = self._subs.get(level)
        if found is not None:
            return found
        with self._opening:  # threads sharing the queue object open it once
            return self._open_sub(level, create)

    def _open_sub(self, level: int, create: bool) -> Optional[SubQueue]:
        found = self._subs.get(level)
        if found is not None:
            return found
        if self.memory:
            if not create:
                return None
            lease = self._options.get("default_lease_ms")
            tracked = TrackedCore(ferrow.FerrowCore(MEMORY, **self._core_options()),
                                  None if lease is None else int(lease))
            found = SubQueue(level, cast("FerrowQueue", tracked), tracked, None)
        else:
            path = level_dir(self.target, level)
            if not create and not os.path.isdir(path):
                return None
            found = SubQueue(level, ferrow.FerrowCore(path, **self._core_options()),
                             LogFollower(path), path)
        self._subs[level] = found
        self.plain = self.looks_for_subs = False
        return found

    def _core_options(self) -> Dict[str, Any]:
        return {k: self._options[k] for k in ("sync_interval_ms", "default_lease_ms",
                                               "auto_compact_bytes") if k in self._options}

    def found_sub(self) -> bool:
        """Whether level 0's sub-queue appeared (another process made the
        directory); looked for at most every LOOK_AGAIN_S, since a look costs
        a plain get a sixth of its time. Asked before every plain get while
        `looks_for_subs`."""
        now = time.monotonic()
        if now < self._look_again:
            return False
        self._look_again = now + LOOK_AGAIN_S
        return self.sub(0, create=False) is not None

    def sub_queues(self) -> List[SubQueue]:
        """The sub-queues there are (level 0's looked for if not open yet)."""
        self.sub(0, create=False)
        return [self._subs[level] for level in sorted(self._subs)]

    def watched_dirs(self) -> List[str]:
        """What a waiting reader watches: the queue, its sub-queues, and the
        directory above, where new sub-queues appear."""
        if self.memory:
            return []
        dirs = [self.target] + [s.path for s in self.sub_queues() if s.path is not None]
        return dirs + [os.path.dirname(os.path.abspath(self.target))]

    # -- putting ----------------------------------------------------------

    def put(self, bodies: List[bytes], delay_ms: Optional[int], level: Optional[int],
            ttl_ms: Optional[int]) -> List[int]:
        """Puts `bodies` with the options; a put without any goes to the
        plain queue as it always did."""
        if not delay_ms and ttl_ms is None and not level:
            return self.main.enqueue_batch(bodies) if len(bodies) != 1 else [
                self.main.enqueue(bodies[0])]
        sub = self.sub(level or 0, create=True)
        assert sub is not None
        now = now_ms()
        # The clock reads whole milliseconds, rounded down: one more keeps
        # the due time from falling a fraction of one before put + delay.
        due = now + 1 + delay_ms if delay_ms else 0
        expires = now + ttl_ms if ttl_ms is not None else 0
        sealed = [envelope.seal(bytes(b), due, expires) for b in bodies]
        seqs = (sub.core.enqueue_batch(sealed) if len(sealed) != 1
                else [sub.core.enqueue(sealed[0])])
        if self.memory:  # no log to read it from
            for seq in seqs:
                sub.index.facts.enqueued(seq, due)
        return seqs

    # -- taking -----------------------------------------------------------

    def _sources(self, level: int) -> List[Tuple[FerrowQueue, Optional[SubQueue]]]:
        sub = self.sub(level, create=False)
        sources: List[Tuple[FerrowQueue, Optional[SubQueue]]] = []
        if sub is not None:
            sources.append((sub.core, sub))
        if level == 0:
            # Level 0 has two stores whose ids do not compare: the plain
            # queue and its sub-queue take turns at being looked at first.
            self._plain_first = not self._plain_first
            sources.insert(0 if self._plain_first else len(sources), (self.main, None))
        return sources

    def take(self, max_count: int, lease_ms: int) -> List[Taken]:
        """Leases up to `max_count` deliverable messages, looking at the levels
        in the order of `LevelOrder`; holds what is not due yet and drops (or
        dead-letters) what expired on the way. Nothing ready costs at most one
        call per level: a sub-queue whose log shows nothing ready is skipped."""
        out: List[Taken] = []
        for level in self.order.order():
            waited: Optional[int] = None
            for core, sub in self._sources(level):
                if sub is not None and not sub.index.refresh().has_ready(now_ms()):
                    continue
                first = self._drain(level, core, sub, max_count - len(out), lease_ms, out)
                if waited is None:
                    waited = first
                if len(out) >= max_count:
                    break
            self.order.looked(level, waited)
            if len(out) >= max_count:
                break
        return out

    def _drain(self, level: int, core: FerrowQueue, sub: Optional[SubQueue], want: int,
               lease_ms: int, out: List[Taken]) -> Optional[int]:
        """Takes from one source until `want` are delivered or it has nothing
        ready; returns how long the first one delivered had been ready (ms)."""
        waited: Optional[int] = None
        while want > 0:
            asked = want
            batch: List[DeliveredMessage]
            if asked == 1:
                one = core.dequeue(lease_ms)
                batch = [] if one is None else [one]
            else:
                batch = core.dequeue_batch(asked, lease_ms)
            kept_back = False
            for message in batch:
                taken = self._deliverable(level, core, sub, message)
                if taken is None:
                    kept_back = True
                    continue
                if waited is None:
                    waited = max(0, now_ms() - taken.ready_since_ms)
                out.append(taken)
                want -= 1
            if len(batch) < asked and not kept_back:
                break  # all that was ready came: look no further here
        return waited

    def _deliverable(self, level: int, core: FerrowQueue, sub: Optional[SubQueue],
                     message: DeliveredMessage) -> Optional[Taken]:
        """The message to deliver, or None when it is kept back: held until it
        is due, or expired."""
        seq, data, deliveries, enqueued_ts_ms = message
        if sub is None:
            return Taken(core, message, level, None, enqueued_ts_ms)
        opened = envelope.open_envelope(data)
        now = now_ms()
        if opened.expires_ms and opened.expires_ms <= max(now, opened.due_ms):
            self._expire(core, (seq, opened.body, deliveries - (1 if opened.due_ms else 0),
                                enqueued_ts_ms))
            return None
        if opened.due_ms:
            # Every delayed message is held once before it is delivered (for
            # no time if it was due already), so that its lease count is
            # always its deliveries plus one, whoever saw the hold.
            if opened.due_ms > now or deliveries == 1:
                hold_ms = max(opened.due_ms - now, 0)
                core.extend_lease(seq, hold_ms)
                return None
            deliveries -= 1
        return Taken(core, (seq, opened.body, deliveries, enqueued_ts_ms), level,
                     opened.expires_ms or None, max(enqueued_ts_ms, opened.due_ms))

    def _expire(self, core: FerrowQueue, message: DeliveredMessage) -> None:
        if self.expired_to_dead:
            move_to_dead_letter(core, self._dead(), message, "expired")
        else:
            core.nack(message[0], False)

    # -- counting ---------------------------------------------------------

    def available(self) -> int:
        """Messages ready now; delayed ones are not, held or not."""
        total = self.main.available()
        for sub in self.sub_queues():
            not_due, _ = sub.index.refresh().delayed(now_ms())
            total += sub.core.available() - not_due
        return total

    def stats(self) -> FerrowStats:
        """The plain queue's stats with its sub-queues' counts added in. A
        message not due yet is neither ready nor in flight, as on Redis:
        it counts in `total` alone."""
        stats = self.main.stats()
        for sub in self.sub_queues():
            more = sub.core.stats()
            not_due, held = sub.index.refresh().delayed(now_ms())
            more["ready"] -= not_due
            more["in_flight"] -= held
            add_counts(stats, more)
        return stats

    # -- waiting ----------------------------------------------------------

    def next_due_ms(self) -> Optional[int]:
        """When the next held message comes due (wall clock ms), if known."""
        now = now_ms()
        dues = [d for d in (s.index.refresh().next_deadline_after(now)
                            for s in self.sub_queues()) if d is not None]
        return min(dues) if dues else None

    def close(self) -> None:
        """Forces what the sub-queues hold to disk and lets go of them; the
        first failure is raised once all are let go of."""
        subs, self._subs = list(self._subs.values()), {}
        failure: Optional[OSError] = None
        for sub in subs:
            sub.index.close()
            try:
                sub.core.flush()
            except OSError as exc:
                failure = failure or exc
        if failure is not None:
            raise failure

    # -- the same for an asyncio queue: local calls run inline -------------

    async def put_async(self, calls: Any, bodies: List[bytes], delay_ms: Optional[int],
                        level: Optional[int], ttl_ms: Optional[int]) -> List[int]:
        return self.put(bodies, delay_ms, level, ttl_ms)

    async def take_async(self, calls: Any, max_count: int, lease_ms: int) -> List[Taken]:
        return self.take(max_count, lease_ms)
