"""A dramatiq broker on Ferrow queues.

    from ferrow_tools.integrations.dramatiq_broker import FerrowBroker
    dramatiq.set_broker(FerrowBroker("/var/lib/app/queues"))      # or "redis://db1:6379/0"

Each dramatiq queue is a Ferrow queue under the base target (the directory
BASE/NAME, or the Redis queue NAME on the servers of a Redis URL). A
delivered message is a lease: `ack` acknowledges it, `nack` (a message that
failed for good) copies it to the queue's dead letters (`ferrow-admin dead
list BASE/NAME`) and acknowledges it, and the messages a worker takes back at
shutdown are handed back at once. A message enqueued with `delay` (which is
how dramatiq retries, too) is put with that delay (`ferrow_tools.scheduling`):
it waits in the queue, in no process's memory, and is delivered when due, so
the broker declares no delay queues. A worker that dies gets its messages
delivered again once their lease lapses (`lease_ms`, default 30 s). The
deliveries of a message (1 on the first) are the `deliveries` attribute of
what a consumer returns.
"""
from __future__ import annotations

import threading
import time
from collections import deque
from typing import TYPE_CHECKING, Any, Deque, Iterable, List, Optional, Set

from dramatiq.broker import Broker, Consumer, MessageProxy
from dramatiq.common import q_name
from dramatiq.errors import QueueJoinTimeout, QueueNotFound
from dramatiq.message import Message
from dramatiq.middleware import Middleware

from .held_leases import HeldLeases
from ..leases import move_to_dead_letter
from .named_queues import NamedQueues
from ..scheduling import Taken
from ..targets import dead_letter_target

if TYPE_CHECKING:
    from ferrow import FerrowQueue

__all__ = ["FerrowBroker", "FerrowMessage"]

DEFAULT_LEASE_MS = 30_000
# The most messages one dequeue takes for a consumer's prefetch.
MAX_BATCH = 100
JOIN_POLL_S = 0.05


class FerrowBroker(Broker):
    """Queues under `base`, a directory or a Redis URL without `queue=`.
    `lease_ms` is the lease of every delivery, renewed while a worker holds
    the message; `sync_interval_ms` is the queues' fsync policy."""

    def __init__(self, base: str, *, middleware: Optional[List[Middleware]] = None,
                 lease_ms: int = DEFAULT_LEASE_MS, sync_interval_ms: Optional[int] = None) -> None:
        super().__init__(middleware)
        self.queues: Set[str] = set()
        self.named = NamedQueues(base, lease_ms, sync_interval_ms)

    @property
    def lease_ms(self) -> int:
        return self.named.lease_ms

    def close(self) -> None:
        self.named.close()

    def consume(self, queue_name: str, prefetch: int = 1, timeout: int = 30000) -> Consumer:
        if q_name(queue_name) not in self.queues:
            raise QueueNotFound(queue_name)
        return _FerrowConsumer(self, queue_name, prefetch, timeout)

    def declare_queue(self, queue_name: str) -> None:
        if queue_name in self.queues:
            return
        self.emit_before("declare_queue", queue_name)
        self.named[queue_name]  # creates it, and says so now if the name cannot be used
        self.queues.add(queue_name)
        self.emit_after("declare_queue", queue_name)

    def enqueue(self, message: Message[Any], *, delay: Optional[int] = None) -> Message[Any]:
        """Puts the message; with `delay` (ms) it is delivered once that has
        passed, from the queue itself."""
        queue_name = message.queue_name
        if q_name(queue_name) not in self.queues:
            raise QueueNotFound(queue_name)
        self.emit_before("enqueue", message, delay)
        if delay:
            self.named.levels(queue_name).put([message.encode()], delay, None, None)
        else:
            self.named[queue_name].enqueue(message.encode())
        self.emit_after("enqueue", message, delay)
        return message

    def get_declared_queues(self) -> Set[str]:
        return self.queues.copy()

    def get_declared_delay_queues(self) -> Set[str]:
        return self.delay_queues.copy()

    def flush(self, queue_name: str) -> None:
        """Drops the ready messages of a queue (leased ones stay with their
        holders, delayed ones until they are due)."""
        levels = self.named.levels(queue_name)
        while True:
            batch = levels.take(1000, self.lease_ms)
            if not batch:
                return
            for taken in batch:
                taken.core.ack(taken.delivered[0])

    def flush_all(self) -> None:
        for name in self.queues:
            self.flush(name)

    def join(self, queue_name: str, *, timeout: Optional[int] = None) -> None:
        """Waits until the queue holds no message, ready, delayed or leased;
        raises QueueJoinTimeout after `timeout` ms."""
        if queue_name not in self.queues:
            raise QueueNotFound(queue_name)
        deadline = None if timeout is None else time.monotonic() + timeout / 1000.0
        levels = self.named.levels(queue_name)
        while levels.stats()["total"]:
            if deadline is not None and time.monotonic() >= deadline:
                raise QueueJoinTimeout(queue_name)
            time.sleep(JOIN_POLL_S)


