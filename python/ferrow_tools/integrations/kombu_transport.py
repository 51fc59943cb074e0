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
30 s), counted as redelivered. A queue declared with `x-max-priority` has
the levels 0..max, a message's `priority` picks one (higher first, as in
AMQP); a message's `expiration` and its queue's `x-message-ttl` bound how
long it may wait to be delivered (`kombu_properties`).

Exchanges of every type kombu's virtual transports have (direct, topic,
fanout) route in every process alike: their bindings, and the queues'
declarations, are kept with the queues (`exchanges.SharedExchanges`), so
Celery's remote control (`celery inspect`, `celery control`), mingle, gossip
and task events reach the queues of workers and monitors in other processes.
A queue declared with `x-expires` (Celery's reply, pidbox and event queues),
or `auto_delete` and consumed, goes when no process used it for that long;
an `auto_delete` queue also goes when its last consumer in the declaring
process stops.

Connecting, and opening a channel, checks the base: a directory that cannot
hold queues, or a Redis server that does not answer, raises a connection
error of the transport (`BaseUnreachable`), so Celery retries and fails over
to the next broker URL; nothing is created until a queue is declared.

Transport options (`broker_transport_options`): `lease_ms` (default 30000),
`sync_interval_ms` (the queues' fsync policy, default 0: every record),
`consumer_sync_interval_ms` (the fsync policy of what consumers write:
leases, acknowledgements, hand-backs; default 0, an fsync each; with N > 0
each is still written at once, so a worker killed after an acknowledgement
never runs the task again, and reaches the disk with the next fsync of its
queue, whoever makes it, at the latest after N milliseconds: a power loss,
which takes every lease holder with it, can then run an acknowledged task
again, never lose one),
`polling_interval` (longest wait in seconds between looks at the queues when
nothing wakes the worker earlier, default 0.25; a directory wakes it through
inotify, a Redis queue through its server, so this bounds how soon a worker
notices a warm shutdown, or messages on several Redis queues).
"""
from __future__ import annotations

import contextlib
import os
import socket
import sys
import threading
import time
from collections import deque
from typing import TYPE_CHECKING, Any, Deque, Dict, Iterator, List, Optional, Set, Tuple

from kombu.exceptions import ConnectionError as KombuConnectionError
from kombu.transport import TRANSPORT_ALIASES, virtual
from kombu.transport.base import to_rabbitmq_queue_arguments
from kombu.utils.json import dumps, loads

from . import celery_features
from .exchanges import RESERVED_PREFIX, BaseUnreachable, Binding, QueueRecord, shared_exchanges
from .held_leases import HeldLeases
from .kombu_properties import eta_delay_ms, expiration_ms, priority_level, priority_levels
from .kombu_urls import REDIS_PREFIX, SCHEME, base_target, broker_target, mask_password
from .named_queues import NamedQueues
from ..leases import Renewals, move_to_dead_letter
from ..redis.url import SCHEMES as REDIS_SCHEMES
from ..scheduling import Levels, SchedulingOptions, Taken
from ..targets import dead_letter_target, is_redis

if TYPE_CHECKING:
    from ferrow import FerrowQueue

__all__ = ["Transport", "Channel", "QoS", "base_target", "broker_target", "BaseUnreachable"]

DEFAULT_LEASE_MS = 30_000
# Longest wait between two looks at the queues, in seconds: what a directory's
# inotify or a Redis queue's server does not wake early.
DEFAULT_POLLING_INTERVAL = 0.25
# How long an acknowledgement may wait for the fsync that makes it durable.
DEFAULT_CONSUMER_SYNC_INTERVAL_MS = 0
# The most messages one dequeue takes for the prefetch buffer.
MAX_BATCH = 100
# How often a process marks the expiring queues it consumes as used, and
# sweeps the ones nobody used in time (seconds).
UPKEEP_S = 1.0
# How long an auto-delete queue that was consumed may go unused when its
# consumer died without cancelling (no x-expires given).
AUTO_DELETE_GRACE_MS = 60_000


def _tag(queue: str, taken: Taken) -> str:
    # Unique per delivery: a redelivered message gets a new tag. Messages of
    # different levels live in different sub-queues, whose ids may repeat.
    seq, _, deliveries, _ = taken.delivered
    return "{}/{}/{}/{}".format(queue, taken.level, seq, deliveries)


def celery_worker_stopping() -> bool:
    """Whether this is a Celery worker told to stop. Its loop looks at that
    only between two waits for messages, and waits once more after it saw it,
    so a wait that ran its full length would hold a warm shutdown up for
    twice that long."""
    state = sys.modules.get("celery.worker.state")
    # The flags hold an exit code, often 0, when set.
    flags = (getattr(state, flag, None) for flag in ("should_stop", "should_terminate"))
    return any(flag is not None and flag is not False for flag in flags)


def _redis_connection_errors() -> Tuple[type, ...]:
    try:
        from redis import exceptions
    except ImportError:
        return ()
    return (exceptions.ConnectionError, exceptions.TimeoutError)


@contextlib.contextmanager
def reaching(base: str) -> Iterator[None]:
    """Turns a lost Redis server, which a Redis queue reports as an OSError
    caused by the client's connection error, into BaseUnreachable."""
    try:
        yield
    except BaseUnreachable:
        raise
    except OSError as exc:
        cause = exc.__cause__
        if is_redis(base) and (isinstance(exc, TimeoutError) or
                               isinstance(cause, _redis_connection_errors())):
            raise BaseUnreachable(str(exc)) from exc
        raise


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
    supports_fanout = True

    connection: Transport

    def __init__(self, connection: Transport, **kwargs: Any) -> None:
        connection.check_base()
        super().__init__(connection, **kwargs)
        self.held = HeldLeases(connection.lease_ms)
        # Leased by a batch dequeue, not yet handed to kombu.
        self._buffers: Dict[str, Deque[Taken]] = {}
        # Handed to kombu, not yet settled: queue name and delivery by tag.
        self._unsettled: Dict[str, Tuple[str, Taken]] = {}
        self._no_ack: Set[str] = set()
        self._auto_delete: Set[str] = set()
        self._lock = threading.Lock()

    prepare_queue_arguments = staticmethod(to_rabbitmq_queue_arguments)

    # -- exchanges and bindings, shared by the processes of the base

    def exchange_declare(self, exchange: Optional[str] = None, type: str = "direct",
                         *args: Any, **kwargs: Any) -> None:
        if exchange and kwargs.get("passive") and exchange not in self.state.exchanges:
            # Declared by another process: it exists all the same.
            shared_type = self.connection.exchange_type(exchange)
            if shared_type is not None:
                type, kwargs["passive"] = shared_type, False
        super().exchange_declare(exchange, type, *args, **kwargs)
        if exchange and not kwargs.get("passive"):
            self.connection.exchanges.declare_exchange(exchange, type or "direct")

    def exchange_delete(self, exchange: str, if_unused: bool = False,
                        nowait: bool = False) -> None:
        # The exchange and its bindings go, as in AMQP; the queues bound to
        # it (which may be other processes') stay.
        self.state.exchanges.pop(exchange, None)
        self.connection.exchanges.delete_exchange(exchange)

    def typeof(self, exchange: str, default: str = "direct") -> Any:
        known = self.state.exchanges.get(exchange)
        type = known["type"] if known else self.connection.exchange_type(exchange)
        return self.exchange_types[type or default]

    def get_table(self, exchange: str) -> List[Binding]:
        return self.connection.exchanges.table(exchange)

    def _queue_bind(self, exchange: str, routing_key: str, pattern: Optional[str],
                    queue: str) -> None:
        self.connection.exchanges.bind(exchange, Binding(routing_key or "", pattern or "", queue))

    def queue_bind(self, queue: str, exchange: Optional[str] = None, routing_key: str = "",
                   arguments: Any = None, **kwargs: Any) -> None:
        exchange = exchange or "amq.direct"
        if exchange not in self.state.exchanges:
            # Declared by another process: known here by its type.
            self.exchange_declare(exchange, self.typeof(exchange).type)
        super().queue_bind(queue, exchange, routing_key, arguments, **kwargs)

    def queue_unbind(self, queue: str, exchange: Optional[str] = None, routing_key: str = "",
                     arguments: Any = None, **kwargs: Any) -> None:
        exchange = exchange or "amq.direct"
        self.state.binding_delete(queue, exchange, routing_key)
        meta = self.typeof(exchange).prepare_bind(queue, exchange, routing_key, arguments)
        known = self.state.exchanges.get(exchange)
        if known:
            known["table"] = [m for m in known.get("table", []) if m != meta]
        self.connection.exchanges.unbind(exchange, Binding(meta[0] or "", meta[1] or "", queue))

    def _put_fanout(self, exchange: str, message: Dict[str, Any], routing_key: str,
                    **kwargs: Any) -> None:
        for queue in {binding.queue for binding in self.get_table(exchange)}:
            self._put(queue, message, **kwargs)

    # -- the virtual channel's storage calls

    def _new_queue(self, queue: str, **kwargs: Any) -> None:
        if queue.startswith(RESERVED_PREFIX):
            raise ValueError("queue names starting with {!r} are taken by the transport".format(
                RESERVED_PREFIX))
        arguments = dict(kwargs.get("arguments") or {})
        expires = arguments.get("x-expires")
        if kwargs.get("auto_delete"):
            self._auto_delete.add(queue)
            if expires is None:
                expires = AUTO_DELETE_GRACE_MS
        with reaching(self.connection.base):
            self.connection.declare(queue, None if expires is None else int(expires), arguments)

    def _has_queue(self, queue: str, **kwargs: Any) -> bool:
        if self.connection.exchanges.queue(queue) is not None:
            return True
        target = self.connection.queues.target(queue)
        return not is_redis(target) and os.path.isdir(target)

    def _put(self, queue: str, message: Dict[str, Any], **kwargs: Any) -> None:
        with reaching(self.connection.base):
            record = self.connection.record_to_publish(queue)
            if record is None:
                return  # deleted: the message goes nowhere, as in AMQP
            body = dumps(message).encode()
            delay = eta_delay_ms(message)
            level = priority_level(message, record.arguments)
            ttl = expiration_ms(message, record.arguments)
            if delay is None and not level and ttl is None:
                self.connection.queues[queue].enqueue(body)
            else:  # a countdown waits in the queue until due, then Celery runs it at once
                self.connection.levels(queue).put([body], delay, level, ttl)

    def _size(self, queue: str) -> int:
        with reaching(self.connection.base):
            return self.connection.levels(queue).available()

    def _purge(self, queue: str) -> int:
        # Only ready messages go, as a purge does in AMQP; `purge()` would also
        # drop leased ones and start ids again under their holders.
        levels = self.connection.levels(queue)
        removed = 0
        while True:
            batch = levels.take(1000, self.connection.lease_ms)
            if not batch:
                return removed
            removed += sum(1 for t in batch if t.core.ack(t.delivered[0]))

    def _get(self, queue: str, timeout: Optional[float] = None) -> Dict[str, Any]:
        return self._take(queue, queue in self._no_ack)

    def queue_delete(self, queue: str, if_unused: bool = False, if_empty: bool = False,
                     **kwargs: Any) -> None:
        if if_empty and self._size(queue):
            return
        with self._lock:
            # What this channel leased from it goes with it.
            buffered = list(self._buffers.pop(queue, ()))
            for tag in [t for t, (name, _) in self._unsettled.items() if name == queue]:
                buffered.append(self._unsettled.pop(tag)[1])
        for taken in buffered:
            self.held.release(taken.core, taken.delivered[0])
        self.state.queue_bindings_delete(queue)
        self._auto_delete.discard(queue)
        self.connection.delete_queue(queue)

    # -- delivery

    def basic_consume(self, queue: str, no_ack: bool, *args: Any, **kwargs: Any) -> Any:
        if no_ack:
            self._no_ack.add(queue)
        tag = super().basic_consume(queue, no_ack, *args, **kwargs)
        self.connection.consuming(queue, +1)
        return tag

    def basic_cancel(self, consumer_tag: str) -> None:
        queue = self._tag_to_queue.get(consumer_tag)
        super().basic_cancel(consumer_tag)
        if queue is None:
            return
        self.connection.consuming(queue, -1)
        if queue in self._auto_delete and queue not in self._active_queues:
            self.queue_delete(queue)

    def basic_get(self, queue: str, no_ack: bool = False, **kwargs: Any) -> Any:
        self.connection.touch(queue)
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
        with reaching(self.connection.base):
            levels = self.connection.levels(queue)
            with self._lock:
                buffer = self._buffers.setdefault(queue, deque())
                if not buffer:
                    room = self.qos.can_consume_max_estimate()
                    buffered = sum(len(b) for b in self._buffers.values())
                    count = 1 if room is None else min(room - buffered, self.connection.batch)
                    buffer.extend(self.held.take(levels, count))
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
        return [self.connection.taking[name] for name in self._active_queues]


class Transport(virtual.Transport):
    Channel = Channel

    polling_interval = DEFAULT_POLLING_INTERVAL
    can_parse_url = True
    default_port = None
    driver_type = "ferrow"
    driver_name = "ferrow"
    connection_errors: Tuple[Any, ...] = (
        (KombuConnectionError, BaseUnreachable) + _redis_connection_errors())
    implements = virtual.Transport.implements.extend(
        asynchronous=False,
        exchange_type=frozenset(["direct", "topic", "fanout"]),
        heartbeats=False,
    )

    def __init__(self, client: Any, **kwargs: Any) -> None:
        super().__init__(client, **kwargs)
        options = client.transport_options
        self.lease_ms = int(options.get("lease_ms", DEFAULT_LEASE_MS))
        self.base = broker_target(client)
        self.queues = NamedQueues(self.base, self.lease_ms, options.get("sync_interval_ms"))
        consumer_sync = options.get("consumer_sync_interval_ms",
                                    DEFAULT_CONSUMER_SYNC_INTERVAL_MS)
        # The same queues opened a second time for consuming, under the
        # consumers' own fsync policy (when it differs): puts are synced by
        # the queues' policy, leases and acknowledgements by this one.
        self.taking = self.queues if consumer_sync == (self.queues.sync_interval_ms or 0) else (
            NamedQueues(self.base, self.lease_ms, consumer_sync))
        # The most messages one take leases: a batch dequeue from a local
        # queue ends with an fsync whatever its policy, single dequeues under
        # the consumers' own policy do not.
        self.batch = 1 if self.taking is not self.queues and not is_redis(self.base) else MAX_BATCH
        # The priority levels each queue is opened with here, by name.
        self._levels_of: Dict[str, int] = {}
        self.exchanges = shared_exchanges(self.base, is_redis(self.base))
        self.wakeup = threading.Event()
        # Exchange types learnt from the base (they never change under a name).
        self._exchange_types: Dict[str, str] = {}
        # The incarnation each queue was opened as, to notice one made anew.
        self._incarnations: Dict[str, str] = {}
        # Queues with an expiry: how many consumers this process has on each.
        self._expiring: Dict[str, int] = {}
        self._consumers: Dict[str, int] = {}
        self._upkeep: Optional[Renewals] = None
        self._swept_at = 0.0
        self._upkeep_lock = threading.Lock()

    def check_base(self) -> None:
        self.exchanges.check()

    def exchange_type(self, name: str) -> Optional[str]:
        found = self._exchange_types.get(name)
        if found is None:
            found = self.exchanges.exchange_type(name)
            if found is not None:
                self._exchange_types[name] = found
        return found

    # -- queues' lives

    def declare(self, name: str, expires_ms: Optional[int], arguments: Dict[str, Any]) -> None:
        self._opened_as(name, self.exchanges.declare_queue(name, expires_ms, arguments))
        self.queues[name]
        if expires_ms is not None:
            with self._upkeep_lock:
                self._expiring.setdefault(name, 0)

    def _opened_as(self, name: str, record: QueueRecord) -> None:
        """Opens queue `name` anew when it was made anew, or declared with
        other priority levels, since this process opened it."""
        levels = priority_levels(record.arguments)
        if self._incarnations.get(name, record.incarnation) != record.incarnation:
            self.forget(name)
        self._incarnations[name] = record.incarnation
        if self._levels_of.get(name) != levels:
            self.forget(name)
            for queues in {self.queues, self.taking}:
                queues.set_scheduling(name, SchedulingOptions(priorities=levels))
            self._levels_of[name] = levels

    def record_to_publish(self, name: str) -> Optional[QueueRecord]:
        """The declaration of queue `name` (an empty one if it never was
        declared), or None when it was deleted: a message for it goes
        nowhere, as for a deleted queue in AMQP."""
        record = self.exchanges.queue(name)
        if record is None:
            if self.exchanges.was_deleted(name):
                return None
            record = QueueRecord("", None, {})
        self._opened_as(name, record)
        return record

    def levels(self, name: str) -> Levels:
        if name not in self._levels_of:
            self._opened_as(name, self.exchanges.queue(name) or QueueRecord("", None, {}))
        return self.taking.levels(name)

    def forget(self, name: str) -> None:
        self.queues.forget(name)
        self.taking.forget(name)

    def delete_queue(self, name: str) -> None:
        self.forget(name)
        self._incarnations.pop(name, None)
        self._levels_of.pop(name, None)
        with self._upkeep_lock:
            self._expiring.pop(name, None)
        self.exchanges.delete_queue(name)

    def consuming(self, name: str, change: int) -> None:
        with self._upkeep_lock:
            self._consumers[name] = self._consumers.get(name, 0) + change
            if self._consumers[name] <= 0:
                del self._consumers[name]
            if self._upkeep is None and self._expiring:
                self._upkeep = Renewals(UPKEEP_S, self._touch_consumed, "ferrow-kombu-upkeep")

    def touch(self, name: str) -> None:
        if name in self._expiring:
            self.exchanges.touch([name])

    def _touch_consumed(self) -> bool:
        # From a thread of its own: a worker busy with a long task still
        # keeps its queues.
        with self._upkeep_lock:
            names = [n for n in self._expiring if n in self._consumers]
        try:
            self.exchanges.touch(names)
        except Exception:  # the server may be away for a while: try again later
            pass
        return True

    def sweep(self) -> None:
        """Deletes the queues of the base that nobody used in time."""
        now = time.monotonic()
        if now - self._swept_at < UPKEEP_S:
            return
        self._swept_at = now
        for name in self.exchanges.expired():
            if name not in self._consumers and self.exchanges.delete_queue(name, if_expired=True):
                self.forget(name)

    # -- the connection

    def establish_connection(self) -> Any:
        self.check_base()
        return super().establish_connection()

    def drain_events(self, connection: Any, timeout: Optional[float] = None,
                     **kwargs: Any) -> None:
        deadline = None if timeout is None else time.monotonic() + timeout
        assert self.cycle is not None
        while True:
            self.wakeup.clear()
            with reaching(self.base):
                self.sweep()
                try:
                    self.cycle.get(self._deliver, timeout=timeout)
                except virtual.Empty:
                    pass
                else:
                    self._deliver_ready()
                    return
            wait = self.polling_interval
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise socket.timeout()
                wait = min(wait, left)
            # Until a queue some channel takes from changes, or a settled
            # message makes room under the prefetch limit.
            with reaching(self.base):
                self.taking.wait([q for channel in self.channels for q in channel.waitable()],
                                 wait, self.wakeup)
            if celery_worker_stopping():
                raise socket.timeout()

    def _deliver_ready(self) -> None:
        """Delivers what is ready now, up to a batch (and the prefetch limit),
        as a broker that pushes messages does within one wait."""
        assert self.cycle is not None
        for _ in range(MAX_BATCH):
            if celery_worker_stopping():
                return
            try:
                self.cycle.get(self._deliver, timeout=0)
            except virtual.Empty:
                return

    def close_connection(self, connection: Any) -> None:
        super().close_connection(connection)
        with self._upkeep_lock:
            upkeep, self._upkeep = self._upkeep, None
        if upkeep is not None:
            upkeep.stop()
        self.queues.close()
        self.taking.close()

    def as_uri(self, uri: str, include_password: bool = False, mask: str = "**") -> str:
        if uri.startswith(SCHEME):
            return uri
        return REDIS_PREFIX + (uri if include_password else mask_password(uri, mask))


def register(alias: str = "ferrow") -> None:
    """Makes `alias` (and "ferrow+redis://" and the other Redis schemes)
    name this transport in kombu's table of transports; importing this
    module does it."""
    path = "ferrow_tools.integrations.kombu_transport:Transport"
    TRANSPORT_ALIASES[alias] = path
    # After a failover kombu looks the transport up by the whole scheme.
    for scheme in REDIS_SCHEMES:
        TRANSPORT_ALIASES[REDIS_PREFIX + scheme] = path
    celery_features.enable_for(Transport.driver_type)


register()
