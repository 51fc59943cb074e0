"""ferrow-admin: inspect and maintain a queue directory from the shell.

`dump`, `peek` and `verify` read queue.log on their own and never change a
file, take the process lock or create a queue. `stats`, `compact` and `purge`
open the queue through the ferrow module like any client would. `unlock`
clears a process lock left taken by a process that died inside a call.
`dead` lists, shows, requeues and purges the dead letters in DIR.dead (see
deadletter.py); list and show read its log alone, like peek.
"""

import argparse
import datetime
import functools
import json
import mmap
import os
import sys
from typing import (
    TYPE_CHECKING,
    Any,
    BinaryIO,
    Callable,
    Dict,
    List,
    NamedTuple,
    NoReturn,
    Optional,
    Sequence,
    Tuple,
    TypeVar,
)

from . import __version__
from .deadletter import DeadLetter, dead_letter_dir
from .deadletter import decode as decode_dead_letter
from .logfile import (
    FILE_HEADER_LEN,
    LOCK_NAME,
    LOG_NAME,
    Enqueue,
    Frame,
    Lease,
    LogError,
    LogScan,
    Message,
    QueueView,
    Record,
    Requeue,
    Tail,
    is_ready,
    kind_name,
    now_ms,
    open_log,
    read_body,
    read_header,
)

if TYPE_CHECKING:
    import ferrow

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


# ------------------------------------------------------------------ helpers


def queue_dir(path: str) -> str:
    """DIR, checked to hold a queue log: nothing here creates one."""
    if not os.path.exists(path):
        raise AdminError("{}: no such directory".format(path))
    if not os.path.isdir(path):
        raise AdminError("{}: not a directory".format(path))
    log = os.path.join(path, LOG_NAME)
    if not os.path.isfile(log):
        raise AdminError("{}: not a queue directory (it has no {})".format(path, LOG_NAME))
    return path


def check_log_header(qdir: str) -> None:
    """Raises LogError for a log that the queue would refuse (or silently
    reinitialise), before the queue is opened."""
    with open_log(qdir) as f:
        read_header(f, os.fstat(f.fileno()).st_size)


def lock_word(qdir: str) -> Optional[int]:
    """The lock word of DIR/.proc_lock, or None if there is no full word."""
    try:
        with open(os.path.join(qdir, LOCK_NAME), "rb") as f:
            raw = f.read(8)
    except FileNotFoundError:
        return None
    if len(raw) < 8:
        return None
    return int.from_bytes(raw, "little")


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


def open_queue(qdir: str) -> "ferrow.FerrowCore":
    """Opens the queue through the ferrow module; says so first when the
    process lock is taken, since the open then waits up to 30 s."""
    check_log_header(qdir)
    word = lock_word(qdir)
    if word:
        sys.stderr.write(
            "{}: the process lock of {} is taken; waiting up to {} s for it (a process may be "
            "inside a call, or one died inside a call: see '{} unlock')\n".format(
                PROG, qdir, LOCK_TIMEOUT_S, PROG))
    import ferrow

    try:
        return ferrow.FerrowCore(qdir)
    except TimeoutError:
        raise lock_timeout(qdir)
    except OSError as e:
        raise AdminError("{}: {}".format(qdir, e))


def lock_timeout(qdir: str) -> AdminError:
    return AdminError(
        "{}: timed out after {} s waiting for the process lock; if no process uses the queue, "
        "the lock is stale and '{} unlock {}' clears it".format(qdir, LOCK_TIMEOUT_S, PROG, qdir))


def call(qdir: str, fn: Callable[[], T]) -> T:
    """One queue call, with its failures turned into one-line errors."""
    try:
        return fn()
    except TimeoutError:
        raise lock_timeout(qdir)
    except OSError as e:
        raise AdminError("{}: {}".format(qdir, e))


# ----------------------------------------------------------------- commands


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


def purge_confirmed(qdir: str, yes: bool, what: str) -> Tuple[int, int]:
    """Purges the queue DIR after asking on the terminal (unless `yes`);
    returns how many messages it held and the new generation."""
    check_log_header(qdir)
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


def _parse_dev(field: str) -> Optional[Tuple[int, int]]:
    try:
        major, minor = field.split(":")
        return int(major, 16), int(minor, 16)
    except ValueError:
        return None


