"""stats, compact, purge and unlock: the commands that act on the queue
itself. All but unlock open it through the ferrow module like any client;
unlock resets the process lock that a client died holding.
"""

import argparse
import os
import sys
from typing import Any, Dict

from .common import (
    FAILED,
    OK,
    PROG,
    AdminError,
    call,
    dead_letters_row,
    emit_json,
    open_queue,
    print_stats,
    purge_confirmed,
    queue_dir,
    replay,
)
from ..deadletter import dead_letter_dir
from ..files.logfile import LOCK_NAME, LOG_NAME, now_ms, open_log, read_header
from ..files.lock_file import clear_word_if, live_openers, local_pid, read_holder
from .process_maps import processes_mapping
from .prometheus import prometheus_text
from .sub_queues import print_sub_queue_stats, sub_queue_stats, sub_queues


def cmd_stats(args: argparse.Namespace) -> int:
    qdir = queue_dir(args.dir)
    holder = read_holder(qdir)  # as found, before this tool's own calls take the lock
    q = open_queue(qdir)
    try:
        stats: Dict[str, Any] = dict(call(qdir, q.stats))
    finally:
        del q
    # Delayed, prioritised and expiring messages are in sub-queues beside it.
    subs = sub_queue_stats(qdir, args, now_ms())
    if args.prometheus:
        sys.stdout.write(prometheus_text(qdir, stats, replay(qdir, args)[0], now_ms()))
        return OK
    dead_count = dead_letter_count(qdir, args)
    if args.json:
        emit_json(dict(stats, dead_letters=dead_count, **({"sub_queues": subs} if subs else {})))
        return OK
    extra = dead_letters_row(dead_count, dead_letter_dir(qdir), qdir)
    if holder is not None:
        extra["process_lock"] = holder.describe()
    print_stats(stats, extra)
    print_sub_queue_stats(subs, stats["total"])
    return OK


def dead_letter_count(qdir: str, args: argparse.Namespace) -> int:
    """The messages in DIR.dead, read from its log (nothing is opened, so a
    queue without dead letters does not get an empty DIR.dead)."""
    dead = dead_letter_dir(qdir)
    if not os.path.isfile(os.path.join(dead, LOG_NAME)):
        return 0
    return sum(1 for _ in replay(dead, args)[0].messages())


def cmd_compact(args: argparse.Namespace) -> int:
    qdir = queue_dir(args.dir)
    log = os.path.join(qdir, LOG_NAME)
    q = open_queue(qdir)
    try:
        before = os.path.getsize(log)
        call(qdir, q.compact)
    finally:
        del q
    with open_log(qdir) as f:
        size = os.fstat(f.fileno()).st_size
        generation = read_header(f, size).generation
    print("compacted {}: queue.log {} -> {} bytes, now generation {}".format(
        qdir, before, size, generation))
    return OK


def cmd_purge(args: argparse.Namespace) -> int:
    qdir = queue_dir(args.dir)
    # The scheduled messages in the level sub-queues go with the queue.
    subs = sub_queues(qdir)
    what = "messages" if not subs else "messages (and those of its sub-queues {})".format(
        ", ".join(name for name, _ in subs))
    total, generation = purge_confirmed(qdir, args.yes, what)
    for _, path in subs:
        q = open_queue(path)
        try:
            total += call(path, q.stats)["total"]
            call(path, q.purge)
        finally:
            del q
    print("purged {}: {} messages removed, now generation {}".format(qdir, total, generation))
    return OK


def cmd_unlock(args: argparse.Namespace) -> int:
    qdir = args.dir
    if not os.path.isdir(qdir):
        raise AdminError("{}: no such directory".format(qdir))
    lock = os.path.join(qdir, LOCK_NAME)
    holder = read_holder(qdir)
    if holder is None:
        print("{}: no lock word ({} is missing or shorter than 8 bytes); nothing to do".format(
            qdir, LOCK_NAME))
        return OK
    if holder.state == "free":
        print("{}: the process lock is free (lock word 0); nothing to do".format(qdir))
        return OK
    if holder.state == "alive":
        raise AdminError("refusing to unlock {}: the process lock is {}; it is inside a call "
                         "(or stopped), and keeps the lock until it returns".format(
                             qdir, holder.describe()), FAILED)
    if holder.state == "dead":
        # Taken over the way any waiting process takes it over: atomically,
        # clearing what the dead holder left half-done.
        q = open_queue(qdir)
        try:
            call(qdir, q.in_flight)
        finally:
            del q
        print("{}: the process lock was {}; taken over and released, and the log's torn tail "
              "(if any) cut".format(qdir, holder.describe()))
        return OK
    refuse_if_used(qdir, lock, holder.word)
    if not clear_word_if(qdir, holder.word):
        raise AdminError("{}: the lock word changed meanwhile; run unlock again".format(qdir),
                         FAILED)
    print("{}: reset the stale process lock (lock word was {}, now 0); no process has {} "
          "open".format(qdir, holder.word, lock))
    return OK


def refuse_if_used(qdir: str, lock: str, word: int) -> None:
    """A word that names nobody may belong to any process that has the file:
    one in any pid namespace that holds a slot, or one without a slot (an
    older build) that has it mapped."""
    openers = live_openers(qdir)
    users, unreadable = processes_mapping(lock)
    if openers or users:
        lines = ["refusing to unlock {}: the lock word is {} (its holder cannot be identified) "
                 "and {} queue object(s) have {} open:".format(
                     qdir, word, max(len(openers), len(users)), lock)]
        lines += ["  pid {:<8} {}".format(pid, cmd) for pid, cmd in users]
        shown = {pid for pid, _ in users}
        lines += ["  pid {:<8} (pid namespace {})".format(s.pid, s.pid_ns)
                  for s in openers if local_pid(s.pid, s.pid_ns) not in shown]
        lines.append("One of them may be inside a call right now. If the lock stays taken, "
                     "stop these processes and run unlock again.")
        raise AdminError("\n".join(lines), FAILED)
    if unreadable:
        # Processes of other users, or ones that forbid inspection even to
        # root (an init process, for one), cannot be searched; they are named
        # so that whoever resets the lock can judge them.
        shown_pids = ", ".join(str(pid) for pid in unreadable[:10])
        more = " and {} more".format(len(unreadable) - 10) if len(unreadable) > 10 else ""
        sys.stderr.write("{}: note: could not read the mappings of {} process(es) (pid {}{}); "
                         "they were not searched\n".format(PROG, len(unreadable), shown_pids,
                                                            more))