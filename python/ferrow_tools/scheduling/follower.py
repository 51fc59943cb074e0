"""What a get needs to know about a local sub-queue without calling it:
whether anything there is ready, when its next held message comes due, and
how many of its messages are not due yet.

A delayed message waits in its sub-queue leased until its due time (see
`local.py`), so the sub-queue's log holds every due time as a lease
deadline. `LogFollower` reads the records that the log gained since its
last look (read-only, without the process lock, as `ferrow-admin dump`
does) and keeps the few facts above; a rewritten log (a new file after a
compaction or purge) is read again from its start. `TrackedCore` keeps the
same facts for a sub-queue in memory, which only this process can change.
"""
from __future__ import annotations

import heapq
import os
import struct
import threading
import zlib
from typing import TYPE_CHECKING, Any, BinaryIO, Dict, List, Optional, Set, Tuple

from ..files.logfile import (FILE_HEADER_LEN, FRAME_HEADER_LEN, LOG_NAME, RECORD_MAGIC, Ack,
                             Dead, DecodeError, Enqueue, Lease, Requeue, decode_at)
from . import envelope
from .times import now_ms

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue

DEFAULT_LEASE_MS = 30_000

_FRAME_HEADER = struct.Struct("<4sII")


class SubQueueFacts:
    """The facts, changed record by record as the engine changes its state.
    Threads that share a queue object share them: every method takes the
    lock."""

    def __init__(self) -> None:
        self.ready: Set[int] = set()
        self.held: Dict[int, int] = {}  # seq -> lease deadline
        self.due: Dict[int, int] = {}  # seq -> due time, of delayed messages
        self._deadlines: List[Tuple[int, int]] = []  # heap of (deadline, seq), lazily cleaned
        self._lock = threading.Lock()

    def enqueued(self, seq: int, due_ms: int) -> None:
        with self._lock:
            self.ready.add(seq)
            if due_ms:
                self.due[seq] = due_ms

    def delayed(self, now_ms: int) -> Tuple[int, int]:
        """How many messages are not due yet: (of the ready ones to the
        engine, of the leased ones, that is held until due)."""
        ready = held = 0
        with self._lock:
            for seq, due in list(self.due.items()):
                if due <= now_ms:
                    del self.due[seq]  # due now: an ordinary message from here on
                elif seq in self.ready:
                    ready += 1
                elif seq in self.held:
                    held += 1
        return ready, held

    def leased(self, seq: int, deadline_ms: int) -> None:
        with self._lock:
            if seq not in self.ready and seq not in self.held:
                return
            self.ready.discard(seq)
            self.held[seq] = deadline_ms
            heapq.heappush(self._deadlines, (deadline_ms, seq))

    def requeued(self, seq: int) -> None:
        with self._lock:
            if seq in self.held:
                del self.held[seq]
                self.ready.add(seq)

    def removed(self, seq: int) -> None:
        with self._lock:
            self.ready.discard(seq)
            self.held.pop(seq, None)
            self.due.pop(seq, None)

    def has_ready(self, now_ms: int) -> bool:
        with self._lock:
            if self.ready:
                return True
            heap = self._deadlines
            while heap:
                deadline, seq = heap[0]
                if self.held.get(seq) == deadline:
                    return deadline <= now_ms
                heapq.heappop(heap)  # an old deadline of a message since leased anew or gone
            return False

    def expired_leases(self, now_ms: int) -> List[int]:
        """The held messages whose deadline has passed."""
        with self._lock:
            return [seq for seq, deadline in self.held.items() if deadline <= now_ms]

    def next_deadline_after(self, now_ms: int) -> Optional[int]:
        """The earliest lease deadline after now: when a held message comes
        due (or a consumer's lease lapses). One that has passed already makes
        the sub-queue ready, which a get takes care of without waiting."""
        with self._lock:
            heap = self._deadlines
            while heap:
                deadline, seq = heap[0]
                if self.held.get(seq) == deadline and deadline > now_ms:
                    return deadline
                if deadline > now_ms:
                    heapq.heappop(heap)  # an old deadline of a message since leased anew
                    continue
                # Passed: keep it for has_ready until the message is leased
                # anew, but look past it for the next one.
                later = [d for d, s in heap if d > now_ms and self.held.get(s) == d]
                return min(later) if later else None
            return None


