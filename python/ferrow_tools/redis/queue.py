"""`RedisQueue`: the queue of `ferrow.FerrowCore` kept by a Redis server.

Each call is one Lua script (see lua/) over the queue's keys, which share one
hash tag, so each call is atomic and runs on a Cluster too. A write is
followed, in the same round trip, by WAITAOF (where the server has it and
`sync_interval_ms` is 0) and by WAIT when `min_replicas` is set.
"""
from __future__ import annotations

import time
from typing import TYPE_CHECKING, Any, Dict, Generator, List, Optional, Sequence, Tuple, TypeVar

from . import arguments as conv
from .connection import make_client, node_runner
from .durability import ServerPolicy, check_policy, read_policy
from .errors import io_error, mapped_errors
from .scripts import KEY_NAMES, Scripts
from .url import RedisTarget, parse

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowStats, IntegrityReport

DEFAULT_LEASE_MS = 30_000
DEFAULT_SOCKET_TIMEOUT_S = 10.0
DEFAULT_WAIT_TIMEOUT_MS = 1000
# A blocking wait asks the server for at most this long at a time, so that a
# worker told to stop (and a socket time-out) is never kept waiting longer.
MAX_BLOCK_S = 0.5
# Messages per script in bulk reads and moves: big enough to be quick, small
# enough not to stall the server for other clients.
SNAPSHOT_PAGE = 1000

WRITE = True
READ = False

R = TypeVar("R")
# The steps of one call: they yield (script name, arguments, whether it
# writes) and are sent each script's reply.
Steps = Generator[Tuple[str, Sequence[Any], bool], Any, R]


class Snapshot:
    """A present message as `ferrow-admin` shows it, read without leasing.
    `level`, `expires_ms` and `due_ms` are None for a message put without
    priority, ttl or delay."""

    __slots__ = ("seq", "deadline_ms", "deliveries", "enqueued_ts_ms", "body_len", "body",
                 "level", "expires_ms", "due_ms")

    def __init__(self, seq: int, deadline_ms: int, deliveries: int, enqueued_ts_ms: int,
                 body_len: int, body: bytes, level: int = -1, expires_ms: int = -1,
                 due_ms: int = 0) -> None:
        self.seq = seq
        self.deadline_ms: Optional[int] = None if deadline_ms < 0 else deadline_ms
        self.deliveries = deliveries
        self.enqueued_ts_ms = enqueued_ts_ms
        self.body_len = body_len
        self.body = body
        self.level: Optional[int] = None if level < 0 else level
        self.expires_ms: Optional[int] = None if expires_ms < 0 else expires_ms
        self.due_ms: Optional[int] = due_ms or None


SNAPSHOT_FIELDS = 9  # fields per message in the reply of snapshot.lua


def snapshot_rows(flat: Sequence[Any]) -> List[Snapshot]:
    """The messages of a flat reply of the snapshot script."""
    return [Snapshot(int(flat[i]), int(flat[i + 1]), int(flat[i + 2]), int(flat[i + 3]),
                     int(flat[i + 4]), bytes(flat[i + 5]), int(flat[i + 6]),
                     int(flat[i + 7]), int(flat[i + 8]))
            for i in range(0, len(flat), SNAPSHOT_FIELDS)]


# The server notices that a blocked client's time-out has passed on its next
# round of housekeeping, up to 1/hz (100 ms by default) late. A wait that
# must end at a lease deadline or a due time therefore blocks on the server
# only until this long before it, and sleeps the rest here.
SERVER_TICK_S = 0.1


def wait_steps(timeout_s: float, until_lapse_ms: int) -> Tuple[float, float]:
    """(seconds to block on the server, seconds to sleep here) of one wait:
    a wait that ends at a deadline ends on time."""
    block = block_seconds(timeout_s, until_lapse_ms)
    if block <= 0 or until_lapse_ms < 0 or until_lapse_ms / 1000.0 > block:
        return block, 0.0
    if block <= SERVER_TICK_S:
        return 0.0, block
    return block - SERVER_TICK_S, 0.0


