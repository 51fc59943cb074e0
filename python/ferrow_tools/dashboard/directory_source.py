"""The queues of a base directory, or one queue directory, read from their
logs (log_follower.py) and never opened.

A queue's name is its path below the base. A request names a queue by that
name only, and is answered from the queues found by walking the base, so no
name leads to a path outside it: walking follows no symbolic link, and a
directory whose real path leaves the base is not a queue of it.
"""
import os
import threading
import time
from typing import Dict, List, Optional, Tuple

from ..deadletter import decode as decode_dead_letter
from ..files.logfile import LOG_NAME, Message, now_ms
from .figures import QueueFigures, figures_of
from .grouping import DEAD_SUFFIX, QueueGroup, group, parent_of
from .log_follower import LogFollower, read_bodies
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

# How deep below the base queues are looked for, and how long a walk is
# trusted before the next one.
MAX_DEPTH = 4
RESCAN_S = 2.0
# Figures that took this long to compute are served again for up to
# FIGURES_TTL_S.
SLOW_FIGURES_S = 0.01
FIGURES_TTL_S = 1.0


def is_queue_dir(path: str) -> bool:
    log = os.path.join(path, LOG_NAME)
    return os.path.isfile(log) and not os.path.islink(log) and not os.path.islink(path)


class DirectorySource:
    kind = "directory"

    def __init__(self, root: str) -> None:
        if not os.path.isdir(root):
            raise ValueError("{}: no such directory".format(root))
        self.where = root
        self.root = os.path.realpath(root)
        self.single = is_queue_dir(self.root)
        self._lock = threading.Lock()
        self._dirs: Dict[str, str] = {}
        self._scanned_at = -RESCAN_S
        self._followers: Dict[str, LogFollower] = {}
        self._expired_cache: Dict[str, Tuple[object, int]] = {}
        self._figures_cache: Dict[str, Tuple[float, QueueFigures]] = {}

    # -- finding the queues ---------------------------------------------

    def _scan(self) -> Dict[str, str]:
        if self.single:
            name = os.path.basename(self.root)
            found = {name: self.root}
            # Its dead letters and sub-queues live beside it, by name.
            beside = os.path.dirname(self.root)
            try:
                entries = os.listdir(beside)
            except OSError:
                entries = []
            for entry in entries:
                owner = parent_of(entry)
                if owner is not None and owner[0] == name and is_queue_dir(
                        os.path.join(beside, entry)):
                    found[entry] = os.path.join(beside, entry)
            return found
        found = {}
        for dirpath, dirnames, _ in os.walk(self.root):
            depth = os.path.relpath(dirpath, self.root).count(os.sep)
            keep = []
            for d in sorted(dirnames):
                path = os.path.join(dirpath, d)
                if os.path.islink(path):
                    continue
                if is_queue_dir(path) and self._inside(path):
                    found[os.path.relpath(path, self.root)] = path
                elif depth + 1 < MAX_DEPTH:
                    keep.append(d)
            dirnames[:] = keep
        return found

    def _inside(self, path: str) -> bool:
        real = os.path.realpath(path)
        return real.startswith(self.root + os.sep)

    def _queues(self) -> Dict[str, str]:
        with self._lock:
            if time.monotonic() - self._scanned_at >= RESCAN_S:
                self._dirs = self._scan()
                self._scanned_at = time.monotonic()
                for gone in set(self._followers) - set(self._dirs):
                    del self._followers[gone]
                    self._figures_cache.pop(gone, None)
            return self._dirs

    def groups(self) -> List[QueueGroup]:
        return group(list(self._queues()))

    def _follower(self, name: str) -> LogFollower:
        path = self._queues().get(name)
        if path is None:
            raise UnknownQueue(name)
        with self._lock:
            follower = self._followers.get(name)
            if follower is None:
                follower = self._followers[name] = LogFollower(path)
            return follower

    def target(self, name: str) -> str:
        path = self._queues().get(name)
        if path is None:
            raise UnknownQueue(name)
        return path

    def has(self, name: str) -> bool:
        return name in self._queues()

    # -- reading --------------------------------------------------------

    def figures(self, name: str) -> QueueFigures:
        """A queue's figures. Computing them walks every present message, so
        for a queue where that takes a while they are served again for up to
        FIGURES_TTL_S, whoever asks (each open page, each scrape, the
        sampler); a small queue's are always fresh."""
        t = time.monotonic()
        with self._lock:
            cached = self._figures_cache.get(name)
        if cached is not None and t - cached[0] < FIGURES_TTL_S:
            return cached[1]
        counters, present = self._follower(name).figures_input()
        dead_letters = expired = None
        dead = name + DEAD_SUFFIX
        if self.has(dead):
            dead_letters = len(self._follower(dead).figures_input()[1])
            expired = self._expired(dead)
        figures = figures_of(name, counters, present, now_ms(), dead_letters, expired)
        if time.monotonic() - t >= SLOW_FIGURES_S:
            with self._lock:
                self._figures_cache[name] = (t, figures)
        return figures

    def forget(self, name: str) -> None:
        """Drops what is kept of a queue's figures, after changing it."""
        with self._lock:
            self._figures_cache.pop(name, None)

    def _expired(self, dead: str) -> int:
        """Dead letters taken out as expired, read again only when the
        dead-letter log changed."""
        follower = self._follower(dead)
        with follower.synced():
            key = (follower.inode, follower.generation, follower.offset)
        cached = self._expired_cache.get(dead)
        if cached is None or cached[0] != key:
            count = sum(1 for row in self.dead_letters_of(dead)
                        if row.header is not None and row.header.reason == "expired")
            cached = self._expired_cache[dead] = (key, count)
        return cached[1]

    def enqueues_per_minute(self, name: str) -> Optional[Dict[int, int]]:
        follower = self._follower(name)
        with follower.synced():
            return dict(follower.enqueues_per_minute)

    def messages(self, name: str, search: Search, first: int, count: int) -> MessagePage:
        with self._follower(name).synced() as (view, fd):
            found: List[Message] = list(view.messages())
            if search.seq is not None:
                found = [m for m in found if m.seq == search.seq]
            if search.text:
                bodies = read_bodies(fd, found, SEARCH_BYTES)
                found = [m for m, body in zip(found, bodies) if search.text in body]
            page = found[first:first + count]
            rows = [MessageRow(m.seq, m.deliveries, m.enqueued_ts_ms, m.deadline_ms, m.body_len,
                               preview(body, m.body_len))
                    for m, body in zip(page, read_bodies(fd, page, PREVIEW_BYTES))]
        return MessagePage(rows, len(found), first)

    def dead_letters(self, name: str) -> List[DeadLetterRow]:
        dead = name + DEAD_SUFFIX
        return self.dead_letters_of(dead) if self.has(dead) else []

    def dead_letters_of(self, dead: str) -> List[DeadLetterRow]:
        with self._follower(dead).synced() as (view, fd):
            messages = list(view.messages())
            rows = [dead_letter_row(m.seq, body, m.body_len)
                    for m, body in zip(messages, read_bodies(fd, messages, DEAD_HEADER_BYTES))]
        return rows

    def dead_letter_bodies(self, name: str, seqs: Optional[List[int]]) -> Dict[int, bytes]:
        dead = name + DEAD_SUFFIX
        if not self.has(dead):
            return {}
        with self._follower(dead).synced() as (view, fd):
            chosen = [m for m in view.messages() if seqs is None or m.seq in seqs]
            return {m.seq: body for m, body in zip(chosen, read_bodies(fd, chosen, m_len(chosen)))}

    def close(self) -> None:
        pass


def m_len(messages: List[Message]) -> int:
    return max((m.body_len for m in messages), default=0)


def dead_letter_row(seq: int, prefix: bytes, stored_len: int) -> DeadLetterRow:
    """A row of the dead-letter list from the first bytes of its stored body
    (the header line, then the original body)."""
    line, sep, rest = prefix.partition(b"\n")
    try:
        header = decode_dead_letter(line + sep)
    except ValueError as e:
        return DeadLetterRow(seq, None, str(e), stored_len, preview(prefix, stored_len))
    body_len = stored_len - len(line) - 1
    return DeadLetterRow(seq, header, None, body_len, preview(rest[:PREVIEW_BYTES], body_len))
