"""The sub-queues of a queue directory as `stats` and `peek` show them: the
scheduled messages of each level in DIR.pL (see ferrow_tools.scheduling),
with their due times and expiries read from their envelopes."""

import argparse
import sys
from typing import Any, Dict, List, NamedTuple, Tuple

from ..files.logfile import Message, open_log, read_body
from ..scheduling import envelope
from ..scheduling.naming import level_dirs
from .common import call, emit_json, format_ms, open_queue, print_stats, replay, show_body


class Scheduled(NamedTuple):
    message: Message
    due_ms: int
    expires_ms: int
    body_len: int
    body: bytes  # the first bytes of the body, envelope removed

    def state(self, now: int) -> str:
        """"delayed", "ready" or "leased" (a lapsed lease is ready)."""
        deadline = self.message.deadline_ms
        if deadline is not None and deadline > now:
            return "delayed" if self.due_ms > now else "leased"
        return "delayed" if self.due_ms > now else "ready"


def sub_queues(qdir: str) -> List[Tuple[str, str]]:
    """("pL", directory) of each level sub-queue of DIR that exists."""
    return [("p{}".format(level), path) for level, path in level_dirs(qdir)]


def scheduled(sub_dir: str, args: argparse.Namespace, body_bytes: int) -> List[Scheduled]:
    """The present messages of a sub-queue, read from its log."""
    view, _, note = replay(sub_dir, args)
    if note is not None:
        sys.stderr.write("note: {}/queue.log {}\n".format(sub_dir, note))
    out = []
    with open_log(sub_dir) as f:
        for m in view.messages():
            raw = read_body(f, m, envelope.HEADER_LEN + body_bytes)
            opened = envelope.open_envelope(raw)
            sealed = len(opened.body) < len(raw)
            out.append(Scheduled(m, opened.due_ms, opened.expires_ms,
                                 m.body_len - (envelope.HEADER_LEN if sealed else 0),
                                 opened.body[:body_bytes]))
    return out


def sub_queue_stats(qdir: str, args: argparse.Namespace, now: int) -> Dict[str, Dict[str, Any]]:
    """Each sub-queue's stats, with how many of its messages are delayed."""
    out: Dict[str, Dict[str, Any]] = {}
    for name, path in sub_queues(qdir):
        q = open_queue(path)
        try:
            stats: Dict[str, Any] = dict(call(path, q.stats))
        finally:
            del q
        # A delayed message is ready or leased to the engine (held until its
        # due time, or not held yet); here it counts as delayed alone.
        states = [s.state(now) for s in scheduled(path, args, 0)]
        stats.update(ready=states.count("ready"), delayed=states.count("delayed"),
                     in_flight=states.count("leased"))
        out[name] = stats
    return out


def print_sub_queue_stats(subs: Dict[str, Dict[str, Any]], main_total: int) -> None:
    if subs:
        print("total of all levels  {}".format(
            main_total + sum(stats["total"] for stats in subs.values())))
    for name, stats in subs.items():
        print()
        print("sub-queue {} (level {}):".format(name, name[1:]))
        print_stats({k: stats[k] for k in ("ready", "delayed", "in_flight", "total",
                                            "enqueued_total", "acked_total", "dead_total")})


def peek_sub_queues(qdir: str, args: argparse.Namespace, now: int) -> None:
    for name, path in sub_queues(qdir):
        messages = scheduled(path, args, args.body_bytes)
        states = [s.state(now) for s in messages]
        shown = [s for s, state in zip(messages, states) if state != "leased"][:args.n]
        if not args.json:
            print("sub-queue {} (level {}): {} ready, {} delayed of {} present; {} shown".format(
                name, name[1:], states.count("ready"), states.count("delayed"), len(messages),
                len(shown)))
        for s in shown:
            print_scheduled(name, s, now, args.json)


def print_scheduled(name: str, s: Scheduled, now: int, json_out: bool) -> None:
    m = s.message
    if json_out:
        emit_json({"sub_queue": name, "level": int(name[1:]), "seq": m.seq,
                   "deliveries": m.deliveries, "enqueued_ts_ms": m.enqueued_ts_ms,
                   "due_ms": s.due_ms or None, "expires_ms": s.expires_ms or None,
                   "state": s.state(now), "body_len": s.body_len, "body_hex": s.body.hex(),
                   "body_truncated": len(s.body) < s.body_len})
        return
    extra = ""
    if s.state(now) == "delayed":
        extra += "  due={}".format(format_ms(s.due_ms))
    if s.expires_ms:
        extra += "  expires={}{}".format(format_ms(s.expires_ms),
                                         " (expired)" if s.expires_ms <= now else "")
    print("{:>8}  deliveries={}  enqueued={}  body_len={}  body={}{}".format(
        m.seq, m.deliveries, format_ms(m.enqueued_ts_ms), s.body_len,
        show_body(s.body, s.body_len), extra))
