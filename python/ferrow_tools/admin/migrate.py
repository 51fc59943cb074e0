"""Moving every present message from one queue target to another (a
directory to Redis and back), keeping body, enqueue time and delivery count.

At least once: messages are copied first and removed from the source after,
so a crash in between leaves them in both queues, never in neither. Into
Redis, each batch is copied and then removed. Into a directory, the new queue
is written whole beside it, checked by opening it, and renamed into place
before anything is removed; so the directory must not hold a queue yet (the
local queue has no call that sets an enqueue time or a delivery count, and a
queue that others may have open cannot be written around them).

Scheduled messages (put with a delay, a ttl or a priority) move with their
queue and keep their level, due time and expiry: from and to the level
sub-queues DIR.pL of a directory, and the level sets of a Redis queue.

Stop the producers and consumers of the source first: a message they lease
or add meanwhile is moved or left behind by the timing alone. A message that
is leased when the migration reads it is moved all the same, and is ready in
the destination (its delivery count kept): its lease is this queue's, and a
consumer that still works on it could not settle it there. The dead letters
(SRC.dead) move with the queue, to DST.dead, the same way.
"""
import argparse
import os
import shutil
import struct
import zlib
from typing import Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple

import ferrow

from .common import replay
from ..files.logfile import (FILE_HEADER_LEN, LOG_NAME, RECORD_MAGIC, Message, now_ms,
                             open_log, read_body)
from ..redis.queue import SNAPSHOT_PAGE, RedisQueue
from ..scheduling import envelope
from ..scheduling.naming import level_dir, level_dirs
from ..targets import dead_letter_target, describe, is_redis, open_queue

BATCH = SNAPSHOT_PAGE

# Payloads of the two records a moved message needs (integers little-endian).
_ENQUEUE = struct.Struct("<BQQI")  # type 1, seq, enqueued_ts_ms, body_len; body follows
_REQUEUE = struct.Struct("<BQI")  # type 4, seq, deliveries
_FRAME = struct.Struct("<4sII")  # magic, payload_len, CRC-32 of the payload


class Moved(NamedTuple):
    seq: int
    body: bytes
    deliveries: int
    enqueued_ts_ms: int
    leased: bool  # under a lease that had not lapsed when it was read
    # A scheduled message's level (None: a plain one), due time and expiry
    # (0: none), in ms since the epoch.
    level: Optional[int] = None
    due_ms: int = 0
    expires_ms: int = 0


class Migration(NamedTuple):
    """What one migration moved: messages, and how many were leased."""

    moved: int
    leased: int


class MigrationError(Exception):
    """A migration refused before anything was copied."""


Progress = Callable[[int, int], None]


def source_messages(src: str) -> Tuple[int, Iterator[List[Moved]]]:
    """How many messages SRC holds, and its messages in batches by id."""
    if is_redis(src):
        q = open_queue(src)
        assert isinstance(q, RedisQueue)
        total = q.stats()["total"]

        def pages() -> Iterator[List[Moved]]:
            first = 0
            while True:
                page = q.snapshot(first, BATCH)
                now = now_ms()
                if page:
                    yield [Moved(m.seq, m.body, m.deliveries, m.enqueued_ts_ms,
                                 m.deadline_ms is not None and m.deadline_ms > now,
                                 m.level, m.due_ms or 0, m.expires_ms or 0)
                           for m in page]
                if len(page) < BATCH:
                    return
                first = page[-1].seq + 1
        return total, pages()
    if src == ":memory:":
        raise MigrationError(":memory: queues belong to one process; nothing to migrate")
    if not os.path.isfile(os.path.join(src, LOG_NAME)):
        raise MigrationError("{}: not a queue directory".format(src))
    sources = [(None, src)] + [(level, path) for level, path in level_dirs(src)]
    present: List[Tuple[Optional[int], str, List[Message]]] = []
    for level, path in sources:
        # Opening first lets the queue cut a damaged tail and reclaim lapsed
        # leases, as any client would, before its log is read.
        ferrow.FerrowCore(path).available()
        view, _, _ = replay(path, argparse.Namespace(progress=False))
        present.append((level, path, list(view.messages())))

    now = now_ms()

    def batches() -> Iterator[List[Moved]]:
        for level, path, messages in present:
            with open_log(path) as f:
                for start in range(0, len(messages), BATCH):
                    yield [moved(level, m, read_body(f, m), now)
                           for m in messages[start:start + BATCH]]
    return sum(len(messages) for _, _, messages in present), batches()


def moved(level: Optional[int], m: Message, data: bytes, now: int) -> Moved:
    leased = m.deadline_ms is not None and m.deadline_ms > now
    if level is None:
        return Moved(m.seq, data, m.deliveries, m.enqueued_ts_ms, leased)
    opened = envelope.open_envelope(data)
    # A delayed message held until its due time is leased by no consumer;
    # its lease count is its deliveries plus the hold (see local.py).
    held = leased and opened.due_ms > now
    deliveries = max(m.deliveries - 1, 0) if opened.due_ms else m.deliveries
    return Moved(m.seq, opened.body, deliveries, m.enqueued_ts_ms, leased and not held, level,
                 opened.due_ms, opened.expires_ms)


def _frame(payload: bytes) -> bytes:
    return _FRAME.pack(RECORD_MAGIC, len(payload), zlib.crc32(payload)) + payload


