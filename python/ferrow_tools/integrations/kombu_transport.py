"""A kombu transport on Ferrow queues, so that Celery runs on them.

    import ferrow_tools.integrations.kombu_transport          # registers the "ferrow" transport
    app = Celery("app", broker="ferrow:///var/lib/app/queues")
    app = Celery("app", broker="ferrow+redis://db1:6379/0")

Each kombu queue is a Ferrow queue: the directory BASE/NAME under a
`ferrow://BASE` URL, the queue NAME on the servers of a `ferrow+redis://...`
URL (any target of `open_queue` after the "ferrow+"). A delivered message is a
lease. `ack` acknowledges it; `reject(requeue=True)` and a worker's shutdown
hand it back at once (`nack`, which keeps its delivery count);
`reject(requeue=False)` copies it to the queue's dead letters, readable with
`ferrow-admin dead list`. A task sent with a countdown or an ETA is put with
the delay until then (`ferrow_tools.scheduling`): it waits in the queue, not
in a worker's memory, and is delivered when it is due; a worker that stops or
dies meanwhile changes nothing for it. Messages the worker holds without
acknowledging them (prefetched ones) have their leases renewed from a
background thread, so they are never delivered twice while the worker lives;
when it dies they come back once their lease lapses (`lease_ms`, default
30 s), counted as redelivered.

Fanout exchanges are refused: the transport declares only direct and topic
exchanges, so Celery leaves out remote control (`celery inspect`, `control`),
gossip and mingle by itself, and declaring a fanout exchange raises
`NotImplementedError`. Exchange bindings live in the declaring process, as
with kombu's other virtual transports; Celery sends each task to its queue by
name, which needs no binding.

Transport options (`broker_transport_options`): `lease_ms` (default 30000),
`sync_interval_ms` (the queues' fsync policy, default 0: every record),
`polling_interval` (longest wait in seconds between looks at the queues when
nothing wakes the worker earlier, default 0.25; a directory wakes it through
inotify, a Redis queue through its server, so this bounds how soon a worker
notices a warm shutdown, or messages on several Redis queues).
"""
from __future__ import annotations

import os
import re
import socket
import sys
import threading
import time
from collections import deque
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Deque, Dict, List, Optional, Set, Tuple

from kombu.transport import TRANSPORT_ALIASES, virtual
from kombu.utils.json import dumps, loads

from .held_leases import HeldLeases
from ..leases import move_to_dead_letter
from .named_queues import NamedQueues, check_base
from ..scheduling import Taken
from ..scheduling.times import now_ms
from ..targets import dead_letter_target, is_redis

if TYPE_CHECKING:
    from ferrow import FerrowQueue

__all__ = ["Transport", "Channel", "QoS", "base_target"]

SCHEME = "ferrow://"
REDIS_PREFIX = "ferrow+"
DEFAULT_LEASE_MS = 30_000
# Longest wait between two looks at the queues, in seconds: what a directory's
# inotify or a Redis queue's server does not wake early.
DEFAULT_POLLING_INTERVAL = 0.25
# The most messages one dequeue takes for the prefetch buffer.
MAX_BATCH = 100


def base_target(url: str) -> str:
    """The directory or Redis URL behind a broker URL: "ferrow:///abs/dir" or
    "ferrow+redis://..." (which kombu hands over without "ferrow+")."""
    if url.startswith(REDIS_PREFIX):
        url = url[len(REDIS_PREFIX):]
    if url.startswith(SCHEME):
        if len(url) == len(SCHEME):
            raise ValueError("a ferrow:// broker URL names a directory: ferrow:///path/to/dir")
        return url[len(SCHEME):]
    if is_redis(url):
        return check_base(url)
    raise ValueError("not a Ferrow broker URL: {!r} (ferrow:///path/to/dir or "
                     "ferrow+redis://host:port/db)".format(mask_password(url)))


def mask_password(url: str, mask: str = "**") -> str:
    return re.sub(r"://([^:@/]*):[^@/]*@", r"://\1:{}@".format(mask), url, count=1)


def _tag(queue: str, taken: Taken) -> str:
    # Unique per delivery: a redelivered message gets a new tag. Messages of
    # different levels live in different sub-queues, whose ids may repeat.
    seq, _, deliveries, _ = taken.delivered
    return "{}/{}/{}/{}".format(queue, taken.level, seq, deliveries)


