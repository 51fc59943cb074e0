"""`ferrow-admin dead list|show|requeue|purge`: the dead letters of DIR, kept in
the queue DIR.dead (see deadletter.py). list and show read its log alone, like
peek; requeue and purge open the queues like any client.
"""

import argparse
import json
import os
import sys
from typing import BinaryIO, List, NamedTuple, Optional, Tuple

from .common import (
    FAILED,
    OK,
    PROG,
    AdminError,
    call,
    choose_dead_letter,
    emit_json,
    format_ms,
    open_queue,
    purge_confirmed,
    queue_dir,
    replay,
    show_dead_letter,
)
from ..deadletter import DeadLetter, dead_letter_dir
from ..deadletter import decode as decode_dead_letter
from ..files.logfile import Message, open_log, read_body

# Dead-letter header lines are short; a longer prefix is read only when the
# newline is not within this one.
HEADER_PREFIX = 4096


class DeadEntry(NamedTuple):
    """A message of the dead-letter queue: its id there, its header (None if
    the body is not a dead letter, with the reason in `error`) and the length
    of the original body."""

    seq: int
    header: Optional[DeadLetter]
    error: Optional[str]
    body_len: int
    message: Message


def dead_entry(f: BinaryIO, m: Message) -> DeadEntry:
    prefix = read_body(f, m, HEADER_PREFIX)
    if b"\n" not in prefix and len(prefix) < m.body_len:
        prefix = read_body(f, m)
    line, sep, _ = prefix.partition(b"\n")
    try:
        header = decode_dead_letter(line + sep)
    except ValueError as e:
        return DeadEntry(m.seq, None, str(e), m.body_len, m)
    return DeadEntry(m.seq, header, None, m.body_len - len(line) - 1, m)


def dead_entries(qdir: str, args: argparse.Namespace) -> List[DeadEntry]:
    """Every present message of the dead-letter queue DIR, read from its log
    (nothing is leased or changed)."""
    view, _, note = replay(qdir, args)
    if note is not None:
        sys.stderr.write("{}: note: {}/queue.log {}; showing the records before it\n".format(
            PROG, qdir, note))
    with open_log(qdir) as f:
        return [dead_entry(f, m) for m in view.messages()]


def dead_queue(args: argparse.Namespace) -> str:
    """DIR.dead, checked to be a queue directory (and DIR to be a queue)."""
    queue_dir(args.dir)
    dead = dead_letter_dir(args.dir)
    if not os.path.exists(dead):
        raise AdminError("{}: no such directory ({} has no dead letters)".format(dead, args.dir))
    return queue_dir(dead)


def find_dead(qdir: str, args: argparse.Namespace, wanted: int) -> DeadEntry:
    """The dead letter with id `wanted` in DIR.dead, or else the one that was
    message `wanted` of DIR."""
    entries = dead_entries(qdir, args)
    return choose_dead_letter([(e.seq, e.header.original_id if e.header else None, e)
                               for e in entries], wanted, qdir, args.dir)


def cmd_dead_list(args: argparse.Namespace) -> int:
    queue_dir(args.dir)
    dead = dead_letter_dir(args.dir)
    if not os.path.exists(dead):
        entries: List[DeadEntry] = []
    else:
        entries = dead_entries(queue_dir(dead), args)
    if not entries and not args.json:
        print("{}: no dead letters".format(args.dir))
        return OK
    for e in entries:
        h = e.header
        if args.json:
            if h is None:
                emit_json({"id": e.seq, "error": e.error, "body_len": e.body_len})
            else:
                emit_json({"id": e.seq, "original_id": h.original_id,
                           "deliveries": h.deliveries, "enqueued_ts_ms": h.enqueued_ts_ms,
                           "dead_ts_ms": h.dead_ts_ms, "reason": h.reason,
                           "body_len": e.body_len})
        elif h is None:
            print("{:>8}  ({})  size={}".format(e.seq, e.error, e.body_len))
        else:
            print("{:>8}  original_id={}  deliveries={}  dead={}  reason={}  body_len={}".format(
                e.seq, h.original_id, h.deliveries, format_ms(h.dead_ts_ms),
                json.dumps(h.reason), e.body_len))
    return OK


def cmd_dead_show(args: argparse.Namespace) -> int:
    qdir = dead_queue(args)
    entry = find_dead(qdir, args, args.id)
    with open_log(qdir) as f:
        data = read_body(f, entry.message)
    if entry.header is None:
        raise AdminError("{}: message {} is not a dead letter ({})".format(
            qdir, entry.seq, entry.error), FAILED)
    return show_dead_letter(args, entry.seq, decode_dead_letter(data))


def cmd_dead_requeue(args: argparse.Namespace) -> int:
    target = queue_dir(args.dir)
    qdir = dead_queue(args)
    if args.all:
        entries = dead_entries(qdir, args)
    else:
        entries = [find_dead(qdir, args, args.id)]
    status = OK
    moves: List[Tuple[int, bytes]] = []
    with open_log(qdir) as f:
        for entry in entries:
            if entry.header is None:
                sys.stderr.write("{}: {}: message {} is not a dead letter ({}); left in "
                                 "place\n".format(PROG, qdir, entry.seq, entry.error))
                status = FAILED
                continue
            moves.append((entry.seq, decode_dead_letter(read_body(f, entry.message)).body))
    if not moves:
        if status == OK:
            print("{}: no dead letters".format(args.dir))
        return status
    queue = open_queue(target)
    dead = open_queue(qdir)
    try:
        for seq, body in moves:
            # Enqueued first and acknowledged after: a crash in between leaves
            # the message in both queues, never in neither.
            new_seq = call(target, lambda: queue.enqueue(body))
            if call(qdir, lambda: dead.ack(seq)):
                print("requeued dead letter {} as id {} in {}".format(seq, new_seq, target))
            else:
                sys.stderr.write("{}: dead letter {} was enqueued as id {} in {}, but another "
                                 "process removed it from {} meanwhile\n".format(
                                     PROG, seq, new_seq, target, qdir))
                status = FAILED
    finally:
        del queue, dead
    return status


def cmd_dead_purge(args: argparse.Namespace) -> int:
    qdir = dead_queue(args)
    total, _ = purge_confirmed(qdir, args.yes, "dead letters")
    print("purged {}: {} dead letters removed".format(qdir, total))
    return OK
