"""What every ferrow-admin command shares, so that they all check a queue
directory, open a queue, scan its log and fail in the same way.

Nothing here imports a command module: the commands import this one.
"""

import argparse
import datetime
import functools
import json
import os
import stat
import sys
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple, TypeVar

from ..errors import located_text
from ..files.logfile import LOG_NAME, Frame, LogScan, QueueView, Tail, open_log, read_header
from ..targets import describe, is_redis
from ..targets import open_queue as open_any_queue

if TYPE_CHECKING:
    import ferrow

    from ..deadletter import DeadLetter

T = TypeVar("T")

PROG = "ferrow-admin"

# Exit statuses.
OK = 0
FAILED = 1  # the log is damaged, or a refused or unconfirmed operation
ERROR = 2  # usage errors, not a queue, I/O errors, lock time-out

LOCK_TIMEOUT_S = 30
PROGRESS_STEP = 16 << 20


class AdminError(Exception):
    """A failure reported as one line on stderr, without a traceback."""

    def __init__(self, message: str, status: int = ERROR) -> None:
        super().__init__(message)
        self.status = status


def queue_dir(path: str) -> str:
    """DIR, checked to hold a queue log: nothing here creates one. A Redis
    URL is checked for its form only; `existing_redis_queue` asks the server."""
    if is_redis(path):
        return path
    try:
        st = os.stat(path)
    except FileNotFoundError:
        raise AdminError("{}: no such queue: the directory does not exist".format(path))
    except OSError as e:
        raise unreachable(path, e)
    if not stat.S_ISDIR(st.st_mode):
        raise AdminError("{}: not a queue: not a directory".format(path))
    log = os.path.join(path, LOG_NAME)
    try:
        is_log = stat.S_ISREG(os.stat(log).st_mode)
    except FileNotFoundError:
        is_log = False
    except OSError as e:
        raise unreachable(path, e)
    if not is_log:
        raise AdminError("{}: no such queue: the directory has no {}".format(path, LOG_NAME))
    return path


def unreachable(path: str, e: OSError) -> AdminError:
    """Why a queue path could not be looked at, which is not that it is missing."""
    if isinstance(e, PermissionError):
        return AdminError("{}: permission denied: this user cannot reach the queue (run as a "
                          "user who can, or ask its owner for access)".format(path))
    return AdminError("{}: {}".format(path, e.strerror or e))


def queue_exists(stats: "ferrow.FerrowStats") -> bool:
    """Whether a Redis queue was ever used: a name nobody wrote to reads as
    all zeros, and one that was purged keeps its new generation."""
    return bool(stats["next_seq"] or stats["generation"] or stats["enqueued_total"]
                or stats["total"])


def no_such_redis_queue(target: str) -> AdminError:
    return AdminError("{}: no such queue: nothing was ever put in it on this server (check the "
                      "name after ?queue=)".format(describe(target)))


def check_log_header(qdir: str) -> None:
    """Raises LogError for a log that the queue would refuse (or silently
    reinitialise), before the queue is opened."""
    if is_redis(qdir):
        return
    with open_log(qdir) as f:
        read_header(f, os.fstat(f.fileno()).st_size)