def eta_delay_ms(message: Dict[str, Any]) -> Optional[int]:
    """Milliseconds until the ETA of a Celery task message (a countdown is
    sent as an ETA), None when it has none or it has passed."""
    headers = message.get("headers") or {}
    eta = headers.get("eta")
    if not eta:
        return None
    try:
        due = datetime.fromisoformat(str(eta))
    except ValueError:
        return None  # not ours to judge: Celery reads it again when it runs the task
    if due.tzinfo is None:
        due = due.replace(tzinfo=timezone.utc)
    delay = int(due.timestamp() * 1000) - now_ms()
    return delay if delay > 0 else None


def celery_worker_stopping() -> bool:
    """Whether this is a Celery worker told to stop. Its loop looks at that
    only between two waits for messages, and waits once more after it saw it,
    so a wait that ran its full length would hold a warm shutdown up for
    twice that long."""
    state = sys.modules.get("celery.worker.state")
    # The flags hold an exit code, often 0, when set.
    flags = (getattr(state, flag, None) for flag in ("should_stop", "should_terminate"))
    return any(flag is not None and flag is not False for flag in flags)


class QoS(virtual.QoS):
    """Acknowledgements go to the queue at once; what is unacknowledged at
    shutdown is handed back rather than published again."""

    channel: Channel

    def ack(self, delivery_tag: str) -> None:
        self.channel.settle(delivery_tag, "ack")
        super().ack(delivery_tag)

    def reject(self, delivery_tag: str, requeue: bool = False) -> None:
        self.channel.settle(delivery_tag, "requeue" if requeue else "dead")
        self._quick_ack(delivery_tag)

    def restore_unacked(self) -> List[Tuple[BaseException, Any]]:
        self._flush()
        errors: List[Tuple[BaseException, Any]] = []
        while self._delivered:
            tag, message = self._delivered.popitem()
            try:
                self.channel.settle(tag, "requeue")
            except Exception as exc:
                errors.append((exc, message))
        return errors


class Channel(virtual.Channel):
    QoS = QoS

    connection: Transport

    def __init__(self, connection: Transport, **kwargs: Any) -> None:
        super().__init__(connection, **kwargs)
        self.held = HeldLeases(connection.lease_ms)
        # Leased by a batch dequeue, not yet handed to kombu.
        self._buffers: Dict[str, Deque[Taken]] = {}
        # Handed to kombu, not yet settled: queue name and delivery by tag.
        self._unsettled: Dict[str, Tuple[str, Taken]] = {}
        self._no_ack: Set[str] = set()
        self._lock = threading.Lock()

    def exchange_declare(self, exchange: Optional[str] = None, type: str = "direct",
                         *args: Any, **kwargs: Any) -> None:
        if type == "fanout":
            raise NotImplementedError(
                "the Ferrow transport has no fanout exchanges ({!r}): a Ferrow message goes "
                "to one consumer. Celery leaves remote control out on this transport by "
                "itself".format(exchange))
        super().exchange_declare(exchange, type, *args, **kwargs)

    # -- the virtual channel's storage calls

    def _new_queue(self, queue: str, **kwargs: Any) -> None:
        self.connection.queues[queue]

    def _has_queue(self, queue: str, **kwargs: Any) -> bool:
        target = self.connection.queues.target(queue)
        return is_redis(target) or os.path.isdir(target)

    def _put(self, queue: str, message: Dict[str, Any], **kwargs: Any) -> None:
        body = dumps(message).encode()
        delay = eta_delay_ms(message)
        if delay is None:
            self.connection.queues[queue].enqueue(body)
        else:  # waits in the queue until due, then Celery runs it at once
            self.connection.queues.levels(queue).put([body], delay, None, None)

    def _size(self, queue: str) -> int:
        return self.connection.queues.levels(queue).available()

    def _purge(self, queue: str) -> int:
        # Only ready messages go, as a purge does in AMQP; `purge()` would also
        # drop leased ones and start ids again under their holders.
        levels = self.connection.queues.levels(queue)
        removed = 0
        while True:
            batch = levels.take(1000, self.connection.lease_ms)
            if not batch:
                return removed
            removed += sum(1 for t in batch if t.core.ack(t.delivered[0]))

    def _get(self, queue: str, timeout: Optional[float] = None) -> Dict[str, Any]:
        return self._take(queue, queue in self._no_ack)

    # -- delivery

    def basic_consume(self, queue: str, no_ack: bool, *args: Any, **kwargs: Any) -> Any:
        if no_ack:
            self._no_ack.add(queue)
        return super().basic_consume(queue, no_ack, *args, **kwargs)

    def basic_get(self, queue: str, no_ack: bool = False, **kwargs: Any) -> Any:
        try:
            message = self.Message(self._take(queue, no_ack), channel=self)
        except virtual.Empty:
            return None
        if not no_ack:
            self.qos.append(message, message.delivery_tag)
        return message

    def _take(self, queue: str, no_ack: bool) -> Dict[str, Any]:
        """The next message of `queue` as kombu's payload, its lease held
        until it is settled (or acknowledged at once with `no_ack`)."""
        levels = self.connection.queues.levels(queue)
        with self._lock:
            buffer = self._buffers.setdefault(queue, deque())
            if not buffer:
                room = self.qos.can_consume_max_estimate()
                buffered = sum(len(b) for b in self._buffers.values())
                buffer.extend(self.held.take(
                    levels, 1 if room is None else min(room - buffered, MAX_BATCH)))
            if not buffer:
                raise virtual.Empty()
            taken = buffer.popleft()
            seq, body, deliveries, _ = taken.delivered
            tag = _tag(queue, taken)
            if no_ack:
                self.held.release(taken.core, seq)
                taken.core.ack(seq)
            else:
                self._unsettled[tag] = (queue, taken)
        payload: Dict[str, Any] = loads(body)
        properties = payload["properties"]
        properties["delivery_tag"] = tag
        properties.setdefault("delivery_info", {})["redelivered"] = deliveries > 1
        return payload

    def settle(self, tag: str, how: str) -> None:
        """Ends the delivery `tag`: "ack", "requeue" (hand back at once) or
        "dead" (to the queue's dead letters)."""
        with self._lock:
            entry = self._unsettled.pop(tag, None)
        if entry is None:
            return
        queue, taken = entry
        q, seq = taken.core, taken.delivered[0]
        ours = self.held.release(q, seq)
        if how == "ack":
            q.ack(seq)
        elif how == "requeue":
            # A lost lease is another consumer's by now: it is not ours to hand back.
            if ours:
                q.nack(seq)
        else:
            queues = self.connection.queues
            dead = queues.at(dead_letter_target(queues.target(queue)))
            move_to_dead_letter(q, dead, taken.delivered, "rejected by the consumer")
        self.connection.wakeup.set()

    def close(self) -> None:
        super().close()  # hands back what kombu holds, through QoS.restore_unacked
        with self._lock:
            self._buffers.clear()
        self.held.close()  # and the buffered rest

    def waitable(self) -> List[FerrowQueue]:
        """The queues this channel would take a message from now."""
        if not self._consumers or not self.qos.can_consume():
            return []
        return [self.connection.queues[name] for name in self._active_queues]