def processes_mapping(path: str) -> Tuple[List[Tuple[int, str]], List[int]]:
    """The processes that have `path` mapped, as (pid, command line), and the
    pids of those whose mappings could not be read. A mapping matches by device and
    inode, or by path (some file systems show other device numbers in
    /proc/PID/maps than stat() does)."""
    st = os.stat(path)
    dev = (os.major(st.st_dev), os.minor(st.st_dev))
    real = os.path.realpath(path)
    me = os.getpid()
    found: List[Tuple[int, str]] = []
    unreadable: List[int] = []
    try:
        pids = [int(name) for name in os.listdir("/proc") if name.isdigit()]
    except OSError as e:
        raise AdminError("cannot list processes through /proc ({}); refusing to unlock".format(e),
                         FAILED)
    for pid in sorted(pids):
        if pid == me:
            continue
        try:
            with open("/proc/{}/maps".format(pid)) as maps:
                hit = False
                for line in maps:
                    parts = line.split(None, 5)
                    if len(parts) < 5:
                        continue
                    name = parts[5].rstrip("\n") if len(parts) > 5 else ""
                    same_file = _parse_dev(parts[3]) == dev and parts[4] == str(st.st_ino)
                    if same_file or name == real:
                        hit = True
                        break
        except (FileNotFoundError, ProcessLookupError):
            continue  # gone meanwhile
        except PermissionError:
            unreadable.append(pid)
            continue
        if hit:
            found.append((pid, command_line(pid)))
    return found, unreadable


def command_line(pid: int) -> str:
    try:
        with open("/proc/{}/cmdline".format(pid), "rb") as f:
            raw = f.read()
    except OSError:
        return "?"
    text = " ".join(a.decode(errors="replace") for a in raw.split(b"\0") if a) or "?"
    text = " ".join(text.split())  # one line, whatever the arguments hold
    return text if len(text) <= 100 else text[:97] + "..."


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


# ------------------------------------------------------------- prometheus

# Upper bounds of the delivery-count histogram buckets (+Inf is added).
DELIVERY_BUCKETS = (0, 1, 2, 3, 5, 10)

# stats() key -> (metric name, type, help). Keys not listed become gauges.
STATS_METRICS: Dict[str, Tuple[str, str, str]] = {
    "ready": ("ferrow_ready", "gauge", "Messages ready for delivery."),
    "in_flight": ("ferrow_in_flight", "gauge", "Messages under a lease."),
    "total": ("ferrow_messages", "gauge", "Messages present (ready and in flight)."),
    "enqueued_total": ("ferrow_enqueued_total", "counter",
                       "Messages enqueued since the log was last rewritten."),
    "acked_total": ("ferrow_acked_total", "counter", "Messages acknowledged."),
    "requeued_total": ("ferrow_requeued_total", "counter",
                       "Messages handed back to the ready set."),
    "dead_total": ("ferrow_dead_total", "counter", "Messages dropped with nack(requeue=False)."),
    "next_seq": ("ferrow_next_seq", "gauge", "The id the next enqueue gets."),
    "live_bytes": ("ferrow_live_bytes", "gauge", "Log bytes of the present messages."),
    "log_bytes": ("ferrow_log_bytes", "gauge", "Size of queue.log in bytes."),
    "generation": ("ferrow_generation", "gauge", "Log generation (raised by compact and purge)."),
    "persistent": ("ferrow_persistent", "gauge", "1 for a queue on disk, 0 for :memory:."),
}


def label_value(text: str) -> str:
    """A label value escaped for the Prometheus text format."""
    return text.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n")


def metric_value(value: Any) -> str:
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return str(value)
    return repr(float(value))


def prometheus_text(qdir: str, stats: Dict[str, Any], view: QueueView, now: int) -> str:
    """The stats, the age of the oldest ready message and the delivery-count
    histogram of the present messages in the Prometheus text format."""
    label = 'queue="{}"'.format(label_value(qdir))
    lines: List[str] = []

    def metric(name: str, kind: str, help_text: str, value: Any) -> None:
        lines.append("# HELP {} {}".format(name, help_text))
        lines.append("# TYPE {} {}".format(name, kind))
        lines.append("{}{{{}}} {}".format(name, label, metric_value(value)))

    for key, value in stats.items():
        name, kind, help_text = STATS_METRICS.get(
            key, ("ferrow_" + key, "gauge", "stats() field {}.".format(key)))
        metric(name, kind, help_text, value)

    present = list(view.messages())
    ready_ts = [m.enqueued_ts_ms for m in present if is_ready(m, now)]
    age_ms = max(0, now - min(ready_ts)) if ready_ts else 0
    metric("ferrow_oldest_ready_age_seconds", "gauge",
           "Age of the oldest ready message in seconds (0 when none is ready).", age_ms / 1000)

    name = "ferrow_deliveries"
    lines.append("# HELP {} Deliveries so far of each present message.".format(name))
    lines.append("# TYPE {} histogram".format(name))
    counts = [m.deliveries for m in present]
    for bound in DELIVERY_BUCKETS:
        lines.append('{}_bucket{{{},le="{}"}} {}'.format(
            name, label, bound, sum(1 for c in counts if c <= bound)))
    lines.append('{}_bucket{{{},le="+Inf"}} {}'.format(name, label, len(counts)))
    lines.append("{}_sum{{{}}} {}".format(name, label, sum(counts)))
    lines.append("{}_count{{{}}} {}".format(name, label, len(counts)))
    return "\n".join(lines) + "\n"


