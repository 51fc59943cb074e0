"""What a get needs to know about a local sub-queue without calling it:
whether anything there is ready, when its next held message comes due, and
how many of a message's leases were holds rather than deliveries.

A delayed message waits in its sub-queue leased until its due time (see
`local.py`), so the sub-queue's log holds every due time as a lease
deadline. `LogFollower` reads the records that the log gained since its
last look (read-only, without the process lock, as `ferrow-admin dump`
does) and keeps the few facts above; a rewritten log (a new file after a
compaction or purge) is read again from its start. `OwnIndex` keeps the same
facts for a sub-queue in memory, which only this process can change.
"""
from __future__ import annotations

import heapq
import os
import struct
import zlib
from typing import BinaryIO, Dict, List, Optional, Set, Tuple

from ..files.logfile import (FILE_HEADER_LEN, FRAME_HEADER_LEN, LOG_NAME, RECORD_MAGIC, Ack,
                             Dead, DecodeError, Enqueue, Lease, Requeue, decode_at)
from . import envelope

_FRAME_HEADER = struct.Struct("<4sII")
# A hold is a lease aimed at the due time; the engine reads its clock a
# moment after the holder did, so its deadline may lie this much later.
HOLD_SLACK_MS = 5


class SubQueueFacts:
    """The facts, changed record by record as the engine changes its state."""

    def __init__(self) -> None:
        self.ready: Set[int] = set()
        self.held: Dict[int, int] = {}  # seq -> lease deadline
        self.due: Dict[int, int] = {}  # seq -> due_ms, for delayed messages
        self.holds: Dict[int, int] = {}  # seq -> deliveries counted by its holds
        self._deadlines: List[Tuple[int, int]] = []  # heap of (deadline, seq), lazily cleaned

    def enqueued(self, seq: int, due_ms: int) -> None:
        self.ready.add(seq)
        if due_ms:
            self.due[seq] = due_ms

    def leased(self, seq: int, deadline_ms: int, deliveries: int) -> None:
        if seq not in self.ready and seq not in self.held:
            return
        self.ready.discard(seq)
        self.held[seq] = deadline_ms
        heapq.heappush(self._deadlines, (deadline_ms, seq))
        due = self.due.get(seq)
        if due is not None and deadline_ms <= due + HOLD_SLACK_MS:
            self.holds[seq] = deliveries

    def requeued(self, seq: int) -> None:
        if seq in self.held:
            del self.held[seq]
            self.ready.add(seq)

    def removed(self, seq: int) -> None:
        self.ready.discard(seq)
        self.held.pop(seq, None)
        self.due.pop(seq, None)
        self.holds.pop(seq, None)

    def _first_deadline(self) -> Optional[int]:
        heap = self._deadlines
        while heap:
            deadline, seq = heap[0]
            if self.held.get(seq) == deadline:
                return deadline
            heapq.heappop(heap)
        return None

    def has_ready(self, now_ms: int) -> bool:
        if self.ready:
            return True
        first = self._first_deadline()
        return first is not None and first <= now_ms

    def next_deadline_after(self, now_ms: int) -> Optional[int]:
        """The earliest lease deadline after now: when a held message comes
        due (or a consumer's lease lapses). One that has passed already makes
        the sub-queue ready, which a get takes care of without waiting."""
        heap = self._deadlines
        while heap:
            deadline, seq = heap[0]
            if self.held.get(seq) == deadline and deadline > now_ms:
                return deadline
            if deadline > now_ms:
                heapq.heappop(heap)  # an old deadline of a message since leased anew
                continue
            # Passed: keep it for has_ready until the message is leased anew,
            # but look past it for the next one.
            return _first_after(heap, self.held, now_ms)
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

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None

    def _restart(self, st: os.stat_result) -> None:
        self.close()
        self.facts = SubQueueFacts()
        self._offset = FILE_HEADER_LEN
        try:
            self._file = open(self.path, "rb")
        except FileNotFoundError:
            self._inode = -1
            return
        self._inode = os.fstat(self._file.fileno()).st_ino

    def refresh(self) -> SubQueueFacts:
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
        self.close()
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
                facts.leased(record.seq, record.deadline_ms, record.deliveries)
            elif isinstance(record, Requeue):
                facts.requeued(record.seq)
            elif isinstance(record, (Ack, Dead)):
                facts.removed(record.seq)
            pos = start + length
        self._offset += pos


class OwnIndex:
    """The facts of a sub-queue in memory, fed by this process's own calls."""

    def __init__(self) -> None:
        self.facts: SubQueueFacts = OwnFacts()

    def refresh(self) -> SubQueueFacts:
        return self.facts

    def close(self) -> None:
        pass


class OwnFacts(SubQueueFacts):
    """For a sub-queue in memory: acks and hand-backs made through message
    objects pass by this index, so it never claims that nothing is ready; its
    deadlines are those of the holds and delayed puts made here."""

    def has_ready(self, now_ms: int) -> bool:
        return True

    def leased(self, seq: int, deadline_ms: int, deliveries: int) -> None:
        self.held[seq] = deadline_ms
        super().leased(seq, deadline_ms, deliveries)

    def next_deadline_after(self, now_ms: int) -> Optional[int]:
        heap = self._deadlines
        while heap and heap[0][0] <= now_ms:
            seq = heapq.heappop(heap)[1]
            if self.held.get(seq, now_ms + 1) <= now_ms:
                del self.held[seq]
        return heap[0][0] if heap else None


def _first_after(heap: List[Tuple[int, int]], held: Dict[int, int], now_ms: int) -> Optional[int]:
    later = [d for d, seq in heap if d > now_ms and held.get(seq) == d]
    return min(later) if later else None