def block_seconds(timeout_s: float, until_lapse_ms: int) -> float:
    """How long a blocking wait may block: no longer than asked, than
    MAX_BLOCK_S, or than until the earliest lease lapses (-1: none); 0 when
    it should not block at all."""
    block = min(timeout_s, MAX_BLOCK_S)
    if until_lapse_ms >= 0:
        block = min(block, until_lapse_ms / 1000.0)
    # BLPOP takes 0 as "forever"; anything shorter than 1 ms is rounded up.
    return max(block, 0.001) if block > 0 else 0.0


def _option(options: Dict[str, Any], name: str, default: Any) -> Any:
    return options.pop(name, default)


def _flag(value: Any) -> bool:
    if isinstance(value, str):
        if value.lower() in ("1", "true", "yes", "on"):
            return True
        if value.lower() in ("0", "false", "no", "off", ""):
            return False
        raise ValueError("not a yes/no value: {!r}".format(value))
    return bool(value)


class RedisQueue:
    """A queue on Redis with the methods, conversions, results and exception
    classes of `ferrow.FerrowCore`. Open it with `ferrow_tools.open_queue`.

    Options (keyword arguments, or query parameters of the URL):
    `min_replicas` (int, default 0): each write waits for that many replicas
    and raises OSError when fewer confirmed within `wait_timeout_ms`
    (default 1000); `accept_server_policy` (bool): open even when the server's
    append-only file promises less than `sync_interval_ms`; `socket_timeout`
    (seconds, default 10).
    """

    def __init__(self, url: str, sync_interval_ms: Any = None, default_lease_ms: Any = None,
                 auto_compact_bytes: Any = None, **options: Any) -> None:
        self._sync_interval_ms = conv.optional_argument("sync_interval_ms", sync_interval_ms, 0)
        self._default_lease_ms = conv.optional_argument("default_lease_ms", default_lease_ms,
                                                        DEFAULT_LEASE_MS)
        # Nothing to compact on Redis; the argument is converted all the same.
        conv.optional_argument("auto_compact_bytes", auto_compact_bytes, 0)
        self.target: RedisTarget = parse(url)
        merged: Dict[str, Any] = dict(self.target.options)
        merged.update(options)
        self.min_replicas = int(_option(merged, "min_replicas", 0))
        self.wait_timeout_ms = int(_option(merged, "wait_timeout_ms", DEFAULT_WAIT_TIMEOUT_MS))
        accept = _flag(_option(merged, "accept_server_policy", False))
        socket_timeout = float(_option(merged, "socket_timeout", DEFAULT_SOCKET_TIMEOUT_S))
        self.socket_timeout = socket_timeout
        if merged:
            raise TypeError("unknown Redis queue option(s): {}".format(", ".join(sorted(merged))))
        if self.min_replicas < 0 or self.wait_timeout_ms < 0 or socket_timeout <= 0:
            raise ValueError("min_replicas and wait_timeout_ms must be >= 0, socket_timeout > 0")
        self.where = self.target.describe()
        self.keys = ["ferrow:{{{}}}:{}".format(self.target.queue, k) for k in KEY_NAMES]
        with mapped_errors(self.where):
            self._client = make_client(self.target, socket_timeout)
            self._run_on_node = node_runner(self._client, self.keys[0])
            self.policy: ServerPolicy = read_policy(self._run_on_node)
            check_policy(self.policy, self._sync_interval_ms, accept, self.where)
            self._scripts = Scripts(self._client)
        self._waits: List[Tuple[Any, ...]] = []
        if self._sync_interval_ms == 0 and self.policy.has_waitaof:
            self._waits.append(("WAITAOF", 1, self.min_replicas, self.wait_timeout_ms))
        elif self.min_replicas:
            self._waits.append(("WAIT", self.min_replicas, self.wait_timeout_ms))
        # A pipeline carries the script and its waits in one round trip; a
        # Cluster pipeline cannot carry keyless commands, so there they follow.
        self._pipelined = not hasattr(self._client, "get_node_from_key")

    def __repr__(self) -> str:
        return "RedisQueue({!r})".format(self.where)

    # -- the calls --------------------------------------------------------

    def _call(self, name: str, args: Sequence[Any], write: bool) -> Any:
        with mapped_errors(self.where):
            if not (write and self._waits):
                return self._scripts.run(name, self.keys, args)
            if self._pipelined:
                result, *confirmations = self._scripts.run_with(
                    name, self.keys, args, self._waits)
            else:
                result = self._scripts.run(name, self.keys, args)
                confirmations = [self._run_on_node(*wait) for wait in self._waits]
        self.check_confirmations(confirmations)
        return result

    def check_confirmations(self, confirmations: Sequence[Any]) -> None:
        """Raises OSError when the waits after a write confirmed too little."""
        for wait, confirmed in zip(self._waits, confirmations):
            self._check_confirmed(wait, confirmed)

    def _check_confirmed(self, wait: Tuple[Any, ...], confirmed: Any) -> None:
        if wait[0] == "WAITAOF":
            local, replicas = int(confirmed[0]), int(confirmed[1])
            if local < 1:
                raise io_error("the server did not confirm syncing its append-only file "
                               "within {} ms; the write stays in effect".format(
                                   self.wait_timeout_ms), self.where)
        else:
            replicas = int(confirmed)
        if replicas < self.min_replicas:
            raise io_error("{} of {} replicas confirmed the write within {} ms; it stays in "
                           "effect on the primary".format(replicas, self.min_replicas,
                                                          self.wait_timeout_ms), self.where)

    # Each call is written once, as steps that yield the scripts to run
    # (name, arguments, whether it writes) and get their replies back, so that
    # the asyncio queue (async_queue.py) makes the same conversions and reads
    # the same replies over its own connection.

    def _run(self, steps: Steps[R]) -> R:
        try:
            request = next(steps)
            while True:
                request = steps.send(self._call(*request))
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]

    def enqueue(self, body: Any) -> int:
        return self._run(self.enqueue_steps(body))

    def enqueue_steps(self, body: Any) -> Steps[int]:
        data = conv.argument("body", conv.to_bytes, body)
        conv.check_body_size(len(data))
        return int((yield ("enqueue", [data], WRITE)))

    def enqueue_batch(self, bodies: Any) -> List[int]:
        return self._run(self.enqueue_batch_steps(bodies))

    def enqueue_batch_steps(self, bodies: Any) -> Steps[List[int]]:
        data = conv.argument("bodies", conv.to_bytes_list, bodies)
        if not data:
            return []
        for item in data:
            conv.check_body_size(len(item))
        first = int((yield ("enqueue", data, WRITE)))
        return list(range(first, first + len(data)))

    def _lease_steps(self, max_count: int, lease_ms: int) -> Steps[List[DeliveredMessage]]:
        flat = yield ("dequeue", [max_count, lease_ms], WRITE)
        return [(int(flat[i]), bytes(flat[i + 1]), int(flat[i + 2]), int(flat[i + 3]))
                for i in range(0, len(flat), 4)]

    def dequeue(self, lease_ms: Any = None) -> Optional[DeliveredMessage]:
        return self._run(self.dequeue_steps(lease_ms))

    def dequeue_steps(self, lease_ms: Any = None) -> Steps[Optional[DeliveredMessage]]:
        lease = conv.optional_argument("lease_ms", lease_ms, self._default_lease_ms)
        got = yield from self._lease_steps(1, lease)
        return got[0] if got else None

    def dequeue_batch(self, max: Any, lease_ms: Any = None) -> List[DeliveredMessage]:
        return self._run(self.dequeue_batch_steps(max, lease_ms))

    def dequeue_batch_steps(self, max: Any, lease_ms: Any = None) -> Steps[List[DeliveredMessage]]:
        count = conv.required_u64("max", max)
        lease = conv.optional_argument("lease_ms", lease_ms, self._default_lease_ms)
        return (yield from self._lease_steps(count, lease))

    def ack(self, seq: Any) -> bool:
        return self._run(self.ack_steps(seq))

    def ack_steps(self, seq: Any) -> Steps[bool]:
        return int((yield ("ack", [conv.required_u64("seq", seq)], WRITE))) == 1

    def ack_batch(self, seqs: Any) -> int:
        return self._run(self.ack_batch_steps(seqs))

    def ack_batch_steps(self, seqs: Any) -> Steps[int]:
        ids = conv.argument("seqs", conv.to_u64_list, seqs)
        total = 0
        for start in range(0, len(ids), SNAPSHOT_PAGE):
            total += int((yield ("ack", ids[start:start + SNAPSHOT_PAGE], WRITE)))
        return total

    def nack(self, seq: Any, requeue: Any = True) -> bool:
        return self._run(self.nack_steps(seq, requeue))

    def nack_steps(self, seq: Any, requeue: Any = True) -> Steps[bool]:
        ident = conv.required_u64("seq", seq)
        again = conv.argument("requeue", conv.to_strict_bool, requeue)
        return int((yield ("nack", [ident, 1 if again else 0], WRITE))) == 1

    def extend_lease(self, seq: Any, lease_ms: Any = None) -> bool:
        return self._run(self.extend_lease_steps(seq, lease_ms))

    def extend_lease_steps(self, seq: Any, lease_ms: Any = None) -> Steps[bool]:
        ident = conv.required_u64("seq", seq)
        lease = conv.optional_argument("lease_ms", lease_ms, self._default_lease_ms)
        return int((yield ("extend_lease", [ident, lease], WRITE))) == 1

    def available(self) -> int:
        return self._run(self.available_steps())

    def available_steps(self) -> Steps[int]:
        return int((yield ("available", [], WRITE)))

    def in_flight(self) -> int:
        with mapped_errors(self.where):
            return int(self._client.zcard(self.keys[KEY_NAMES.index("leases")]))

    def stats(self) -> FerrowStats:
        return self._run(self.stats_steps())

    def stats_steps(self) -> Steps[FerrowStats]:
        (ready, in_flight, total, enqueued, acked, requeued, dead, next_seq, live, memory,
         generation) = (int(v) for v in (yield ("stats", [], WRITE))[:11])
        return {"ready": ready, "in_flight": in_flight, "total": total,
                "enqueued_total": enqueued, "acked_total": acked, "requeued_total": requeued,
                "dead_total": dead, "next_seq": next_seq, "live_bytes": live,
                "log_bytes": memory, "generation": generation,
                "persistent": self.policy.appendonly}

    def flush(self) -> None:
        """Waits until what was written is on the server's disk (WAITAOF, where
        the server has it) and on `min_replicas` replicas."""
        waits: List[Tuple[Any, ...]] = []
        if self.policy.has_waitaof:
            waits.append(("WAITAOF", 1 if self.policy.appendonly else 0, self.min_replicas,
                          self.wait_timeout_ms))
        elif self.min_replicas:
            waits.append(("WAIT", self.min_replicas, self.wait_timeout_ms))
        for wait in waits:
            with mapped_errors(self.where):
                confirmed = self._run_on_node(*wait)
            self._check_confirmed(wait, confirmed)

    def compact(self) -> None:
        """Nothing to do: the server reclaims a removed message's memory at once."""

    def purge(self) -> None:
        self._call("purge", [], WRITE)

    def verify_integrity(self) -> IntegrityReport:
        ok, messages, size, message = self._call("verify", [], READ)
        text = message.decode() if isinstance(message, bytes) else str(message)
        return {"ok": ok == 1, "records": int(messages), "bytes": int(size), "message": text}

    # -- beyond the local queue's methods ---------------------------------

    def wait_until_ready(self, timeout_s: float) -> None:
        """Blocks on the server until an enqueue or a hand-back wakes it, the
        earliest lease lapses or `timeout_s` (capped at MAX_BLOCK_S) passes.
        A wake-up promises nothing: the caller dequeues to find out."""
        with mapped_errors(self.where):
            until_lapse_ms = int(self._scripts.run("next_deadline", self.keys, []))
            block, sleep = wait_steps(timeout_s, until_lapse_ms)
            if block > 0:
                self._client.blpop([self.wake_key], block)
        if sleep > 0:
            time.sleep(sleep)

    @property
    def wake_key(self) -> str:
        """The list that enqueues and hand-backs push to, for blocking waits."""
        return self.keys[KEY_NAMES.index("wake")]

    def snapshot(self, first: int = 0, count: int = SNAPSHOT_PAGE,
                 body_bytes: Optional[int] = None) -> List[Snapshot]:
        """Up to `count` present messages with ids from `first` on, in id
        order, with `body_bytes` of each body (all if None). Leases nothing."""
        return snapshot_rows(self._call(
            "snapshot", [first, count, -1 if body_bytes is None else body_bytes], READ))

    # -- scheduled messages (see ferrow_tools.scheduling) ------------------

    def put_scheduled(self, bodies: Sequence[bytes], level: int, delay_ms: int,
                      ttl_ms: Optional[int]) -> List[int]:
        return self._run(self.put_scheduled_steps(bodies, level, delay_ms, ttl_ms))

    def put_scheduled_steps(self, bodies: Sequence[bytes], level: int, delay_ms: int,
                            ttl_ms: Optional[int]) -> Steps[List[int]]:
        """Puts messages of `level`, due `delay_ms` after now by the
        server's clock and expiring `ttl_ms` after it (None: never)."""
        data = conv.argument("bodies", conv.to_bytes_list, bodies)
        if not data:
            return []
        for item in data:
            conv.check_body_size(len(item))
        args = [level, delay_ms, -1 if ttl_ms is None else ttl_ms, *data]
        first = int((yield ("put", args, WRITE)))
        return list(range(first, first + len(data)))

    def take(self, max_count: int, lease_ms: int, order: Sequence[int],
             expired_to_dead: bool) -> Tuple[int, int, List[Tuple[Any, ...]]]:
        return self._run(self.take_steps(max_count, lease_ms, order, expired_to_dead))

    def take_steps(self, max_count: int, lease_ms: int, order: Sequence[int],
                   expired_to_dead: bool) -> Steps[Tuple[int, int, List[Tuple[Any, ...]]]]:
        """Leases up to `max_count` messages, looking at the levels in
        `order` (then at any other level in use); returns how many levels
        were looked at, how many are in use, and for each message (seq, body,
        deliveries, enqueued_ts_ms, level, expires_ms or None, expired,
        due_ms)."""
        # The script's defaults (drop what expired; every level, highest
        # first) save a reader of one level and its default two arguments.
        args: List[Any] = [max_count, lease_ms]
        if expired_to_dead or list(order) != [0]:
            args += [1 if expired_to_dead else 0, *order]
        flat = yield ("take", args, WRITE)
        in_use = int(flat[1])
        if not in_use:  # plain messages alone, in the reply of a plain dequeue
            return int(flat[0]), 0, [
                (int(flat[i]), bytes(flat[i + 1]), int(flat[i + 2]), int(flat[i + 3]), 0, None,
                 False, 0) for i in range(2, len(flat), 4)]
        out = []
        for i in range(2, len(flat), 8):
            expires = int(flat[i + 5])
            out.append((int(flat[i]), bytes(flat[i + 1]), int(flat[i + 2]), int(flat[i + 3]),
                        int(flat[i + 4]), None if expires < 0 else expires,
                        int(flat[i + 6]) == 1, int(flat[i + 7])))
        return int(flat[0]), in_use, out

    def scheduling_stats(self) -> Dict[str, int]:
        """The messages waiting for their due time and the expired ones dropped."""
        values = self._call("stats", [], WRITE)
        return {"delayed": int(values[11]), "expired_total": int(values[12])}

    def import_messages(self, messages: Sequence[Tuple[Any, ...]]) -> List[int]:
        """Adds (body, enqueued_ts_ms, deliveries) messages as ready ones with
        the next ids, keeping their times and counts; returns the ids. A
        scheduled message adds (level, due_ms, expires_ms) to its tuple, and
        keeps them too (level None, 0 and 0 for none)."""
        if not messages:
            return []
        args: List[Any] = []
        for body, enqueued_ts_ms, deliveries, *scheduled in messages:
            level, due_ms, expires_ms = scheduled if scheduled else (None, 0, 0)
            conv.check_body_size(len(body))
            args += [body, enqueued_ts_ms, deliveries, -1 if level is None else level, due_ms,
                     expires_ms]
        first = int(self._call("import", args, WRITE))
        return list(range(first, first + len(messages)))

    def close(self) -> None:
        with mapped_errors(self.where):
            self._client.close()