def counting_leased(batches: Iterator[List[Moved]], leased: List[int]) -> Iterator[List[Moved]]:
    """The batches, counting their leased messages into leased[0]."""
    for batch in batches:
        leased[0] += sum(1 for m in batch if m.leased)
        yield batch


Origin = Tuple[Optional[int], int]  # (level or None, id in the source)


class NewDirectory:
    """One queue directory written from scratch (ids from 0) beside its
    final place, then checked and renamed into place."""

    def __init__(self, dst: str) -> None:
        if os.path.exists(os.path.join(dst, LOG_NAME)):
            raise MigrationError("{} holds a queue already; migrate into a directory writes a "
                                 "new queue (so that enqueue times and delivery counts are "
                                 "kept)".format(dst))
        self.dst = dst
        self.staging = os.path.normpath(dst) + ".migrating"
        shutil.rmtree(self.staging, ignore_errors=True)
        # The engine writes the header of an empty log; the records follow it.
        ferrow.FerrowCore(self.staging).flush()
        self.file = open(os.path.join(self.staging, LOG_NAME), "r+b")
        self.file.seek(FILE_HEADER_LEN)
        self.count = 0

    def write(self, messages: List[Moved]) -> None:
        out = bytearray()
        for m in messages:
            body = m.body if m.level is None else envelope.seal(m.body, m.due_ms, m.expires_ms)
            out += _frame(_ENQUEUE.pack(1, self.count, m.enqueued_ts_ms, len(body)) + body)
            # A delayed message delivered before has had its hold as well.
            leases = m.deliveries + 1 if m.deliveries and m.due_ms else m.deliveries
            if leases:
                out += _frame(_REQUEUE.pack(4, self.count, leases))
            self.count += 1
        self.file.write(out)

    def check(self) -> None:
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()
        check = ferrow.FerrowCore(self.staging)
        found = check.stats()["total"]
        report = check.verify_integrity()
        del check
        if found != self.count or not report["ok"]:
            raise MigrationError("the new queue in {} did not read back ({} of {} messages, {}); "
                                 "nothing was removed from the source".format(
                                     self.staging, found, self.count, report["message"]))

    def rename(self) -> None:
        if os.path.isdir(self.dst):
            os.rmdir(self.dst)  # an empty directory only: anything else stops the migration
        os.rename(self.staging, self.dst)


def write_new_directory(dst: str, batches: Iterator[List[Moved]],
                        progress: Progress, total: int) -> List[Origin]:
    """Writes the queue DST and the sub-queues of its scheduled messages
    from scratch and returns where in the source each message came from."""
    queues: Dict[Optional[int], NewDirectory] = {None: NewDirectory(dst)}
    moved: List[Origin] = []
    for batch in batches:
        for new_level in sorted({m.level for m in batch if m.level is not None}):
            if new_level not in queues:
                queues[new_level] = NewDirectory(level_dir(dst, new_level))
        for level, new in queues.items():
            new.write([m for m in batch if m.level == level])
        moved += [(m.level, m.seq) for m in batch]
        progress(len(moved), total)
    for new in queues.values():
        new.check()
    # Sub-queues first: the queue itself appearing last says the move is whole.
    for level in sorted(queues, key=lambda lv: -1 if lv is None else lv, reverse=True):
        queues[level].rename()
    return moved


def migrate(src: str, dst: str, progress: Optional[Progress] = None) -> Migration:
    """Moves every present message of SRC to DST; returns how many, and how
    many of them were leased (they are ready in DST)."""
    if describe(src) == describe(dst) or (not is_redis(src) and not is_redis(dst)
                                          and os.path.abspath(src) == os.path.abspath(dst)):
        raise MigrationError("source and destination are the same queue")
    if dst == ":memory:":
        raise MigrationError(":memory: queues belong to one process; nothing to migrate to")
    report: Progress = progress or (lambda done, total: None)
    total, found = source_messages(src)
    leased = [0]
    batches = counting_leased(found, leased)
    source = open_queue(src)
    sub_sources = {} if is_redis(src) else {level: ferrow.FerrowCore(path)
                                             for level, path in level_dirs(src)}

    def remove(origins: List[Origin]) -> None:
        """Acks moved messages where they came from (a Redis queue holds
        every level itself)."""
        for level in {level for level, _ in origins}:
            q = source if level is None or is_redis(src) else sub_sources[level]
            seqs = [seq for lv, seq in origins if lv == level]
            for start in range(0, len(seqs), BATCH):
                q.ack_batch(seqs[start:start + BATCH])

    if not is_redis(dst):
        moved = write_new_directory(dst, batches, report, total)
        remove(moved)
        return Migration(len(moved), leased[0])
    target = open_queue(dst)
    assert isinstance(target, RedisQueue)
    count = 0
    for batch in batches:
        target.import_messages([(m.body, m.enqueued_ts_ms, m.deliveries, m.level, m.due_ms,
                                 m.expires_ms) for m in batch])
        remove([(m.level, m.seq) for m in batch])
        count += len(batch)
        report(count, total)
    return Migration(count, leased[0])


def has_dead_letters(src: str) -> bool:
    """Whether SRC.dead holds any message (a directory is only looked at:
    opening it would make one)."""
    dead = dead_letter_target(src)
    if is_redis(dead):
        return bool(open_queue(dead).stats()["total"])
    return os.path.isfile(os.path.join(dead, LOG_NAME)) and bool(
        ferrow.FerrowCore(dead).stats()["total"])
