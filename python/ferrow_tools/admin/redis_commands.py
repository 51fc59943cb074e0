"""The ferrow-admin commands that read a log or a lock file, for a Redis queue.

A Redis queue has neither: the scripts keep its state in the server, so
`verify` runs verify_integrity(), `dump` and `peek` read the present messages
without leasing them, `compact` and `unlock` have nothing to do, and the dead
letters are read from the sibling queue NAME.dead the same way. The commands
that only call the queue (purge) are shared with directories.
"""
import argparse
import json
import sys
from typing import Any, Dict, Iterator, List, Optional

from .common import (FAILED, OK, PROG, AdminError, call, choose_dead_letter, dead_letters_row,
                     emit_json, format_ms, no_such_redis_queue, open_target, print_stats,
                     purge_confirmed, queue_exists, show_body, show_dead_letter)
from ..deadletter import decode as decode_dead_letter
from ..files.logfile import Message, now_ms
from .prometheus import prometheus_text
from ..redis.queue import SNAPSHOT_PAGE, RedisQueue, Snapshot
from ..targets import dead_letter_target, describe


def redis_queue(target: str) -> RedisQueue:
    q = open_target(target)
    assert isinstance(q, RedisQueue)
    return q


def existing_redis_queue(target: str) -> RedisQueue:
    """The queue, which must have been used: on a server every name opens,
    so a mistyped one would otherwise show an empty queue."""
    q = redis_queue(target)
    if not queue_exists(call(target, q.stats)):
        raise no_such_redis_queue(target)
    return q


def present(q: RedisQueue, target: str, body_bytes: int = 0) -> Iterator[Snapshot]:
    """Every present message, by id, read page by page."""
    first = 0
    while True:
        page = call(target, lambda: q.snapshot(first, SNAPSHOT_PAGE, body_bytes))
        yield from page
        if len(page) < SNAPSHOT_PAGE:
            return
        first = page[-1].seq + 1


class SnapshotView:
    """The present messages in the shape the Prometheus output reads."""

    def __init__(self, messages: List[Snapshot]) -> None:
        self._messages = messages

    def messages(self) -> Iterator[Message]:
        for m in self._messages:
            yield Message(m.seq, m.enqueued_ts_ms, m.body_len, -1, m.deliveries, m.deadline_ms)


def cmd_stats(args: argparse.Namespace) -> int:
    q = existing_redis_queue(args.dir)
    stats: Dict[str, Any] = dict(call(args.dir, q.stats))
    # Delayed messages count in the total; expired ones dropped in dead_total too.
    stats.update(call(args.dir, q.scheduling_stats))
    if args.prometheus:
        view = SnapshotView(list(present(q, args.dir)))
        sys.stdout.write(prometheus_text(describe(args.dir), stats, view, now_ms()))
        return OK
    dead_target = dead_letter_target(args.dir)
    dead_count = call(dead_target, redis_queue(dead_target).stats)["total"]
    if args.json:
        emit_json(dict(stats, dead_letters=dead_count))
    else:
        print_stats(stats, dead_letters_row(dead_count, describe(dead_target),
                                            describe(args.dir)))
    return OK


def cmd_verify(args: argparse.Namespace) -> int:
    report = call(args.dir, existing_redis_queue(args.dir).verify_integrity)
    if args.json:
        emit_json(dict(report))
    else:
        print("{}: {}".format(describe(args.dir), "clean" if report["ok"] else "DAMAGED"))
        print("  messages checked: {}".format(report["records"]))
        print("  live bytes:       {}".format(report["bytes"]))
        print("  message:          {}".format(report["message"]))
    return OK if report["ok"] else FAILED


def message_fields(m: Snapshot, now: int) -> Dict[str, Any]:
    fields = {"seq": m.seq, "deliveries": m.deliveries, "enqueued_ts_ms": m.enqueued_ts_ms,
              "body_len": m.body_len, "deadline_ms": m.deadline_ms,
              "lease_lapsed": m.deadline_ms is not None and m.deadline_ms <= now}
    # Messages put with a priority, ttl or delay say so.
    for key, value in (("level", m.level), ("expires_ms", m.expires_ms), ("due_ms", m.due_ms)):
        if value is not None:
            fields[key] = value
    return fields


def is_delayed(m: Snapshot, now: int) -> bool:
    return m.deadline_ms is None and m.due_ms is not None and m.due_ms > now


def print_message(m: Snapshot, now: int, json_out: bool, with_body: bool) -> None:
    fields = message_fields(m, now)
    if json_out:
        if with_body:
            fields.update(body_hex=m.body.hex(), body_truncated=len(m.body) < m.body_len)
        emit_json(fields)
        return
    state = ("leased until {}{}".format(format_ms(m.deadline_ms),
                                        " (lapsed)" if fields["lease_lapsed"] else "")
             if m.deadline_ms is not None else
             "delayed until {}".format(format_ms(m.due_ms))
             if m.due_ms is not None and is_delayed(m, now) else "ready")
    if m.level is not None:
        state += "  level={}".format(m.level)
    if m.expires_ms is not None:
        state += "  expires={}{}".format(format_ms(m.expires_ms),
                                         " (expired)" if m.expires_ms <= now else "")
    line = "{:>8}  deliveries={}  enqueued={}  body_len={}  {}".format(
        m.seq, m.deliveries, format_ms(m.enqueued_ts_ms), m.body_len, state)
    if with_body:
        line += "  body=" + show_body(m.body, m.body_len)
    print(line)


