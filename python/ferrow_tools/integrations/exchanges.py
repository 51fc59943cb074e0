"""Exchanges, bindings and queue declarations shared by every process of a base.

kombu's virtual transports keep exchanges and bindings in the declaring
process. A publish in another process (a worker's task events to a monitor's
queue, a control command to every worker's queue, a reply to the caller's
queue) then finds no binding, so here they live with the queues: in a JSON
file under the base directory, rewritten whole under a lock and renamed into
place, or in Redis sets and hashes on the base's server, changed by single
commands. Every reader sees a whole table.

Queue declarations are kept too: the arguments of a queue (its priority
levels, its message time-to-live) matter to every process that publishes to
it, and a queue declared with `x-expires` (or `auto_delete` and consumed
once) goes, with its bindings, when no process used it for that long. A
consumer marks its queues used from time to time; any process of the base
sweeps the ones past their time.
"""
from __future__ import annotations

import contextlib
import fcntl
import json
import os
import shutil
import time
import uuid
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from ..redis.connection import import_redis, make_client
from ..redis.scripts import KEY_NAMES
from ..redis.url import parse
from ..scheduling.naming import level_dirs
from ..scheduling.times import MAX_PRIORITIES
from .named_queues import queue_target

__all__ = ["Binding", "QueueRecord", "SharedExchanges", "DirectoryExchanges",
           "RedisExchanges", "shared_exchanges", "BaseUnreachable", "RESERVED_PREFIX"]

# Names under a base directory that are not queues start with this.
RESERVED_PREFIX = ".ferrow-kombu"
STATE_FILE = RESERVED_PREFIX + ".json"
LOCK_FILE = RESERVED_PREFIX + ".lock"
DELETED_PREFIX = RESERVED_PREFIX + "-deleted-"
# A deleted queue's name is remembered this long, so that a publisher that
# raced the deletion and made its directory again has it swept away.
TOMBSTONE_MS = 10 * 60 * 1000
# Between routing key, pattern and queue in a stored binding (kombu's own choice).
SEP = "\x06\x16"


class Binding(NamedTuple):
    routing_key: str
    pattern: str
    queue: str


class QueueRecord(NamedTuple):
    """A declared queue: `incarnation` changes when it is deleted and made
    again; `expires_ms` is how long it may go unused."""
    incarnation: str
    expires_ms: Optional[int]
    arguments: Dict[str, Any]


class BaseUnreachable(ConnectionError):
    """The base cannot hold queues now: kombu and Celery count it as a lost
    connection, so they retry, or fail over to the next broker URL."""


def now_ms() -> int:
    return int(time.time() * 1000)


class SharedExchanges:
    """What every implementation offers; see the module's text."""

    def check(self) -> None:
        """Raises BaseUnreachable unless the base can hold queues now.
        Creates nothing."""
        raise NotImplementedError

    def declare_exchange(self, name: str, type: str) -> None:
        raise NotImplementedError

    def exchange_type(self, name: str) -> Optional[str]:
        raise NotImplementedError

    def delete_exchange(self, name: str) -> None:
        raise NotImplementedError

    def bind(self, exchange: str, binding: Binding) -> None:
        raise NotImplementedError

    def unbind(self, exchange: str, binding: Binding) -> None:
        raise NotImplementedError

    def table(self, exchange: str) -> List[Binding]:
        raise NotImplementedError

    def declare_queue(self, name: str, expires_ms: Optional[int],
                      arguments: Dict[str, Any]) -> QueueRecord:
        """Records the queue (keeping its incarnation if it was declared
        before) and marks it used."""
        raise NotImplementedError

    def queue(self, name: str) -> Optional[QueueRecord]:
        raise NotImplementedError

    def was_deleted(self, name: str) -> bool:
        """Whether the queue was deleted lately and not declared again."""
        raise NotImplementedError

    def touch(self, names: List[str]) -> None:
        """Marks the queues used now."""
        raise NotImplementedError

    def delete_queue(self, name: str, if_expired: bool = False) -> bool:
        """Deletes the queue, its messages and its bindings; with
        `if_expired`, only if it went unused past its time. True if it went."""
        raise NotImplementedError

    def expired(self) -> List[str]:
        """The declared queues that went unused past their time."""
        raise NotImplementedError


def _binding_text(b: Binding) -> str:
    return SEP.join([b.routing_key or "", b.pattern or "", b.queue])


