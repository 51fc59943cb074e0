"""Moving every present message from one queue target to another (a
directory to Redis and back), keeping body, enqueue time and delivery count.

At least once: messages are copied first and removed from the source after,
so a crash in between leaves them in both queues, never in neither. Into
Redis, each batch is copied and then removed. Into a directory, the new queue
is written whole beside it, checked by opening it, and renamed into place
before anything is removed; so the directory must not hold a queue yet (the
local queue has no call that sets an enqueue time or a delivery count, and a
queue that others may have open cannot be written around them).

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
from typing import Callable, Iterator, List, NamedTuple, Optional, Tuple

import ferrow

from .common import replay
from ..files.logfile import FILE_HEADER_LEN, LOG_NAME, RECORD_MAGIC, now_ms, open_log, read_body
from ..redis.queue import SNAPSHOT_PAGE, RedisQueue
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
                                 m.deadline_ms is not None and m.deadline_ms > now)
                           for m in page]
                if len(page) < BATCH:
                    return
                first = page[-1].seq + 1
        return total, pages()
    if src == ":memory:":
        raise MigrationError(":memory: queues belong to one process; nothing to migrate")
    if not os.path.isfile(os.path.join(src, LOG_NAME)):
        raise MigrationError("{}: not a queue directory".format(src))
    # Opening first lets the queue cut a damaged tail and reclaim lapsed
    # leases, as any client would, before its log is read.
    ferrow.FerrowCore(src).available()
    view, _, _ = replay(src, argparse.Namespace(progress=False))
    present = list(view.messages())

    now = now_ms()

    def batches() -> Iterator[List[Moved]]:
        with open_log(src) as f:
            for start in range(0, len(present), BATCH):
                yield [Moved(m.seq, read_body(f, m), m.deliveries, m.enqueued_ts_ms,
                             m.deadline_ms is not None and m.deadline_ms > now)
                       for m in present[start:start + BATCH]]
    return len(present), batches()


def _frame(payload: bytes) -> bytes:
    return _FRAME.pack(RECORD_MAGIC, len(payload), zlib.crc32(payload)) + payload


def counting_leased(batches: Iterator[List[Moved]], leased: List[int]) -> Iterator[List[Moved]]:
    """The batches, counting their leased messages into leased[0]."""
    for batch in batches:
        leased[0] += sum(1 for m in batch if m.leased)
        yield batch


def write_new_directory(dst: str, batches: Iterator[List[Moved]],
                        progress: Progress, total: int) -> List[int]:
    """Writes the queue DST from scratch (ids from 0) and returns the source
    ids it holds, in order."""
    if os.path.exists(os.path.join(dst, LOG_NAME)):
        raise MigrationError("{} holds a queue already; migrate into a directory writes a new "
                             "queue (so that enqueue times and delivery counts are kept)"
                             .format(dst))
    staging = os.path.normpath(dst) + ".migrating"
    shutil.rmtree(staging, ignore_errors=True)
    # The engine writes the header of an empty log; the records follow it.
    ferrow.FerrowCore(staging).flush()
    moved: List[int] = []
    with open(os.path.join(staging, LOG_NAME), "r+b") as f:
        f.seek(FILE_HEADER_LEN)
        for batch in batches:
            out = bytearray()
            for m in batch:
                seq = len(moved)
                out += _frame(_ENQUEUE.pack(1, seq, m.enqueued_ts_ms, len(m.body)) + m.body)
                if m.deliveries:
                    out += _frame(_REQUEUE.pack(4, seq, m.deliveries))
                moved.append(m.seq)
            f.write(out)
            progress(len(moved), total)
        f.flush()
        os.fsync(f.fileno())
    check = ferrow.FerrowCore(staging)
    found = check.stats()["total"]
    report = check.verify_integrity()
    del check
    if found != len(moved) or not report["ok"]:
        raise MigrationError("the new queue in {} did not read back ({} of {} messages, {}); "
                             "nothing was removed from the source".format(
                                 staging, found, len(moved), report["message"]))
    if os.path.isdir(dst):
        os.rmdir(dst)  # an empty directory only: anything else stops the migration here
    os.rename(staging, dst)
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
    if not is_redis(dst):
        moved = write_new_directory(dst, batches, report, total)
        for start in range(0, len(moved), BATCH):
            source.ack_batch(moved[start:start + BATCH])
        return Migration(len(moved), leased[0])
    target = open_queue(dst)
    assert isinstance(target, RedisQueue)
    count = 0
    for batch in batches:
        target.import_messages([(m.body, m.enqueued_ts_ms, m.deliveries) for m in batch])
        source.ack_batch([m.seq for m in batch])
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
