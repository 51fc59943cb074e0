"""stats, compact, purge and unlock: the commands that act on the queue
itself. All but unlock open it through the ferrow module like any client;
unlock resets the process lock that a client died holding.
"""

import argparse
import mmap
import os
import sys
from typing import Any, Dict

from .admin_common import (
    FAILED,
    OK,
    PROG,
    AdminError,
    call,
    emit_json,
    lock_word,
    open_queue,
    purge_confirmed,
    queue_dir,
    replay,
)
from .logfile import LOCK_NAME, LOG_NAME, now_ms, open_log, read_header
from .process_maps import processes_mapping
from .prometheus import prometheus_text


def cmd_stats(args: argparse.Namespace) -> int:
    qdir = queue_dir(args.dir)
    q = open_queue(qdir)
    try:
        stats: Dict[str, Any] = dict(call(qdir, q.stats))
    finally:
        del q
    if args.prometheus:
        sys.stdout.write(prometheus_text(qdir, stats, replay(qdir, args)[0], now_ms()))
    elif args.json:
        emit_json(stats)
    else:
        width = max(len(k) for k in stats)
        for key, value in stats.items():
            print("{:<{}}  {}".format(key, width, value))
    return OK


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
    total, generation = purge_confirmed(qdir, args.yes, "messages")
    print("purged {}: {} messages removed, now generation {}".format(qdir, total, generation))
    return OK


def cmd_unlock(args: argparse.Namespace) -> int:
    qdir = args.dir
    if not os.path.isdir(qdir):
        raise AdminError("{}: no such directory".format(qdir))
    lock = os.path.join(qdir, LOCK_NAME)
    word = lock_word(qdir)
    if word is None:
        print("{}: no lock word ({} is missing or shorter than 8 bytes); nothing to do".format(
            qdir, LOCK_NAME))
        return OK
    if word == 0:
        print("{}: the process lock is free (lock word 0); nothing to do".format(qdir))
        return OK
    users, unreadable = processes_mapping(lock)
    if users:
        lines = ["refusing to unlock {}: the lock word is {} and {} process(es) have {} "
                 "mapped:".format(qdir, word, len(users), lock)]
        lines += ["  pid {:<8} {}".format(pid, cmd) for pid, cmd in users]
        lines.append("One of them may be inside a call right now. If the lock stays taken, "
                     "stop these processes and run unlock again.")
        raise AdminError("\n".join(lines), FAILED)
    if unreadable:
        # Processes of other users, or ones that forbid inspection even to
        # root (an init process, for one), cannot be searched; they are named
        # so that whoever resets the lock can judge them.
        shown = ", ".join(str(pid) for pid in unreadable[:10])
        more = " and {} more".format(len(unreadable) - 10) if len(unreadable) > 10 else ""
        sys.stderr.write("{}: note: could not read the mappings of {} process(es) (pid {}{}); "
                         "they were not searched\n".format(PROG, len(unreadable), shown, more))
    with open(lock, "r+b") as f:
        # Through a shared mapping, the way the queue itself reads the word.
        with mmap.mmap(f.fileno(), 8) as m:
            m[0:8] = bytes(8)
            m.flush()
    print("{}: reset the stale process lock (lock word was {}, now 0); no process has {} "
          "mapped".format(qdir, word, lock))
    return OK