class Transport(virtual.Transport):
    Channel = Channel

    polling_interval = DEFAULT_POLLING_INTERVAL
    can_parse_url = True
    default_port = None
    driver_type = "ferrow"
    driver_name = "ferrow"
    implements = virtual.Transport.implements.extend(
        asynchronous=False,
        exchange_type=frozenset(["direct", "topic"]),
        heartbeats=False,
    )

    def __init__(self, client: Any, **kwargs: Any) -> None:
        super().__init__(client, **kwargs)
        options = client.transport_options
        self.lease_ms = int(options.get("lease_ms", DEFAULT_LEASE_MS))
        self.queues = NamedQueues(base_target(client.hostname or ""), self.lease_ms,
                                  options.get("sync_interval_ms"))
        self.wakeup = threading.Event()

    def drain_events(self, connection: Any, timeout: Optional[float] = None,
                     **kwargs: Any) -> None:
        deadline = None if timeout is None else time.monotonic() + timeout
        assert self.cycle is not None
        while True:
            self.wakeup.clear()
            try:
                self.cycle.get(self._deliver, timeout=timeout)
                return
            except virtual.Empty:
                pass
            wait = self.polling_interval
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise socket.timeout()
                wait = min(wait, left)
            # Until a queue some channel takes from changes, or a settled
            # message makes room under the prefetch limit.
            self.queues.wait([q for channel in self.channels for q in channel.waitable()],
                             wait, self.wakeup)
            if celery_worker_stopping():
                raise socket.timeout()

    def close_connection(self, connection: Any) -> None:
        super().close_connection(connection)
        self.queues.close()

    def as_uri(self, uri: str, include_password: bool = False, mask: str = "**") -> str:
        if uri.startswith(SCHEME):
            return uri
        return REDIS_PREFIX + (uri if include_password else mask_password(uri, mask))


def register(alias: str = "ferrow") -> None:
    """Makes `alias` (and "ferrow+redis://" URLs) name this transport in
    kombu's table of transports; importing this module does it."""
    TRANSPORT_ALIASES[alias] = "ferrow_tools.integrations.kombu_transport:Transport"


register()
