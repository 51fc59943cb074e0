"""Follows one queue directory's log without opening the queue: the
dashboard's only way of reading a directory, so that watching a queue never
takes its process lock, leases a message or writes a record.

Each refresh reads only the records appended since the last one, the way a
client catches up; a new generation (compaction, purge) or a shorter file
(a damaged tail cut by the next open) means reading the whole log again.
"""
import os
import struct
import threading
import zlib
from collections import Counter
from contextlib import contextmanager
from typing import Dict, Iterator, List, Optional, Tuple

from ..files.logfile import (
    BAD_MAGIC,
    CRC_MISMATCH,
    FILE_HEADER_LEN,
    FRAME_HEADER_LEN,
    LOG_NAME,
    MAX_RECORD_LEN,
    RECORD_MAGIC,
    DecodeError,
    Enqueue,
    LogError,
    Message,
    QueueView,
    decode_at,
    read_header,
)

_FRAME_HEADER = struct.Struct("<4sII")
_CHUNK = 1 << 22
MINUTE_MS = 60_000
# Enqueue times are kept per minute for the last hour, for the overview's chart.
KEPT_MINUTES = 60


def open_log_quietly(path: str) -> int:
    """The log opened for reading without updating its access time where
    the kernel allows that (to the file's owner and to root), so that even
    the file's metadata stays as the queue's processes left it."""
    flags = os.O_RDONLY | os.O_CLOEXEC
    try:
        return os.open(path, flags | getattr(os, "O_NOATIME", 0))
    except PermissionError:
        return os.open(path, flags)


class FollowedView(QueueView):
    """The replayed state, with the one summary the figures read of every
    present message, taken without sorting or building a Message each."""

    def present(self) -> List[Tuple[int, int, Optional[int]]]:
        return [(entry[0], entry[3], entry[4])  # type: ignore[misc]
                for entry in self._messages.values()]


class LogFollower:
    """The replayed state of DIR/queue.log, brought up to date on demand."""

    def __init__(self, qdir: str) -> None:
        self.qdir = qdir
        self.lock = threading.Lock()
        self._reset(None, None)

    def _reset(self, inode: Optional[Tuple[int, int]], generation: Optional[int]) -> None:
        self.view = FollowedView()
        self.offset = FILE_HEADER_LEN
        self.inode = inode
        self.generation = generation
        # Where the intact records end for now, and why, when a frame there
        # is damaged rather than still being written.
        self.damage: Optional[str] = None
        self.enqueues_per_minute: Counter[int] = Counter()

    @contextmanager
    def synced(self) -> Iterator[Tuple[FollowedView, int]]:
        """The view brought up to date, and the open log file it describes
        (for reading bodies at the view's offsets), under the follower's lock."""
        with self.lock:
            fd = open_log_quietly(os.path.join(self.qdir, LOG_NAME))
            try:
                self._catch_up(fd)
                yield self.view, fd
            finally:
                os.close(fd)

    def refresh(self) -> None:
        with self.synced():
            pass

    def _catch_up(self, fd: int) -> None:
        st = os.fstat(fd)
        with os.fdopen(os.dup(fd), "rb") as f:
            generation = read_header(f, st.st_size).generation
        inode = (st.st_dev, st.st_ino)
        if inode != self.inode or generation != self.generation or st.st_size < self.offset:
            # A rewritten log holds the present messages only: the enqueues
            # counted so far stay, per minute, where the new log has fewer.
            counted = self.enqueues_per_minute
            self._reset(inode, generation)
            self._read_records(fd, st.st_size)
            for minute, count in counted.items():
                self.enqueues_per_minute[minute] = max(count, self.enqueues_per_minute[minute])
            return
        self._read_records(fd, st.st_size)

    def _read_records(self, fd: int, size: int) -> None:
        # A busy queue appends thousands of records a second, and every one
        # passes through here: names are looked up once, outside the loop.
        unpack_header = _FRAME_HEADER.unpack_from
        crc32 = zlib.crc32
        apply = self.view.apply
        per_minute = self.enqueues_per_minute
        offset = self.offset
        buf = b""
        pos = 0  # position in buf of the frame at `offset`
        damage = None
        try:
            while offset < size:
                if len(buf) - pos < FRAME_HEADER_LEN:
                    buf, pos = os.pread(fd, _CHUNK, offset), 0
                    if len(buf) < FRAME_HEADER_LEN:
                        break  # still being appended: the next refresh reads it
                magic, length, crc = unpack_header(buf, pos)
                if magic != RECORD_MAGIC or length > MAX_RECORD_LEN:
                    damage = BAD_MAGIC if magic != RECORD_MAGIC else "record length too large"
                    break
                end = pos + FRAME_HEADER_LEN + length
                if len(buf) < end:
                    buf, pos = os.pread(fd, max(_CHUNK, FRAME_HEADER_LEN + length), offset), 0
                    end = FRAME_HEADER_LEN + length
                    if len(buf) < end:
                        break
                start = pos + FRAME_HEADER_LEN
                if crc32(buf[start:end]) != crc:
                    # A record being written may show its length before its
                    # bytes: looked at again next time, and reported while so.
                    damage = CRC_MISMATCH
                    break
                try:
                    record = decode_at(buf, start, length, 0)
                except DecodeError as e:
                    damage = str(e)
                    break
                apply(record, offset)
                if buf[start] == 1:  # an Enqueue record
                    per_minute[record.enqueued_ts_ms // MINUTE_MS] += 1  # type: ignore[union-attr]
                offset += end - pos
                pos = end
        finally:
            self.offset = offset
            self.damage = damage
        self._forget_old_minutes()

    def _forget_old_minutes(self) -> None:
        if len(self.enqueues_per_minute) <= KEPT_MINUTES + 1:
            return
        newest = max(self.enqueues_per_minute)
        for minute in [m for m in self.enqueues_per_minute if m < newest - KEPT_MINUTES]:
            del self.enqueues_per_minute[minute]

    def figures_input(self) -> Tuple[Dict[str, int], List[Tuple[int, int, Optional[int]]]]:
        """The counters, and (enqueued_ts_ms, deliveries, deadline) of each
        present message, up to date."""
        with self.synced() as (view, _):
            counters = {"enqueued_total": view.enqueued_total, "acked_total": view.acked_total,
                        "requeued_total": view.requeued_total, "dead_total": view.dead_total,
                        "next_seq": view.next_seq, "live_bytes": view.live_bytes,
                        "log_bytes": self.offset, "generation": self.generation or 0,
                        "persistent": True}
            return counters, self.view.present()

    def messages(self) -> List[Message]:
        """The present messages by id, up to date."""
        with self.synced() as (view, _):
            return list(view.messages())


def read_bodies(fd: int, messages: List[Message], limit: int) -> List[bytes]:
    """The first `limit` bytes of each message's body, from the log file that
    `synced` handed out. A body the file no longer holds reads short."""
    return [os.pread(fd, min(limit, m.body_len), m.body_offset) for m in messages]


__all__ = ["LogFollower", "LogError", "read_bodies"]