def _binding_of(text: str) -> Binding:
    rk, pattern, queue = text.split(SEP)
    return Binding(rk, pattern, queue)


class DirectoryExchanges(SharedExchanges):
    """The tables of a base directory, in BASE/.ferrow-kombu.json. A queue's
    last use is the modification time of its directory."""

    def __init__(self, base: str) -> None:
        self.base = base
        self.path = os.path.join(base, STATE_FILE)
        self._raw: Optional[bytes] = None
        self._doc: Dict[str, Any] = {}
        self._seen: Optional[Tuple[int, int, int, int]] = None

    def check(self) -> None:
        # The nearest directory that exists must take new entries: the
        # base, or where it will be made at the first queue.
        probe = os.path.abspath(self.base)
        while not os.path.lexists(probe):
            probe = os.path.dirname(probe)
        if not os.path.isdir(probe):
            raise BaseUnreachable("no queues can be kept under {}: {} is not a directory".format(
                self.base, probe))
        if not os.access(probe, os.W_OK | os.X_OK):
            raise BaseUnreachable("no queues can be kept under {}: {} is not writable".format(
                self.base, probe))

    # -- the document

    def _read(self) -> Dict[str, Any]:
        # Every publish reads the tables: a stat tells whether they changed,
        # since each change renames a new file into place.
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            self._doc, self._raw, self._seen = {}, None, None
            return self._doc
        seen = (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
        if seen != self._seen:
            with open(self.path, "rb") as f:
                raw = f.read()
            if raw != self._raw:
                try:
                    self._doc, self._raw = json.loads(raw or b"{}"), raw
                except ValueError as exc:
                    # Written whole and renamed into place, so only damage
                    # from outside cuts it: routing by half a table would
                    # lose messages without a word.
                    raise OSError("Ferrow I/O error: the exchange tables {} are damaged ({}); "
                                  "remove the file and declare the exchanges and queues "
                                  "again".format(self.path, exc)) from exc
            self._seen = seen
        return self._doc

    @contextlib.contextmanager
    def _update(self) -> Iterator[Dict[str, Any]]:
        """The document to change, under the base's lock; written back whole."""
        os.makedirs(self.base, exist_ok=True)
        fd = os.open(os.path.join(self.base, LOCK_FILE), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC,
                     0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            doc = json.loads(json.dumps(self._read()))
            yield doc
            raw = json.dumps(doc, sort_keys=True).encode()
            if raw != self._raw:
                tmp = "{}.{}.tmp".format(self.path, os.getpid())
                with open(tmp, "wb") as f:
                    f.write(raw)
                    f.flush()
                    os.fsync(f.fileno())
                os.replace(tmp, self.path)
                dir_fd = os.open(self.base, os.O_RDONLY | os.O_CLOEXEC)
                try:
                    os.fsync(dir_fd)
                finally:
                    os.close(dir_fd)
                self._doc, self._raw = doc, raw
        finally:
            os.close(fd)

    # -- exchanges and bindings

    def declare_exchange(self, name: str, type: str) -> None:
        if self._read().get("exchanges", {}).get(name) == type:
            return
        with self._update() as doc:
            doc.setdefault("exchanges", {})[name] = type

    def exchange_type(self, name: str) -> Optional[str]:
        found: Optional[str] = self._read().get("exchanges", {}).get(name)
        return found

    def delete_exchange(self, name: str) -> None:
        with self._update() as doc:
            doc.get("exchanges", {}).pop(name, None)
            doc.get("bindings", {}).pop(name, None)

    def bind(self, exchange: str, binding: Binding) -> None:
        text = _binding_text(binding)
        if text in self._read().get("bindings", {}).get(exchange, []):
            return
        with self._update() as doc:
            table = doc.setdefault("bindings", {}).setdefault(exchange, [])
            if text not in table:
                table.append(text)

    def unbind(self, exchange: str, binding: Binding) -> None:
        text = _binding_text(binding)
        with self._update() as doc:
            table = doc.get("bindings", {}).get(exchange, [])
            if text in table:
                table.remove(text)

    def table(self, exchange: str) -> List[Binding]:
        return [_binding_of(t) for t in self._read().get("bindings", {}).get(exchange, [])]

    # -- queues

    def declare_queue(self, name: str, expires_ms: Optional[int],
                      arguments: Dict[str, Any]) -> QueueRecord:
        record = self.queue(name)
        if record is None or (record.expires_ms, record.arguments) != (expires_ms, arguments):
            with self._update() as doc:
                queues = doc.setdefault("queues", {})
                incarnation = queues.get(name, {}).get("incarnation") or uuid.uuid4().hex
                queues[name] = {"incarnation": incarnation, "expires_ms": expires_ms,
                                "arguments": arguments, "declared_ms": now_ms()}
                doc.get("deleted", {}).pop(name, None)
            record = self.queue(name)
            assert record is not None
        self.touch([name])
        return record

    def queue(self, name: str) -> Optional[QueueRecord]:
        found = self._read().get("queues", {}).get(name)
        return None if found is None else QueueRecord(
            found["incarnation"], found["expires_ms"], found["arguments"])

    def was_deleted(self, name: str) -> bool:
        return name in self._read().get("deleted", {})

    def touch(self, names: List[str]) -> None:
        for name in names:
            with contextlib.suppress(FileNotFoundError):
                os.utime(os.path.join(self.base, name))

    def _past_its_time(self, name: str, found: Dict[str, Any]) -> bool:
        if found["expires_ms"] is None:
            return False
        try:
            used_ms = os.stat(os.path.join(self.base, name)).st_mtime * 1000
        except FileNotFoundError:  # declared, its directory not made (yet)
            used_ms = found["declared_ms"]
        return bool(now_ms() - used_ms > found["expires_ms"])

    def expired(self) -> List[str]:
        names = [name for name, found in self._read().get("queues", {}).items()
                 if self._past_its_time(name, found)]
        # Directories that a racing publisher made again after their deletion.
        names += [name for name in self._read().get("deleted", {})
                  if os.path.isdir(os.path.join(self.base, name))]
        return names

    def delete_queue(self, name: str, if_expired: bool = False) -> bool:
        doomed: List[str] = []
        with self._update() as doc:
            found = doc.get("queues", {}).get(name)
            if if_expired and found is not None and not self._past_its_time(name, found):
                return False
            doc.get("queues", {}).pop(name, None)
            for exchange, table in doc.get("bindings", {}).items():
                table[:] = [t for t in table if _binding_of(t).queue != name]
            deleted = doc.setdefault("deleted", {})
            deleted[name] = now_ms()
            for old in [n for n, at in deleted.items() if now_ms() - at > TOMBSTONE_MS]:
                del deleted[old]
            # Renamed under the lock, with the sub-queues of its levels: a
            # declaration after this makes a new one.
            queue_dir = os.path.join(self.base, name)
            for path in [queue_dir] + [p for _, p in level_dirs(queue_dir)]:
                with contextlib.suppress(FileNotFoundError):
                    doomed.append(os.path.join(self.base, DELETED_PREFIX + uuid.uuid4().hex))
                    os.rename(path, doomed[-1])
        for path in doomed:
            shutil.rmtree(path, ignore_errors=True)
        return True


# The keys of a Redis queue beside KEY_NAMES: its delayed messages, levels
# and expiries, and the ready messages of each level ("ready:L").
SCHEDULING_KEY_NAMES = ("due", "levels", "expires", "dues")


def queue_keys(name: str) -> List[str]:
    """Every key a Redis queue may have."""
    names = list(KEY_NAMES) + list(SCHEDULING_KEY_NAMES)
    names += ["ready:{}".format(level) for level in range(MAX_PRIORITIES)]
    return ["ferrow:{{{}}}:{}".format(name, k) for k in names]


class RedisExchanges(SharedExchanges):
    """The tables of a Redis base, under keys "ferrow-kombu:{tables}:..." (one
    hash slot, so a Cluster keeps them together): a hash of exchange types,
    a set of bindings per exchange, a hash of queue declarations, a hash of
    last uses and a hash of lately deleted queues."""

    PREFIX = "ferrow-kombu:{tables}:"

    def __init__(self, base: str, socket_timeout: float = 10.0) -> None:
        self.base = base
        self.client = make_client(parse(queue_target(base, "tables")), socket_timeout)

    def check(self) -> None:
        rex = import_redis("redis.exceptions")
        try:
            self.client.ping()
        except rex.RedisError as exc:
            raise BaseUnreachable("the Redis server of {} does not answer: {}".format(
                parse(queue_target(self.base, "tables")).describe().partition("?")[0],
                exc)) from exc

    def _key(self, *parts: str) -> str:
        return self.PREFIX + ":".join(parts)

    def _now_ms(self) -> int:
        # The server's clock, which every process of the base shares: a
        # consumer's clock running behind would have its queues swept.
        seconds, micros = self.client.time()
        return int(seconds) * 1000 + int(micros) // 1000

    def declare_exchange(self, name: str, type: str) -> None:
        self.client.hset(self._key("exchanges"), name, type)

    def exchange_type(self, name: str) -> Optional[str]:
        found = self.client.hget(self._key("exchanges"), name)
        return None if found is None else bytes(found).decode()

    def delete_exchange(self, name: str) -> None:
        self.client.hdel(self._key("exchanges"), name)
        self.client.delete(self._key("bindings", name))

    def bind(self, exchange: str, binding: Binding) -> None:
        pipe = self.client.pipeline()
        pipe.sadd(self._key("bindings", exchange), _binding_text(binding))
        # Each queue's bindings, to remove them with the queue.
        pipe.sadd(self._key("bound", binding.queue), exchange + SEP + _binding_text(binding))
        pipe.execute()

    def unbind(self, exchange: str, binding: Binding) -> None:
        pipe = self.client.pipeline()
        pipe.srem(self._key("bindings", exchange), _binding_text(binding))
        pipe.srem(self._key("bound", binding.queue), exchange + SEP + _binding_text(binding))
        pipe.execute()

    def table(self, exchange: str) -> List[Binding]:
        return [_binding_of(bytes(t).decode())
                for t in self.client.smembers(self._key("bindings", exchange))]

    def declare_queue(self, name: str, expires_ms: Optional[int],
                      arguments: Dict[str, Any]) -> QueueRecord:
        record = self.queue(name)
        incarnation = uuid.uuid4().hex if record is None else record.incarnation
        text = json.dumps({"incarnation": incarnation, "expires_ms": expires_ms,
                           "arguments": arguments}, sort_keys=True)
        pipe = self.client.pipeline()
        pipe.hset(self._key("queues"), name, text)
        pipe.hset(self._key("used"), name, self._now_ms())
        pipe.hdel(self._key("deleted"), name)
        pipe.execute()
        return QueueRecord(incarnation, expires_ms, arguments)

    def queue(self, name: str) -> Optional[QueueRecord]:
        found = self.client.hget(self._key("queues"), name)
        if found is None:
            return None
        doc = json.loads(found)
        return QueueRecord(doc["incarnation"], doc["expires_ms"], doc["arguments"])

    def was_deleted(self, name: str) -> bool:
        return bool(self.client.hexists(self._key("deleted"), name))

    def touch(self, names: List[str]) -> None:
        if names:
            now = self._now_ms()
            self.client.hset(self._key("used"), mapping={n: now for n in names})

    def expired(self) -> List[str]:
        queues = self.client.hgetall(self._key("queues"))
        used = self.client.hgetall(self._key("used"))
        now = self._now_ms()
        names = []
        for raw_name, text in queues.items():
            expires_ms = json.loads(text)["expires_ms"]
            if expires_ms is not None and now - int(used.get(raw_name, 0)) > expires_ms:
                names.append(bytes(raw_name).decode())
        return names

    def delete_queue(self, name: str, if_expired: bool = False) -> bool:
        if if_expired and name not in self.expired():
            return False
        bound = [bytes(m).decode() for m in self.client.smembers(self._key("bound", name))]
        pipe = self.client.pipeline()
        for member in bound:
            exchange, _, text = member.partition(SEP)
            pipe.srem(self._key("bindings", exchange), text)
        pipe.delete(self._key("bound", name))
        pipe.hdel(self._key("queues"), name)
        pipe.hdel(self._key("used"), name)
        now = self._now_ms()
        pipe.hset(self._key("deleted"), name, now)
        pipe.execute()
        deleted = self.client.hgetall(self._key("deleted"))
        old = [n for n, at in deleted.items() if now - int(at) > TOMBSTONE_MS]
        if old:
            self.client.hdel(self._key("deleted"), *old)
        # The queue's own keys live in its own hash slot.
        self.client.delete(*queue_keys(name))
        return True


def shared_exchanges(base: str, redis: bool) -> SharedExchanges:
    return RedisExchanges(base) if redis else DirectoryExchanges(base)