@functools.lru_cache(maxsize=4096)  # records of one batch share their times
def format_ms(ms: int) -> str:
    """An epoch time in milliseconds as UTC ISO text."""
    try:
        t = datetime.datetime.fromtimestamp(ms / 1000, datetime.timezone.utc)
    except (OverflowError, ValueError, OSError):
        return "far future"
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "{:03d}Z".format(t.microsecond // 1000)


def show_body(prefix: bytes, body_len: int) -> str:
    text = repr(prefix)
    if len(prefix) < body_len:
        text += "...(+{} bytes)".format(body_len - len(prefix))
    return text


def emit_json(obj: Dict[str, Any]) -> None:
    print(json.dumps(obj))


class ProgressReporter:
    """Progress of a long scan on stderr: rewritten in place on a terminal,
    one line per step otherwise."""

    def __init__(self, enabled: bool, explicit: bool, what: str) -> None:
        self.enabled = enabled
        self.explicit = explicit
        self.what = what
        self.tty = sys.stderr.isatty()
        self.shown = False
        self.width = 0

    def __call__(self, offset: int, size: int) -> None:
        if not self.enabled:
            return
        pct = 100.0 * offset / size if size else 100.0
        line = "{}: {} MiB of {} MiB ({:.0f}%)".format(
            self.what, offset >> 20, max(size >> 20, offset >> 20), min(pct, 100.0))
        if self.tty:
            sys.stderr.write("\r" + line.ljust(self.width))
            self.width = len(line)
        else:
            sys.stderr.write(line + "\n")
        sys.stderr.flush()
        self.shown = True

    def done(self, tail: Tail) -> None:
        if not (self.enabled and (self.shown or self.explicit)):
            return
        line = "{}: done, {} records, {} MiB".format(self.what, tail.records, tail.offset >> 20)
        sys.stderr.write(("\r" + line.ljust(self.width) if self.tty and self.shown else line)
                         + "\n")
        sys.stderr.flush()


def want_progress(args: argparse.Namespace, what: str) -> bool:
    """Asked for, or stderr is a terminal that the command's output does not
    share while the scan runs (dump prints as it goes)."""
    if args.progress:
        return True
    return sys.stderr.isatty() and (what != "dump" or not sys.stdout.isatty())


def scan_log(qdir: str, args: argparse.Namespace, what: str, body_limit: int,
             on_frame: Callable[[LogScan, Frame], None]) -> Tuple[LogScan, Tail]:
    """Runs `on_frame` over every intact frame of DIR/queue.log, decoded, with
    `body_limit` body bytes kept in each Enqueue record."""
    reporter = ProgressReporter(want_progress(args, what), bool(args.progress), what)
    with open_log(qdir) as f:
        scan = LogScan(f, body_limit=body_limit, progress=reporter,
                       progress_step=PROGRESS_STEP)
        for frame in scan:
            on_frame(scan, frame)
    assert scan.tail is not None
    reporter.done(scan.tail)
    return scan, scan.tail


def open_queue(qdir: str) -> "ferrow.FerrowQueue":
    """Opens the queue through the ferrow module; says so first when the
    process lock is taken, since the open then waits up to 30 s."""
    check_log_header(qdir)
    if is_redis(qdir):
        return open_target(qdir)
    from ..files.lock_file import read_holder

    try:
        holder = read_holder(qdir)
    except OSError:
        # Only a courtesy before a wait: whatever keeps the lock file from
        # being read, the open below reports, with the file and the call.
        holder = None
    if holder is not None and holder.state in ("alive", "unidentified"):
        sys.stderr.write(
            "{}: the process lock of {} is {}; waiting up to {} s for it (see '{} unlock')\n"
            .format(PROG, qdir, holder.describe(), LOCK_TIMEOUT_S, PROG))
    import ferrow

    try:
        return ferrow.FerrowCore(qdir)
    except TimeoutError:
        raise lock_timeout(qdir)
    except PermissionError as e:
        raise unreachable(qdir, e)
    except OSError as e:
        raise AdminError(located_text(e, qdir))


def open_target(target: str) -> "ferrow.FerrowQueue":
    """Opens any target, with its failures as one-line errors."""
    try:
        return open_any_queue(target)
    except TimeoutError as e:
        raise lock_timeout(target) if not is_redis(target) else AdminError(str(e))
    except (OSError, ValueError, TypeError, ImportError) as e:
        raise located(target, e)


def located(target: str, e: Exception) -> AdminError:
    """The error with where it happened: a Redis queue's errors say so already."""
    if is_redis(target) and isinstance(e, OSError):
        return AdminError(str(e))
    return AdminError(located_text(e, describe(target)))


def lock_timeout(qdir: str) -> AdminError:
    return AdminError(
        "{}: timed out after {} s waiting for the process lock; if no process uses the queue, "
        "the lock is stale and '{} unlock {}' clears it".format(qdir, LOCK_TIMEOUT_S, PROG, qdir))


def call(qdir: str, fn: Callable[[], T]) -> T:
    """One queue call, with its failures turned into one-line errors."""
    try:
        return fn()
    except TimeoutError as e:
        raise lock_timeout(qdir) if not is_redis(qdir) else AdminError(str(e))
    except OSError as e:
        raise located(qdir, e)


def replay(qdir: str, args: argparse.Namespace) -> Tuple[QueueView, Tail, Optional[str]]:
    """The queue state the next open would build: records up to the first
    damaged or undecodable one."""
    view = QueueView()
    cut: List[Tuple[int, str]] = []

    def on_frame(scan: LogScan, frame: Frame) -> None:
        if cut:
            return
        if frame.record is None:
            assert frame.decode_error is not None
            cut.append((frame.offset, frame.decode_error))
            return
        view.apply(frame.record, frame.offset)

    _, tail = scan_log(qdir, args, "peek", 0, on_frame)
    note = None
    if cut:
        note = "has an undecodable record at byte {} ({})".format(*cut[0])
    elif tail.damage is not None:
        note = "is damaged at byte {} ({})".format(tail.offset, tail.damage)
    return view, tail, note


def purge_confirmed(qdir: str, yes: bool, what: str) -> Tuple[int, int]:
    """Purges the queue DIR after asking on the terminal (unless `yes`);
    returns how many messages it held and the new generation."""
    check_log_header(qdir)
    if is_redis(qdir) and not queue_exists(call(qdir, open_target(qdir).stats)):
        raise no_such_redis_queue(qdir)
    if not yes and not sys.stdin.isatty():
        raise AdminError("refusing to purge {} without confirmation: standard input is not a "
                         "terminal; pass --yes to purge anyway".format(qdir), FAILED)
    q = open_queue(qdir)
    try:
        total: int = call(qdir, q.stats)["total"]
        if not yes:
            sys.stderr.write("Remove all {} {} of {} for good? Ids start again at 0. "
                             "[y/N] ".format(total, what, qdir))
            sys.stderr.flush()
            answer = sys.stdin.readline().strip().lower()
            if answer not in ("y", "yes"):
                raise AdminError("not purged", FAILED)
        call(qdir, q.purge)
        generation: int = call(qdir, q.stats)["generation"]
    finally:
        del q
    return total, generation


def print_stats(stats: Dict[str, Any], extra: Optional[Dict[str, str]] = None) -> None:
    """The stats dict (and any extra rows) as aligned `key  value` lines."""
    rows: Dict[str, Any] = dict(stats, **(extra or {}))
    width = max(len(k) for k in rows)
    for key, value in rows.items():
        print("{:<{}}  {}".format(key, width, value))


def show_dead_letter(args: argparse.Namespace, seq: int, h: "DeadLetter") -> int:
    """`dead show` of one decoded dead letter: raw body, JSON or text."""
    if args.raw:
        sys.stdout.buffer.write(h.body)
        return OK
    prefix = h.body[:args.body_bytes]
    if args.json:
        emit_json({"id": seq, "original_id": h.original_id, "deliveries": h.deliveries,
                   "enqueued_ts_ms": h.enqueued_ts_ms, "dead_ts_ms": h.dead_ts_ms,
                   "reason": h.reason, "body_len": len(h.body), "body_hex": prefix.hex(),
                   "body_truncated": len(prefix) < len(h.body)})
        return OK
    for name, value in (("id", seq), ("original_id", h.original_id),
                        ("deliveries", h.deliveries),
                        ("enqueued", "{} ({})".format(h.enqueued_ts_ms,
                                                      format_ms(h.enqueued_ts_ms))),
                        ("dead", "{} ({})".format(h.dead_ts_ms, format_ms(h.dead_ts_ms))),
                        ("reason", json.dumps(h.reason)), ("body_len", len(h.body)),
                        ("body", show_body(prefix, len(h.body)))):
        print("{:<12} {}".format(name, value))
    return OK


def dead_letters_row(count: int, where: str, qdir: str) -> Dict[str, str]:
    """The row that `stats` shows beside the counters: dead letters are
    acknowledged in the queue, so its counters alone do not show them."""
    if not count:
        return {"dead_letters": "0"}
    return {"dead_letters": "{} (in {}; see '{} dead list {}')".format(count, where, PROG, qdir)}


def choose_dead_letter(letters: List[Tuple[int, Optional[int], T]], wanted: int, dead: str,
                       queue: str) -> T:
    """The dead letter that `wanted` names among (id in the dead-letter queue,
    original id or None, item): its own id first, else the id it had in the
    queue, as long as only one had it."""
    for seq, _, item in letters:
        if seq == wanted:
            return item
    was = [(seq, item) for seq, original, item in letters if original == wanted]
    if len(was) == 1:
        sys.stderr.write("{}: note: no dead letter has id {} in {}; taking dead letter {}, "
                         "which was message {} of {}\n".format(PROG, wanted, dead, was[0][0],
                                                               wanted, queue))
        return was[0][1]
    if was:
        raise AdminError("{}: no dead letter has id {}, and several were message {} of {} "
                         "(dead letter ids {}): give one of those".format(
                             dead, wanted, wanted, queue, ", ".join(str(s) for s, _ in was)))
    raise AdminError("{}: no dead letter has id {}, nor was one message {} of {}; '{} dead list "
                     "{}' shows both ids".format(dead, wanted, wanted, queue, PROG, queue))