class FerrowMessage(MessageProxy):
    """A delivered message; `deliveries` counts its leases, 1 on the first."""

    def __init__(self, message: Message[Any], taken: Taken) -> None:
        super().__init__(message)
        self.taken = taken
        self.delivered = taken.delivered
        self.deliveries = taken.delivered[2]


class _FerrowConsumer(Consumer):
    """At most `prefetch` messages out at once; dramatiq's worker threads
    settle them, so everything here is behind one lock."""

    def __init__(self, broker: FerrowBroker, queue_name: str, prefetch: int,
                 timeout_ms: int) -> None:
        self.named = broker.named
        self.queue_name = queue_name
        self.q = broker.named[queue_name]
        self.levels = broker.named.levels(queue_name)
        self.prefetch = max(prefetch, 1)
        self.timeout_s = timeout_ms / 1000.0
        self.held = HeldLeases(broker.lease_ms)
        self._buffer: Deque[Taken] = deque()
        self._out = 0  # delivered and not yet settled
        self._settled = threading.Event()
        self._lock = threading.Lock()
        self._dead: Optional[FerrowQueue] = None

    def __next__(self) -> Optional[FerrowMessage]:
        deadline = time.monotonic() + self.timeout_s
        while True:
            self._settled.clear()
            with self._lock:
                room = self.prefetch - self._out
                if room > 0 and not self._buffer:
                    self._buffer.extend(self.held.take(self.levels, min(room, MAX_BATCH)))
                if room > 0 and self._buffer:
                    taken = self._buffer.popleft()
                    self._out += 1
                    return FerrowMessage(Message.decode(taken.delivered[1]), taken)
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            if room > 0:
                self.named.wait([self.q], left)
            else:
                self._settled.wait(left)

    def _settle(self, message: MessageProxy) -> Optional[Taken]:
        """Forgets a delivery; its message if this consumer still held it."""
        taken: Taken = getattr(message, "taken")
        with self._lock:
            self._out -= 1
        self._settled.set()
        return taken if self.held.release(taken.core, taken.delivered[0]) else None

    def ack(self, message: MessageProxy) -> None:
        self._settle(message)
        taken: Taken = getattr(message, "taken")
        taken.core.ack(taken.delivered[0])

    def nack(self, message: MessageProxy) -> None:
        self._settle(message)
        if self._dead is None:
            self._dead = self.named.at(dead_letter_target(self.named.target(
                q_name(self.queue_name))))
        exc = getattr(message, "_exception", None)
        reason = "failed" if exc is None else "{}: {}".format(type(exc).__name__, exc)
        taken: Taken = getattr(message, "taken")
        move_to_dead_letter(taken.core, self._dead, taken.delivered, reason[:500])

    def requeue(self, messages: Iterable[MessageProxy]) -> None:
        for message in messages:
            taken = self._settle(message)
            if taken is not None:  # a lost lease is another consumer's by now
                taken.core.nack(taken.delivered[0])

    def close(self) -> None:
        with self._lock:
            self._buffer.clear()
        self.held.close()
