"""verify, dump and peek: they read queue.log on their own, so they work on a
queue that is damaged or whose process lock is stuck, and they never change a
file, take the process lock or create a queue.
"""

import argparse
import os
import sys
from typing import Any, Dict, List, Optional, Tuple

from .common import (
    FAILED,
    OK,
    PROG,
    emit_json,
    format_ms,
    queue_dir,
    replay,
    scan_log,
    show_body,
)
from ..files.logfile import (
    FILE_HEADER_LEN,
    LOG_NAME,
    Enqueue,
    Frame,
    Lease,
    LogError,
    LogScan,
    Record,
    Requeue,
    is_ready,
    kind_name,
    now_ms,
    open_log,
    read_body,
)
from .sub_queues import peek_sub_queues


def cmd_verify(args: argparse.Namespace) -> int:
    qdir = queue_dir(args.dir)
    undecodable: List[Tuple[int, str]] = []

    def on_frame(scan: LogScan, frame: Frame) -> None:
        if frame.decode_error is not None:
            undecodable.append((frame.offset, frame.decode_error))

    try:
        _, tail = scan_log(qdir, args, "verify", 0, on_frame)
    except LogError as e:
        # A header that is not a log's is damage to report here.
        intact = FILE_HEADER_LEN if e.short == "bad file magic" else 0
        report = {"ok": False, "records": 0, "bytes": intact, "message": e.short}
        print_verify(args, report, [str(e)])
        return FAILED
    problems: List[str] = []
    for offset, text in undecodable:
        if tail.damage is None or offset < tail.offset:
            problems.append("undecodable record at byte {}: {} (intact frame, but the next "
                            "open cuts the log there)".format(offset, text))
    if tail.damage is not None:
        problems.append("corrupt tail at byte {}: {}".format(tail.offset, tail.damage))
    report = {
        "ok": not problems,
        "records": tail.records,
        "bytes": tail.offset,
        "message": problems[0] if problems else "clean",
    }
    print_verify(args, report, problems[1:])
    return OK if report["ok"] else FAILED


def print_verify(args: argparse.Namespace, report: Dict[str, Any], more: List[str]) -> None:
    if args.json:
        emit_json(report)
        return
    print("{}: {}".format(os.path.join(args.dir, LOG_NAME), "clean" if report["ok"] else "DAMAGED"))
    print("  intact records: {}".format(report["records"]))
    print("  intact bytes:   {}".format(report["bytes"]))
    print("  message:        {}".format(report["message"]))
    for text in more:
        print("  also:           {}".format(text))


def record_text(offset: int, record: Record, body_bytes: Optional[int]) -> str:
    """One dump line: offset, kind, seq and the kind's fields."""
    head = "{:>12}  {:<11}  seq={}".format(offset, kind_name(record), record.seq)
    if isinstance(record, Enqueue):
        line = "{}  enqueued_ts_ms={} ({})  body_len={}".format(
            head, record.enqueued_ts_ms, format_ms(record.enqueued_ts_ms), record.body_len)
        if body_bytes is not None:
            line += "  body=" + show_body(record.body[:body_bytes], record.body_len)
        return line
    if isinstance(record, Lease):
        return "{}  deadline_ms={} ({})  deliveries={}".format(
            head, record.deadline_ms, format_ms(record.deadline_ms), record.deliveries)
    if isinstance(record, Requeue):
        return "{}  deliveries={}".format(head, record.deliveries)
    return head


def record_json(offset: int, size: int, record: Record, body_bytes: Optional[int]) -> str:
    """One dump JSON line. Every value is a number, a fixed word or hex
    digits, so the line is formatted directly (as json.dumps would)."""
    head = '{{"offset": {}, "kind": "{}", "size": {}, "seq": {}'.format(
        offset, kind_name(record), size, record.seq)
    if isinstance(record, Enqueue):
        line = '{}, "enqueued_ts_ms": {}, "body_len": {}'.format(
            head, record.enqueued_ts_ms, record.body_len)
        if body_bytes is not None:
            prefix = record.body[:body_bytes]
            line += ', "body_hex": "{}", "body_truncated": {}'.format(
                prefix.hex(), "true" if len(prefix) < record.body_len else "false")
        return line + "}"
    if isinstance(record, Lease):
        return '{}, "deadline_ms": {}, "deliveries": {}}}'.format(
            head, record.deadline_ms, record.deliveries)
    if isinstance(record, Requeue):
        return '{}, "deliveries": {}}}'.format(head, record.deliveries)
    return head + "}"


