"""Every Ferrow queue on a Redis server, read without changing one: the
figures through a script run with EVAL_RO, which the server refuses to let
write, and the messages through the queue's own snapshot script, run the
same way (a server before 7.0, which lacks EVAL_RO, runs them as ordinary
scripts: they only read). No lease is handed back and no counter moves.

A queue is found by its meta key, "ferrow:{NAME}:meta"; a queue that was
never written to has none and is not listed.
"""
import os
import threading
import urllib.parse
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

from ..redis.connection import import_redis, make_client, node_runner
from ..redis.durability import read_policy
from ..redis.errors import mapped_errors
from ..redis.queue import DEFAULT_SOCKET_TIMEOUT_S, SNAPSHOT_PAGE, snapshot_rows
from ..redis.scripts import KEY_NAMES, SOURCES
from ..redis.url import RedisTarget, check_queue_name, parse, with_queue
from .directory_source import dead_letter_row
from .figures import STATS_KEYS, QueueFigures, delivery_histogram
from .grouping import DEAD_SUFFIX, QueueGroup, group
from .preview import PREVIEW_BYTES, preview
from .source import (
    DEAD_HEADER_BYTES,
    SEARCH_BYTES,
    DeadLetterRow,
    MessagePage,
    MessageRow,
    Search,
    UnknownQueue,
)

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "redis_figures.lua"),
          encoding="utf-8") as _f:
    FIGURES_SCRIPT = _f.read()
SNAPSHOT_SCRIPT = SOURCES["snapshot"][0]

META_PATTERN = "ferrow:{*}:meta"


def keys_of(name: str) -> List[str]:
    return ["ferrow:{{{}}}:{}".format(name, k) for k in KEY_NAMES]


def name_of_meta_key(key: Any) -> Optional[str]:
    text = key.decode("utf-8", "replace") if isinstance(key, bytes) else str(key)
    if text.startswith("ferrow:{") and text.endswith("}:meta"):
        return text[len("ferrow:{"):-len("}:meta")] or None
    return None


def server_url(url: str, one_queue: bool = False) -> RedisTarget:
    """The servers of a Redis URL that names no queue (or, with `one_queue`,
    of one that does)."""
    if one_queue:
        return parse(url)
    main, _, query = url.partition("?")
    if "queue" in urllib.parse.parse_qs(query, keep_blank_values=True):
        raise ValueError("serve takes a Redis URL without queue=: it shows every Ferrow queue "
                         "on the server")
    return parse("{}?{}".format(main, "&".join(p for p in (query, "queue=_") if p)))


def queue_of(url: str) -> str:
    return parse(url).queue


class Snap(NamedTuple):
    seq: int
    deadline_ms: Optional[int]
    deliveries: int
    enqueued_ts_ms: int
    body_len: int
    body: bytes