def cmd_dump(args: argparse.Namespace) -> int:
    q = existing_redis_queue(args.dir)
    now = now_ms()
    count = 0
    if not args.json:
        print("# {}: a Redis queue keeps no log; its present messages by id".format(
            describe(args.dir)))
    for m in present(q, args.dir, args.body_bytes if args.bodies else 0):
        print_message(m, now, args.json, args.bodies)
        count += 1
    if args.json:
        emit_json({"kind": "end", "messages": count})
    else:
        print("# {} messages".format(count))
    return OK


def cmd_peek(args: argparse.Namespace) -> int:
    q = existing_redis_queue(args.dir)
    now = now_ms()
    messages = list(present(q, args.dir, args.body_bytes))
    delayed = [m for m in messages if is_delayed(m, now)]
    ready = [m for m in messages if (m.deadline_ms is None or m.deadline_ms <= now)
             and not is_delayed(m, now)]
    shown = (ready + delayed)[:args.n]
    if not args.json:
        print("{} ready of {} present ({} under an unexpired lease{}); {} shown".format(
            len(ready), len(messages), len(messages) - len(ready) - len(delayed),
            ", {} delayed".format(len(delayed)) if delayed else "", len(shown)))
    for m in shown:
        print_message(m, now, args.json, True)
    return OK


def cmd_compact(args: argparse.Namespace) -> int:
    call(args.dir, redis_queue(args.dir).compact)
    print("{}: nothing to compact: the server frees a message's memory when it is removed"
          .format(describe(args.dir)))
    return OK


def cmd_unlock(args: argparse.Namespace) -> int:
    print("{}: a Redis queue has no process lock; nothing to do".format(describe(args.dir)))
    return OK


def dead_letters(args: argparse.Namespace) -> List[Snapshot]:
    target = dead_letter_target(args.dir)
    dead = redis_queue(target)
    if not queue_exists(call(target, dead.stats)):
        existing_redis_queue(args.dir)  # no dead letters, or no such queue?
        return []
    return list(present(dead, target, -1))


def cmd_dead_list(args: argparse.Namespace) -> int:
    entries = dead_letters(args)
    if not entries and not args.json:
        print("{}: no dead letters".format(describe(args.dir)))
    for e in entries:
        try:
            h = decode_dead_letter(e.body)
        except ValueError as err:
            if args.json:
                emit_json({"id": e.seq, "error": str(err), "body_len": e.body_len})
            else:
                print("{:>8}  ({})  size={}".format(e.seq, err, e.body_len))
            continue
        if args.json:
            emit_json({"id": e.seq, "original_id": h.original_id, "deliveries": h.deliveries,
                       "enqueued_ts_ms": h.enqueued_ts_ms, "dead_ts_ms": h.dead_ts_ms,
                       "reason": h.reason, "body_len": len(h.body)})
        else:
            print("{:>8}  original_id={}  deliveries={}  dead={}  reason={}  body_len={}".format(
                e.seq, h.original_id, h.deliveries, format_ms(h.dead_ts_ms),
                json.dumps(h.reason), len(h.body)))
    return OK


def original_id(entry: Snapshot) -> Optional[int]:
    try:
        return decode_dead_letter(entry.body).original_id
    except ValueError:
        return None


def find_dead(args: argparse.Namespace, wanted: int) -> Snapshot:
    """The dead letter with id `wanted` in NAME.dead, or else the one that
    was message `wanted` of NAME."""
    return choose_dead_letter([(e.seq, original_id(e), e) for e in dead_letters(args)], wanted,
                              describe(dead_letter_target(args.dir)), describe(args.dir))


def cmd_dead_show(args: argparse.Namespace) -> int:
    entry = find_dead(args, args.id)
    try:
        h = decode_dead_letter(entry.body)
    except ValueError as err:
        raise AdminError("message {} is not a dead letter ({})".format(entry.seq, err), FAILED)
    return show_dead_letter(args, entry.seq, h)


def cmd_dead_requeue(args: argparse.Namespace) -> int:
    entries = dead_letters(args) if args.all else [find_dead(args, args.id)]
    queue = open_target(args.dir)
    dead = open_target(dead_letter_target(args.dir))
    status = OK
    for entry in entries:
        try:
            body = decode_dead_letter(entry.body).body
        except ValueError as err:
            sys.stderr.write("{}: message {} is not a dead letter ({}); left in place\n".format(
                PROG, entry.seq, err))
            status = FAILED
            continue
        # Enqueued first and acknowledged after: a crash in between leaves
        # the message in both queues, never in neither.
        new_seq = call(args.dir, lambda: queue.enqueue(body))
        if call(args.dir, lambda: dead.ack(entry.seq)):
            print("requeued dead letter {} as id {} in {}".format(
                entry.seq, new_seq, describe(args.dir)))
        else:
            sys.stderr.write("{}: dead letter {} was enqueued as id {}, but another process "
                             "removed it meanwhile\n".format(PROG, entry.seq, new_seq))
            status = FAILED
    if not entries:
        print("{}: no dead letters".format(describe(args.dir)))
    return status


def cmd_dead_purge(args: argparse.Namespace) -> int:
    target = dead_letter_target(args.dir)
    if not queue_exists(call(target, redis_queue(target).stats)):
        existing_redis_queue(args.dir)
        print("{}: no dead letters".format(describe(args.dir)))
        return OK
    total, _ = purge_confirmed(target, args.yes, "dead letters")
    print("purged {}: {} dead letters removed".format(describe(target), total))
    return OK