def cmd_dump(args: argparse.Namespace) -> int:
    qdir = queue_dir(args.dir)
    body_bytes = args.body_bytes if args.bodies else None
    header_done: List[bool] = []
    bad: List[int] = []
    write = sys.stdout.write

    def print_header(scan: LogScan) -> None:
        if header_done:
            return
        header_done.append(True)
        if args.json:
            emit_json({"kind": "header", "offset": 0, "format_version": scan.header.version,
                       "generation": scan.header.generation, "size": scan.size})
        else:
            print("# {}  format_version={}  generation={}  size={}".format(
                os.path.join(qdir, LOG_NAME), scan.header.version, scan.header.generation,
                scan.size))

    def on_frame(scan: LogScan, frame: Frame) -> None:
        print_header(scan)
        if frame.record is None:
            bad.append(frame.offset)
            if args.json:
                emit_json({"offset": frame.offset, "kind": "undecodable", "size": frame.size,
                           "error": frame.decode_error})
            else:
                print("{:>12}  {:<11}  {} (the next open cuts the log here)".format(
                    frame.offset, "undecodable", frame.decode_error))
            return
        if args.json:
            write(record_json(frame.offset, frame.size, frame.record, body_bytes) + "\n")
        else:
            write(record_text(frame.offset, frame.record, body_bytes) + "\n")

    scan, tail = scan_log(qdir, args, "dump", body_bytes or 0, on_frame)
    print_header(scan)
    if tail.damage is not None:
        if args.json:
            emit_json({"offset": tail.offset, "kind": "damage", "records": tail.records,
                       "error": tail.damage})
        else:
            print("# damaged at byte {}: {} (the next open cuts the log here; {} intact records "
                  "before it)".format(tail.offset, tail.damage, tail.records))
    elif args.json:
        emit_json({"offset": tail.offset, "kind": "end", "records": tail.records})
    else:
        print("# end at byte {}: {} records".format(tail.offset, tail.records))
    return FAILED if tail.damage is not None or bad else OK


def cmd_peek(args: argparse.Namespace) -> int:
    qdir = queue_dir(args.dir)
    view, _, note = replay(qdir, args)
    if note is not None:
        sys.stderr.write("{}: note: queue.log {}; the next open of the queue cuts it there, "
                         "so this shows the records before it\n".format(PROG, note))
    now = now_ms()
    present = list(view.messages())
    ready = [m for m in present if is_ready(m, now)]
    shown = ready[:args.n]
    if not args.json:
        print("{} ready of {} present ({} under an unexpired lease); {} shown".format(
            len(ready), len(present), len(present) - len(ready), len(shown)))
    with open_log(qdir) as f:
        for m in shown:
            prefix = read_body(f, m, args.body_bytes)
            lapsed = m.deadline_ms is not None
            if args.json:
                emit_json({"seq": m.seq, "deliveries": m.deliveries,
                           "enqueued_ts_ms": m.enqueued_ts_ms, "body_len": m.body_len,
                           "body_hex": prefix.hex(), "body_truncated": len(prefix) < m.body_len,
                           "lease_lapsed": lapsed})
            else:
                print("{:>8}  deliveries={}  enqueued={}  body_len={}  body={}{}".format(
                    m.seq, m.deliveries, format_ms(m.enqueued_ts_ms), m.body_len,
                    show_body(prefix, m.body_len), "  (lease lapsed)" if lapsed else ""))
    # Delayed, prioritised and expiring messages are in sub-queues beside it.
    peek_sub_queues(qdir, args, now)
    return OK