# ------------------------------------------------------------- dead letters

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
    """DIR.dead, checked to be a queue directory."""
    dead = dead_letter_dir(args.dir)
    if not os.path.exists(dead):
        raise AdminError("{}: no such directory ({} has no dead letters)".format(dead, args.dir))
    return queue_dir(dead)


def find_dead(qdir: str, args: argparse.Namespace, seq: int) -> DeadEntry:
    for entry in dead_entries(qdir, args):
        if entry.seq == seq:
            return entry
    raise AdminError("{}: no dead letter with id {}".format(qdir, seq))


def cmd_dead_list(args: argparse.Namespace) -> int:
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
    h = decode_dead_letter(data)
    if args.raw:
        sys.stdout.buffer.write(h.body)
        return OK
    prefix = h.body[:args.body_bytes]
    if args.json:
        emit_json({"id": entry.seq, "original_id": h.original_id, "deliveries": h.deliveries,
                   "enqueued_ts_ms": h.enqueued_ts_ms, "dead_ts_ms": h.dead_ts_ms,
                   "reason": h.reason, "body_len": len(h.body), "body_hex": prefix.hex(),
                   "body_truncated": len(prefix) < len(h.body)})
        return OK
    print("id           {}".format(entry.seq))
    print("original_id  {}".format(h.original_id))
    print("deliveries   {}".format(h.deliveries))
    print("enqueued     {} ({})".format(h.enqueued_ts_ms, format_ms(h.enqueued_ts_ms)))
    print("dead         {} ({})".format(h.dead_ts_ms, format_ms(h.dead_ts_ms)))
    print("reason       {}".format(json.dumps(h.reason)))
    print("body_len     {}".format(len(h.body)))
    print("body         {}".format(show_body(prefix, len(h.body))))
    return OK


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


# --------------------------------------------------------------------- main