class LogFollower:
    """The facts of the sub-queue in `queue_dir`, brought up to date by
    `refresh` from its log."""

    def __init__(self, queue_dir: str) -> None:
        self.path = os.path.join(queue_dir, LOG_NAME)
        self.facts = SubQueueFacts()
        self._file: Optional[BinaryIO] = None
        self._inode = -1
        self._offset = FILE_HEADER_LEN
        # One thread reads the log at a time; the others then see its facts.
        self._lock = threading.Lock()

    def close(self) -> None:
        with self._lock:
            self._close_file()

    def _close_file(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None

    def _restart(self, st: os.stat_result) -> None:
        self._close_file()
        self.facts = SubQueueFacts()
        self._offset = FILE_HEADER_LEN
        try:
            self._file = open(self.path, "rb")
        except FileNotFoundError:
            self._inode = -1
            return
        self._inode = os.fstat(self._file.fileno()).st_ino

    def refresh(self) -> SubQueueFacts:
        with self._lock:
            try:
                st = os.stat(self.path)
            except FileNotFoundError:
                if self._inode != -1:
                    self._restart_empty()
                return self.facts
            if st.st_ino != self._inode or st.st_size < self._offset:
                self._restart(st)
            if self._file is not None and st.st_size > self._offset:
                self._read_to(st.st_size)
            return self.facts

    def _restart_empty(self) -> None:
        self._close_file()
        self.facts = SubQueueFacts()
        self._inode = -1
        self._offset = FILE_HEADER_LEN

    def _read_to(self, size: int) -> None:
        assert self._file is not None
        self._file.seek(self._offset)
        data = self._file.read(size - self._offset)
        pos = 0
        end = len(data)
        facts = self.facts
        while end - pos >= FRAME_HEADER_LEN:
            magic, length, crc = _FRAME_HEADER.unpack_from(data, pos)
            if magic != RECORD_MAGIC or end - pos - FRAME_HEADER_LEN < length:
                break  # a frame being appended (or a damaged tail): look again later
            start = pos + FRAME_HEADER_LEN
            if zlib.crc32(memoryview(data)[start:start + length]) != crc:
                break
            try:
                record = decode_at(data, start, length, envelope.HEADER_LEN)
            except DecodeError:
                record = None
            if isinstance(record, Enqueue):
                facts.enqueued(record.seq, envelope.open_envelope(record.body).due_ms)
            elif isinstance(record, Lease):
                facts.leased(record.seq, record.deadline_ms)
            elif isinstance(record, Requeue):
                facts.requeued(record.seq)
            elif isinstance(record, (Ack, Dead)):
                facts.removed(record.seq)
            pos = start + length
        self._offset += pos


class TrackedCore:
    """A sub-queue in memory, which only this process can change, with every
    call that changes it passing by its facts: the same facts a log would
    give, without a log."""

    def __init__(self, core: FerrowQueue, default_lease_ms: Optional[int]) -> None:
        self.core = core
        self.facts = SubQueueFacts()
        self.default_lease_ms = DEFAULT_LEASE_MS if default_lease_ms is None else default_lease_ms

    def refresh(self) -> SubQueueFacts:
        return self.facts

    def close(self) -> None:
        pass

    def _leased(self, got: List[DeliveredMessage], lease_ms: Any) -> None:
        deadline = now_ms() + (self.default_lease_ms if lease_ms is None else int(lease_ms))
        for message in got:
            self.facts.leased(message[0], deadline)

    def dequeue(self, lease_ms: Any = None) -> Optional[DeliveredMessage]:
        self._expire()
        got = self.core.dequeue(lease_ms)
        if got is not None:
            self._leased([got], lease_ms)
        return got

    def dequeue_batch(self, max: Any, lease_ms: Any = None) -> List[DeliveredMessage]:
        self._expire()
        got = self.core.dequeue_batch(max, lease_ms)
        self._leased(got, lease_ms)
        return got

    def _expire(self) -> None:
        """The engine hands lapsed leases back before it delivers."""
        for seq in self.facts.expired_leases(now_ms()):
            self.facts.requeued(seq)

    def ack(self, seq: Any) -> bool:
        done = self.core.ack(seq)
        self.facts.removed(int(seq))
        return done

    def ack_batch(self, seqs: Any) -> int:
        ids = list(seqs)
        done = self.core.ack_batch(ids)
        for seq in ids:
            self.facts.removed(int(seq))
        return done

    def nack(self, seq: Any, requeue: Any = True) -> bool:
        done = self.core.nack(seq, requeue)
        if done and requeue:
            self.facts.requeued(int(seq))
        elif done:
            self.facts.removed(int(seq))
        return done

    def extend_lease(self, seq: Any, lease_ms: Any = None) -> bool:
        done = self.core.extend_lease(seq, lease_ms)
        if done:
            self._leased([(int(seq), b"", 0, 0)], lease_ms)
        return done

    def __getattr__(self, name: str) -> Any:
        return getattr(self.core, name)

