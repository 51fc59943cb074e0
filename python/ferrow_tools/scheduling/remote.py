"""Delays, priorities and expiry on Redis, natively in the queue's scripts
(redis/lua/put.lua and take.lua): one round trip per put and per get.

A delayed message waits in the sorted set DUE by due time; every script
that delivers or counts moves the due ones to their level's ready set first,
and a blocking wait on the server ends at the earliest due time as it ends
at the earliest lease deadline. Levels are sorted sets of ids; a get takes
from them in the order of `LevelOrder`, which the client passes along.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple

from ..leases import move_to_dead_letter
from .aging import LevelOrder
from .taken import Taken
from .times import now_ms

if TYPE_CHECKING:
    from ferrow import FerrowQueue, FerrowStats

    from ..redis.queue import RedisQueue, Steps

Raw = Tuple[int, List[Tuple[Any, ...]]]


class RedisLevels:
    def __init__(self, core: RedisQueue, priorities: int, aging_ms: int,
                 dead: Callable[[], FerrowQueue], expired_to_dead: bool) -> None:
        self.main = core
        self.priorities = priorities
        self.order = LevelOrder(priorities, aging_ms)
        self._dead = dead
        self.expired_to_dead = expired_to_dead

    # A plain get would not see the scheduled messages, which only the
    # server knows about: every get takes across levels (one script as well).
    plain = False
    looks_for_subs = False

    def found_sub(self) -> bool:
        return False

    def put_steps(self, bodies: List[bytes], delay_ms: Optional[int], level: Optional[int],
                  ttl_ms: Optional[int]) -> Steps[List[int]]:
        if not delay_ms and ttl_ms is None and not level:
            return self.main.enqueue_batch_steps(bodies)
        return self.main.put_scheduled_steps(bodies, level or 0, delay_ms or 0, ttl_ms)

    def put(self, bodies: List[bytes], delay_ms: Optional[int], level: Optional[int],
            ttl_ms: Optional[int]) -> List[int]:
        return self.main._run(self.put_steps(bodies, delay_ms, level, ttl_ms))

    async def put_async(self, calls: Any, bodies: List[bytes],
                        delay_ms: Optional[int], level: Optional[int],
                        ttl_ms: Optional[int]) -> List[int]:
        seqs: List[int] = await calls._run(self.put_steps(bodies, delay_ms, level, ttl_ms))
        return seqs

    def take(self, max_count: int, lease_ms: int) -> List[Taken]:
        order = self.order.order()
        return self._finish(order, self.main._run(
            self.main.take_steps(max_count, lease_ms, order, self.expired_to_dead)))

    async def take_async(self, calls: Any, max_count: int,
                         lease_ms: int) -> List[Taken]:
        order = self.order.order()
        raw: Raw = await calls._run(self.main.take_steps(max_count, lease_ms, order,
                                                    self.expired_to_dead))
        return self._finish(order, raw)

    def _finish(self, order: Sequence[int], raw: Raw) -> List[Taken]:
        tried, messages = raw
        if self.priorities == 1 and not self.expired_to_dead:  # nothing to order or move
            return [Taken(self.main, (seq, body, deliveries, enqueued_ts_ms), level, expires_ms,
                          max(enqueued_ts_ms, due_ms))
                    for seq, body, deliveries, enqueued_ts_ms, level, expires_ms, _, due_ms
                    in messages]
        out: List[Taken] = []
        for seq, body, deliveries, enqueued_ts_ms, level, expires_ms, expired, due_ms in messages:
            if expired:
                move_to_dead_letter(self.main, self._dead(),
                                    (seq, body, deliveries, enqueued_ts_ms), "expired")
                continue
            out.append(Taken(self.main, (seq, body, deliveries, enqueued_ts_ms), level,
                             expires_ms, max(enqueued_ts_ms, due_ms)))
        now = now_ms()
        for level in order[:tried]:
            first = next((t for t in out if t.level == level), None)
            self.order.looked(level, None if first is None else
                              max(0, now - first.ready_since_ms))
        return out

    def available(self) -> int:
        return self.main.available()

    def stats(self) -> FerrowStats:
        return self.main.stats()

    def next_due_ms(self) -> Optional[int]:
        return None  # the server's blocking wait ends at the due time

    def watched_dirs(self) -> List[str]:
        return []

    def close(self) -> None:
        pass