def add_progress(p: argparse.ArgumentParser) -> None:
    p.add_argument("--progress", action="store_true",
                   help="report progress on stderr every 16 MiB (default when stderr is a "
                        "terminal)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect and maintain a Ferrow queue directory. dump, peek and verify "
                    "only read queue.log; stats, compact and purge open the queue like any "
                    "client; unlock clears a stale process lock; dead handles the dead letters in "
                    "DIR.dead.",
        epilog="Exit status: 0 success, 1 damaged log or refused/unconfirmed operation, "
               "2 error.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def command(name: str, fn: Callable[[argparse.Namespace], int], summary: str,
                description: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=summary, description=description)
        p.add_argument("dir", metavar="DIR", help="the queue directory")
        p.set_defaults(func=fn)
        return p

    p = command("stats", cmd_stats, "print the queue's statistics",
                "Open the queue and print stats(). Opening is what any client does: it "
                "takes the process lock (waiting up to 30 s), cuts a damaged log tail and "
                "returns lapsed leases to the ready set. With --prometheus, also the age of "
                "the oldest ready message and the delivery counts of the present messages, "
                "replayed from queue.log, in the Prometheus text format.")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true", help="print one JSON object")
    fmt.add_argument("--prometheus", action="store_true",
                     help="print metrics in the Prometheus text exposition format")
    p.set_defaults(progress=False)

    p = command("verify", cmd_verify, "check every record of queue.log (read-only)",
                "Re-read queue.log and check the header, every frame and its CRC, and that "
                "every payload decodes. Exit 0 when clean, 1 when damaged. Reads without "
                "the process lock and changes nothing.")
    p.add_argument("--json", action="store_true",
                   help="print {ok, records, bytes, message} as JSON")
    add_progress(p)

    p = command("dump", cmd_dump, "print every record of queue.log (read-only)",
                "Print one line per record: byte offset, kind, seq and fields, then how the "
                "log ends. Exit 1 if the log is damaged. Reads without the process lock and "
                "changes nothing.")
    p.add_argument("--json", action="store_true", help="print JSON lines")
    p.add_argument("--bodies", action="store_true",
                   help="include a prefix of each body (escaped; hex in JSON)")
    p.add_argument("--body-bytes", type=non_negative, default=32, metavar="N",
                   help="body prefix length for --bodies (default 32)")
    add_progress(p)

    p = command("peek", cmd_peek, "show the next ready messages without leasing them",
                "Replay queue.log and list the messages that a dequeue would deliver next, "
                "by id: present, and not under a lease that has not yet lapsed. Leases "
                "nothing, reads without the process lock and changes nothing.")
    p.add_argument("-n", type=non_negative, default=10, metavar="N",
                   help="how many messages to show (default 10)")
    p.add_argument("--json", action="store_true", help="print JSON lines")
    p.add_argument("--body-bytes", type=non_negative, default=32, metavar="N",
                   help="body prefix length (default 32)")
    add_progress(p)

    command("compact", cmd_compact, "rewrite queue.log keeping only present messages",
            "Open the queue and compact() it: the log is rewritten under a new generation "
            "and other processes reload it at their next call.")

    p = command("purge", cmd_purge, "remove every message (asks first)",
                "Open the queue and purge() it: every message is gone for every process and "
                "ids start again at 0. Asks for confirmation on the terminal; without one "
                "(standard input not a terminal) it refuses unless --yes is given.")
    p.add_argument("--yes", "-y", action="store_true", help="do not ask for confirmation")

    command("unlock", cmd_unlock, "clear a stale process lock",
            "Reset the lock word in DIR/.proc_lock to 0, which is needed after a process "
            "died inside a call. Refuses while any process has .proc_lock mapped (it lists "
            "them): only a process with the queue open can hold the lock.")

    dead = sub.add_parser(
        "dead", help="list, show, requeue or purge the dead letters of DIR (in DIR.dead)",
        description="Dead letters of the queue DIR live in the queue DIR.dead, each a JSON "
                    "header line followed by the original body. list and show read "
                    "DIR.dead/queue.log and change nothing; requeue and purge open the "
                    "queues like any client.")
    dsub = dead.add_subparsers(dest="dead_command", metavar="ACTION")
    dsub.required = True

    def dead_action(name: str, fn: Callable[[argparse.Namespace], int], summary: str,
                    description: str) -> argparse.ArgumentParser:
        p = dsub.add_parser(name, help=summary, description=description)
        p.add_argument("dir", metavar="DIR", help="the queue directory (not DIR.dead)")
        p.set_defaults(func=fn, progress=False)
        return p

    p = dead_action("list", cmd_dead_list, "one line per dead letter (read-only)",
                    "Print each dead letter: its id in DIR.dead, its original id, deliveries, "
                    "the time it was taken out, the reason and the original body length. "
                    "Leases nothing and changes nothing; no DIR.dead means no dead letters.")
    p.add_argument("--json", action="store_true", help="print JSON lines")

    p = dead_action("show", cmd_dead_show, "one dead letter's header and body (read-only)",
                    "Print the header fields of the dead letter ID (its id in DIR.dead) and a "
                    "prefix of the original body, or with --raw the whole body alone.")
    p.add_argument("id", metavar="ID", type=non_negative, help="the id in DIR.dead")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print one JSON object (body in hex)")
    out.add_argument("--raw", action="store_true",
                     help="write the original body, unchanged, to standard output")
    p.add_argument("--body-bytes", type=non_negative, default=64, metavar="N",
                   help="body prefix length (default 64)")

    p = dead_action("requeue", cmd_dead_requeue, "move dead letters back into DIR",
                    "Enqueue the original body of dead letter ID (or of every one with --all) "
                    "into DIR as a new message, then acknowledge it in DIR.dead. At least "
                    "once: a crash between the two leaves the message in both queues.")
    which = p.add_mutually_exclusive_group(required=True)
    which.add_argument("id", metavar="ID", type=non_negative, nargs="?",
                       help="the id in DIR.dead")
    which.add_argument("--all", action="store_true", help="every dead letter, by id")

    p = dead_action("purge", cmd_dead_purge, "remove every dead letter (asks first)",
                    "purge() DIR.dead. Asks for confirmation on the terminal; without one it "
                    "refuses unless --yes is given.")
    p.add_argument("--yes", "-y", action="store_true", help="do not ask for confirmation")
    return parser


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: {!r}".format(text))
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative: {}".format(value))
    return value


def fail(message: str, status: int) -> NoReturn:
    sys.stderr.write("{}: error: {}\n".format(PROG, message) if status == ERROR
                     else "{}: {}\n".format(PROG, message))
    sys.exit(status)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns the exit status. User mistakes and I/O
    failures end in one line on stderr, not a traceback."""
    args = build_parser().parse_args(argv)
    try:
        status: int = args.func(args)
        sys.stdout.flush()
    except AdminError as e:
        fail(str(e), e.status)
    except LogError as e:
        fail("{}: {}".format(args.dir, e), ERROR)
    except BrokenPipeError:
        # The reader of the output went away (`dump DIR | head`): not an error,
        # and the interpreter must not complain while flushing at exit either.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return OK
    except OSError as e:
        fail(str(e), ERROR)
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    return status