class RedisSource:
    kind = "redis"

    def __init__(self, url: str, one_queue: bool = False) -> None:
        self.base = server_url(url, one_queue)
        self.where = self.base.describe().rpartition("?")[0]
        socket_timeout = float(self.base.options.get("socket_timeout", DEFAULT_SOCKET_TIMEOUT_S))
        with mapped_errors(self.where):
            self._client = make_client(self.base, socket_timeout)
            policy = read_policy(node_runner(self._client, keys_of("_")[0]))
        self.persistent = policy.appendonly
        self._lock = threading.Lock()
        self._read_only_scripts = True
        self._expired_cache: Dict[str, Tuple[Tuple[int, ...], int]] = {}

    def _eval(self, script: str, name: str, *args: Any) -> Any:
        with mapped_errors(self.where):
            if self._read_only_scripts:
                try:
                    return self._client.eval_ro(script, len(KEY_NAMES), *keys_of(name), *args)
                except import_redis("redis.exceptions").ResponseError as e:
                    if "unknown command" not in str(e).lower():
                        raise
                    # A server before 7.0: the same scripts, which only read,
                    # run as ordinary ones.
                    self._read_only_scripts = False
            return self._client.eval(script, len(KEY_NAMES), *keys_of(name), *args)

    def groups(self) -> List[QueueGroup]:
        with mapped_errors(self.where):
            names = {name_of_meta_key(k)
                     for k in self._client.scan_iter(match=META_PATTERN, count=1000)}
        return group(sorted(n for n in names if n))

    def has(self, name: str) -> bool:
        with mapped_errors(self.where):
            return bool(self._client.exists(keys_of(name)[0]))

    def _known(self, name: str) -> str:
        try:
            check_queue_name(name)
        except ValueError:
            raise UnknownQueue(name) from None
        if not self.has(name):
            raise UnknownQueue(name)
        return name

    def target(self, name: str) -> str:
        return with_queue(self.base, self._known(name))

    # -- reading --------------------------------------------------------

    def figures(self, name: str) -> QueueFigures:
        self._known(name)
        now, ready, in_flight, memory, oldest, *counters = self._eval(FIGURES_SCRIPT, name)
        deliveries = [int(d) for d in counters.pop()]
        stats: Dict[str, Any] = dict(zip(("enqueued_total", "acked_total", "requeued_total",
                                          "dead_total", "next_seq", "live_bytes", "generation"),
                                         (int(c) for c in counters)))
        total = int(ready) + int(in_flight)
        # A message that was never delivered has no delivery count stored.
        deliveries += [0] * (total - len(deliveries))
        stats.update(ready=int(ready), in_flight=int(in_flight), total=total,
                     log_bytes=int(memory), persistent=self.persistent)
        age = max(0, int(now) - int(oldest)) / 1000 if int(oldest) >= 0 else 0.0
        dead_letters = expired = None
        if self.has(name + DEAD_SUFFIX):
            dead_letters, expired = self._dead_counts(name)
        return QueueFigures(name, {k: stats[k] for k in STATS_KEYS}, age,
                            delivery_histogram(deliveries), len(deliveries), sum(deliveries),
                            dead_letters, expired)

    def _dead_counts(self, name: str) -> Tuple[int, int]:
        """How many dead letters NAME.dead holds and how many of them expired;
        their headers are read again only when that queue changed."""
        dead = name + DEAD_SUFFIX
        _, ready, in_flight, _, _, *counters = self._eval(FIGURES_SCRIPT, dead)
        key = tuple(int(c) for c in counters[:-1])
        with self._lock:
            cached = self._expired_cache.get(dead)
        if cached is None or cached[0] != key:
            expired = sum(1 for r in self.dead_letters(name)
                          if r.header is not None and r.header.reason == "expired")
            cached = (key, expired)
            with self._lock:
                self._expired_cache[dead] = cached
        return int(ready) + int(in_flight), cached[1]

    def forget(self, name: str) -> None:
        """Nothing is kept of a Redis queue's figures."""

    def enqueues_per_minute(self, name: str) -> Optional[Dict[int, int]]:
        return None  # a Redis queue keeps no record of removed messages' times

    def _snapshot(self, name: str, body_bytes: int) -> List[Snap]:
        """Every present message with `body_bytes` of its body (all if -1),
        page by page."""
        rows: List[Snap] = []
        first = 0
        while True:
            page = snapshot_rows(self._eval(SNAPSHOT_SCRIPT, name, first, SNAPSHOT_PAGE,
                                            body_bytes))
            rows.extend(Snap(m.seq, m.deadline_ms, m.deliveries,
                             m.enqueued_ts_ms, m.body_len, m.body) for m in page)
            if len(page) < SNAPSHOT_PAGE:
                return rows
            first = rows[-1].seq + 1

    def messages(self, name: str, search: Search, first: int, count: int) -> MessagePage:
        self._known(name)
        found = self._snapshot(name, SEARCH_BYTES if search.text else PREVIEW_BYTES)
        if search.seq is not None:
            found = [r for r in found if r[0] == search.seq]
        if search.text:
            found = [r for r in found if search.text in r[5]]
        rows = [MessageRow(seq, deliveries, ts, deadline, size,
                           preview(body[:PREVIEW_BYTES], size))
                for seq, deadline, deliveries, ts, size, body in found[first:first + count]]
        return MessagePage(rows, len(found), first)

    def dead_letters(self, name: str) -> List[DeadLetterRow]:
        dead = name + DEAD_SUFFIX
        if not self.has(dead):
            return []
        return [dead_letter_row(seq, body, size)
                for seq, _, _, _, size, body in self._snapshot(dead, DEAD_HEADER_BYTES)]

    def dead_letter_bodies(self, name: str, seqs: Optional[List[int]]) -> Dict[int, bytes]:
        dead = name + DEAD_SUFFIX
        if not self.has(dead):
            return {}
        wanted = None if seqs is None else set(seqs)
        return {seq: body for seq, _, _, _, _, body in self._snapshot(dead, -1)
                if wanted is None or seq in wanted}

    def close(self) -> None:
        with mapped_errors(self.where):
            self._client.close()
