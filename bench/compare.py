"""Ferrow next to the queues a user would otherwise reach for, in one run.

Run: make compare   (installs persist-queue, litequeue and matplotlib into the
venv, builds the module, then runs this file)

Every figure comes from this one process tree, on one filesystem (by default
under the repository's build/, because /tmp may be a tmpfs where fsync costs
nothing), with 100-byte bodies, and is the median of --rounds rounds (at least
3). Rounds go round all the queues, so a slow spell of a shared machine
touches every column alike rather than one of them.

Columns: Ferrow with the default policy, with sync_interval_ms=1000 and in
memory; the hand-rolled sqlite3 queue of the other benchmarks (WAL,
synchronous=FULL and NORMAL); persist-queue's SQLiteAckQueue and litequeue's
LiteQueue through their public APIs with their own defaults; and two floors:
a C loop of 64-byte append + fsync (the least a durable single operation can
cost here) and queue.Queue put + get (in-process hand-over, nothing kept).

Each cell is compared with the Ferrow column of the same class: durable peers
with the default policy, relaxed ones with sync_interval_ms=1000, in-memory
ones with ":memory:". The table goes to bench/results/compare.md, a bar chart
of it to bench/results/compare.png, and the table is printed.
"""
import argparse
import importlib
import importlib.metadata
import multiprocessing
import os
import queue
import sqlite3
import statistics
import subprocess
import sys
import textwrap
import time

import ferrow

import durable_bench
import multiprocess_bench
from _common import (BODY, DEFAULT_BENCH_DIR, REPO, RSS_KIB_SOURCE, LiteQueueAdapter,
                     PersistAckQueue, Scratch, SqliteQueue, filesystem_of)

RESULTS_MD = os.path.join(REPO, "bench", "results", "compare.md")
RESULTS_PNG = os.path.join(REPO, "bench", "results", "compare.png")
FLOOR_SOURCE = os.path.join(REPO, "bench", "fsync_floor.c")
FLOOR_BINARY = os.path.join(REPO, "build", "fsync_floor")
TEXT_BODY = BODY.decode("ascii")  # litequeue stores text
BATCH = 1000
FILL_CHUNK = 1000
SQLITE_LONG_CHUNK = 10_000
# Bound for every command or probe process this file starts itself (the
# multi-process rounds carry their own bound).
CHILD_TIMEOUT_S = 120
# Rows that fsync every operation get as many operations per round as the
# floor manages in this many seconds, so that a slow disk (or a busy shared
# machine) stretches the run less; within these limits.
DURABLE_ROUND_S = 0.2
DURABLE_OPS_MIN, DURABLE_OPS_MAX = 200, 3000

DURABLE, RELAXED, MEMORY = "durable", "relaxed", "in-memory"
ANCHOR = {DURABLE: "ferrow", RELAXED: "ferrow-1s", MEMORY: "ferrow-mem"}

# (key, row title, unit, label in the chart)
SCENARIOS = [
    ("enqueue", "single enqueue", "ops/s", "enqueue"),
    ("dequeue", "single dequeue (queue pre-filled)", "ops/s", "dequeue\n(pre-filled)"),
    ("ack", "single ack (messages pre-leased)", "ops/s", "ack\n(pre-leased)"),
    ("cycle", "enqueue + dequeue + ack", "cycles/s", "enqueue+dequeue\n+ack (cycles/s)"),
    ("batch", f"batch cycles of {BATCH}", "msgs/s", f"batch cycles\nof {BATCH} (msgs/s)"),
    ("multi", "2 producer + 2 consumer processes", "msgs/s",
     "2 producer + 2 consumer\nprocesses (msgs/s)"),
    ("multi4", "4 producer + 4 consumer processes", "msgs/s",
     "4 producer + 4 consumer\nprocesses (msgs/s)"),
    ("multi8", "8 producer + 8 consumer processes", "msgs/s",
     "8 producer + 8 consumer\nprocesses (msgs/s)"),
]
# The process layouts of the multi-process rows.
LAYOUTS = {"multi": "2+2", "multi4": "4+4", "multi8": "8+8"}


def elapsed_since(start):
    return time.perf_counter() - start


# The queues. Each opens a handle in a fresh directory (or none), fills or
# leases outside the timing, and times one loop per scenario; a loop returns
# the seconds it took. Loops bind the queue's own methods and call nothing
# else, so a fast queue is not slowed by a layer of adaptation.

class TupleLoops:
    """Timed loops for a queue whose dequeue returns a tuple that starts with
    the id ack takes."""

    def enqueue(self, q, n):
        enqueue = q.enqueue
        start = time.perf_counter()
        for _ in range(n):
            enqueue(BODY)
        return elapsed_since(start)

    def dequeue(self, q, n):
        dequeue = q.dequeue
        start = time.perf_counter()
        for _ in range(n):
            dequeue()
        return elapsed_since(start)

    def ack(self, q, keys):
        ack = q.ack
        start = time.perf_counter()
        for k in keys:
            ack(k)
        return elapsed_since(start)

    def cycle(self, q, n):
        enqueue, dequeue, ack = q.enqueue, q.dequeue, q.ack
        start = time.perf_counter()
        for _ in range(n):
            enqueue(BODY)
            ack(dequeue()[0])
        return elapsed_since(start)

    def fill(self, q, n):
        for i in range(0, n, FILL_CHUNK):
            q.enqueue_batch([BODY] * min(FILL_CHUNK, n - i))

    def lease(self, q, n):
        return [m[0] for m in q.dequeue_batch(n)]

    def batch(self, q, batches):
        bodies = [BODY] * BATCH
        start = time.perf_counter()
        for _ in range(batches):
            q.enqueue_batch(bodies)
            q.ack_batch([m[0] for m in q.dequeue_batch(BATCH)])
        return elapsed_since(start)


class Ferrow(TupleLoops):
    def __init__(self, key, label, klass, note, sync_interval_ms=None, memory=False):
        self.key, self.label, self.klass, self.note = key, label, klass, note
        self.options = {} if sync_interval_ms is None else {"sync_interval_ms": sync_interval_ms}
        self.memory = memory
        self.mp = None if memory else ("ferrow", sync_interval_ms)

    def open(self, d):
        path = ":memory:" if self.memory else os.path.join(d, "q")
        return ferrow.FerrowCore(path, **self.options)

    def close(self, q):
        pass  # dropping the last reference closes it


class HandRolledSqlite(TupleLoops):
    def __init__(self, key, label, klass, note, synchronous):
        self.key, self.label, self.klass, self.note = key, label, klass, note
        self.synchronous = synchronous
        self.memory = False
        self.mp = ("sqlite", synchronous)

    def open(self, d):
        return SqliteQueue(d, self.synchronous)

    def close(self, q):
        q.close()


class PersistQueue:
    """SQLiteAckQueue: put, get(block=False, raw=True), ack(item). The raw item
    is what ack looks up directly; a plain item is searched for among all
    unacknowledged ones."""

    batch = None  # no batch calls; the ack queue refuses auto_commit=False

    def __init__(self, key, label, klass, note):
        self.key, self.label, self.klass, self.note = key, label, klass, note
        self.memory = False
        self.mp = ("persist-queue", None)

    def open(self, d):
        return PersistAckQueue(d)

    def close(self, h):
        h.close()

    def fill(self, h, n):
        put = h.q.put
        for _ in range(n):
            put(BODY)

    def lease(self, h, n):
        get = h.q.get
        return [get(block=False, raw=True) for _ in range(n)]

    def enqueue(self, h, n):
        put = h.q.put
        start = time.perf_counter()
        for _ in range(n):
            put(BODY)
        return elapsed_since(start)

    def dequeue(self, h, n):
        get = h.q.get
        start = time.perf_counter()
        for _ in range(n):
            get(block=False, raw=True)
        return elapsed_since(start)

    def ack(self, h, items):
        ack = h.q.ack
        start = time.perf_counter()
        for item in items:
            ack(item)
        return elapsed_since(start)

    def cycle(self, h, n):
        put, get, ack = h.q.put, h.q.get, h.q.ack
        start = time.perf_counter()
        for _ in range(n):
            put(BODY)
            ack(get(block=False, raw=True))
        return elapsed_since(start)


class LiteQueue:
    """LiteQueue: put(str), pop(), done(message_id)."""

    def __init__(self, key, label, klass, note):
        self.key, self.label, self.klass, self.note = key, label, klass, note
        self.memory = False
        self.mp = ("litequeue", None)

    def open(self, d):
        return LiteQueueAdapter(d)

    def close(self, h):
        h.close()

    def fill(self, h, n):
        put = h.q.put
        for _ in range(n):
            put(TEXT_BODY)

    def lease(self, h, n):
        pop = h.q.pop
        return [pop().message_id for _ in range(n)]

    def enqueue(self, h, n):
        put = h.q.put
        start = time.perf_counter()
        for _ in range(n):
            put(TEXT_BODY)
        return elapsed_since(start)

    def dequeue(self, h, n):
        pop = h.q.pop
        start = time.perf_counter()
        for _ in range(n):
            pop()
        return elapsed_since(start)

    def ack(self, h, ids):
        done = h.q.done
        start = time.perf_counter()
        for message_id in ids:
            done(message_id)
        return elapsed_since(start)

    def cycle(self, h, n):
        put, pop, done = h.q.put, h.q.pop, h.q.done
        start = time.perf_counter()
        for _ in range(n):
            put(TEXT_BODY)
            done(pop().message_id)
        return elapsed_since(start)

    def batch(self, h, batches):
        # No batch calls. The closest: the puts and the dones of a batch each
        # inside one transaction(); pop opens a transaction of its own, so the
        # pops stay one by one.
        q = h.q
        put, pop, done = q.put, q.pop, q.done
        start = time.perf_counter()
        for _ in range(batches):
            with q.transaction():
                for _ in range(BATCH):
                    put(TEXT_BODY)
            ids = [pop().message_id for _ in range(BATCH)]
            with q.transaction():
                for message_id in ids:
                    done(message_id)
        return elapsed_since(start)


class QueueQueue:
    """queue.Queue: put and get in one process; nothing to acknowledge."""

    ack = batch = None

    def __init__(self, key, label, klass, note):
        self.key, self.label, self.klass, self.note = key, label, klass, note
        self.memory = True
        self.mp = None

    def open(self, d):
        return queue.Queue()

    def close(self, q):
        pass

    def fill(self, q, n):
        put = q.put
        for _ in range(n):
            put(BODY)

    def enqueue(self, q, n):
        put = q.put
        start = time.perf_counter()
        for _ in range(n):
            put(BODY)
        return elapsed_since(start)

    def dequeue(self, q, n):
        get = q.get
        start = time.perf_counter()
        for _ in range(n):
            get()
        return elapsed_since(start)

    def cycle(self, q, n):
        put, get = q.put, q.get
        start = time.perf_counter()
        for _ in range(n):
            put(BODY)
            get()
        return elapsed_since(start)


def timed_round(c, scenario, count, scratch):
    """Seconds of one round of `scenario` on a fresh queue of contender `c`."""
    d = None if c.memory else scratch.fresh()
    q = c.open(d)
    try:
        if scenario == "enqueue":
            return c.enqueue(q, count)
        if scenario == "dequeue":
            c.fill(q, count)
            return c.dequeue(q, count)
        if scenario == "ack":
            c.fill(q, count)
            keys = c.lease(q, count)
            return c.ack(q, keys)
        if scenario == "cycle":
            return c.cycle(q, count)
        return c.batch(q, count)
    finally:
        c.close(q)
        del q
        if d is not None:
            scratch.remove(d)


# The fsync floor, in C so that no interpreter sits in the loop.

def build_floor():
    os.makedirs(os.path.dirname(FLOOR_BINARY), exist_ok=True)
    subprocess.run(["cc", "-O2", "-o", FLOOR_BINARY, FLOOR_SOURCE], check=True,
                   timeout=CHILD_TIMEOUT_S)


def floor_round(scratch, count):
    d = scratch.fresh()
    try:
        out = subprocess.run([FLOOR_BINARY, os.path.join(d, "append.bin"), str(count)],
                             check=True, capture_output=True, text=True,
                             timeout=CHILD_TIMEOUT_S).stdout
        return float(out)
    finally:
        scratch.remove(d)


# Opening a queue of 1,000,000 live messages: Ferrow replays its log (the
# durable benchmark's helpers build and open it); sqlite3 opens its file and
# counts the rows, which is what it takes to learn the queue's length.

SQLITE_OPEN_PROBE = RSS_KIB_SOURCE + textwrap.dedent("""
    import sqlite3, sys, time

    before = rss_kib()
    start = time.perf_counter()
    db = sqlite3.connect(sys.argv[1])
    total = db.execute("SELECT count(*) FROM q").fetchone()[0]
    elapsed = time.perf_counter() - start
    after = rss_kib()
    print(elapsed, (after - before) * 1024, total)
""")


def build_long_sqlite(scratch):
    d = scratch.fresh()
    q = SqliteQueue(d, "NORMAL")
    bodies = [BODY] * SQLITE_LONG_CHUNK
    for _ in range(durable_bench.REPLAY_MESSAGES // SQLITE_LONG_CHUNK):
        q.enqueue_batch(bodies)
    q.close()  # the last connection checkpoints the WAL into queue.db
    return d, os.path.join(d, "queue.db")


def sqlite_open_in_fresh_process(db_path):
    out = subprocess.run([sys.executable, "-c", SQLITE_OPEN_PROBE, db_path], check=True,
                         capture_output=True, text=True, timeout=CHILD_TIMEOUT_S).stdout.split()
    seconds, rss_bytes, total = float(out[0]), int(out[1]), int(out[2])
    assert total == durable_bench.REPLAY_MESSAGES, total
    return seconds, rss_bytes


def measure_open(scratch, rounds):
    res = {}
    print(f"  building a log of {durable_bench.REPLAY_MESSAGES:,} messages and a sqlite3 "
          "table of as many rows", file=sys.stderr, flush=True)
    long_dir, long_path = durable_bench.build_long_log(
        scratch, durable_bench.REPLAY_MESSAGES, durable_bench.REPLAY_CHUNK)
    sql_dir, db_path = build_long_sqlite(scratch)
    try:
        log_path = os.path.join(long_path, "queue.log")
        res["log_bytes"], res["db_bytes"] = os.path.getsize(log_path), os.path.getsize(db_path)
        # Warm: every figure below reads from the page cache.
        durable_bench.read_sequentially(log_path)
        durable_bench.read_sequentially(db_path)
        read_log, read_db, ferrow_probes, sqlite_probes = [], [], [], []
        for _ in range(rounds):
            read_log.append(durable_bench.read_sequentially(log_path))
            ferrow_probes.append(durable_bench.open_in_fresh_process(long_path))
            read_db.append(durable_bench.read_sequentially(db_path))
            sqlite_probes.append(sqlite_open_in_fresh_process(db_path))
        res["read_log_s"] = statistics.median(read_log)
        res["read_db_s"] = statistics.median(read_db)
        res["ferrow_open_s"] = statistics.median(p[0] for p in ferrow_probes)
        res["sqlite_open_s"] = statistics.median(p[0] for p in sqlite_probes)
        n = durable_bench.REPLAY_MESSAGES
        res["ferrow_rss"] = statistics.median(p[1] for p in ferrow_probes) / n
        res["sqlite_rss"] = statistics.median(p[1] for p in sqlite_probes) / n
    finally:
        scratch.remove(long_dir)
        scratch.remove(sql_dir)
    return res


# Formatting.

def fmt_value(v, unit):
    if unit == "s":
        return f"{v:.3f} s"
    if unit == "B":
        return f"{v:,.1f} B"
    return f"{v:,.0f}" if v >= 100 else f"{v:,.1f}"


def fmt_ratio(r):
    return f"{r:.2f}x" if r < 10 else f"{r:,.1f}x"


def synchronous_name(level):
    return {0: "OFF", 1: "NORMAL", 2: "FULL", 3: "EXTRA"}.get(level, str(level))


def default_synchronous():
    """SQLite's synchronous level for a connection that sets none (a property
    of the library build, the same for every connection in this process)."""
    db = sqlite3.connect(":memory:")
    try:
        return db.execute("PRAGMA synchronous").fetchone()[0]
    finally:
        db.close()


def litequeue_synchronous(scratch):
    """The level litequeue's own connection runs with, read from that
    connection."""
    d = scratch.fresh()
    try:
        h = LiteQueueAdapter(d)
        level = h.q.conn.execute("PRAGMA synchronous").fetchone()[0]
        h.close()
        return level
    finally:
        scratch.remove(d)


def version_of(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def draw_chart(path, columns, value, open_res):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(15, 10))
    grid = fig.add_gridspec(2, 2, height_ratios=[2.3, 1], hspace=0.35, wspace=0.25)
    ax = fig.add_subplot(grid[0, :])
    width = 0.84 / len(columns)
    colours = plt.get_cmap("tab10").colors
    for j, col in enumerate(columns):
        xs, hs = [], []
        for i, (scenario, _, _, _) in enumerate(SCENARIOS):
            v = value.get((scenario, col["key"]))
            if v is not None:
                xs.append(i + (j - (len(columns) - 1) / 2) * width)
                hs.append(v)
        ax.bar(xs, hs, width=width, label=col["short"], color=colours[j % len(colours)],
               hatch="//" if col["floor"] else None, edgecolor="white", linewidth=0.4)
    ax.set_yscale("log")
    ax.set_xticks(range(len(SCENARIOS)))
    ax.set_xticklabels([label for _, _, _, label in SCENARIOS], fontsize=9)
    ax.set_ylabel("operations or messages per second (log scale)")
    ax.grid(axis="y", which="major", alpha=0.3)
    ax.legend(ncol=5, fontsize=8, loc="lower center", bbox_to_anchor=(0.5, 1.01))
    fig.suptitle("Ferrow next to other queues, 100-byte bodies, one run (higher is better; "
                 "hatched bars are floors)", fontsize=12)

    def small_panel(cell, labels, heights, colours_, title, unit):
        a = fig.add_subplot(cell)
        bars = a.bar(labels, heights, color=colours_)
        a.set_yscale("log")
        a.set_ylim(min(heights) / 3, max(heights) * 3)
        a.set_ylabel(f"{unit} (log scale)")
        a.set_title(title, fontsize=10)
        a.tick_params(axis="x", labelsize=8)
        for bar, h in zip(bars, heights):
            a.annotate(f"{h:,.1f}", (bar.get_x() + bar.get_width() / 2, h), ha="center",
                       va="bottom", fontsize=8)

    n = durable_bench.REPLAY_MESSAGES
    small_panel(grid[1, 0],
                ["Ferrow\nopen + replay", "read Ferrow's\nlog file", "sqlite3\nopen + count",
                 "read sqlite3's\nfile"],
                [open_res[k] * 1000 for k in ("ferrow_open_s", "read_log_s", "sqlite_open_s",
                                              "read_db_s")],
                [colours[0], "grey", colours[3], "grey"],
                f"Opening {n:,} live messages, fresh process (lower is better)", "milliseconds")
    small_panel(grid[1, 1], ["Ferrow", "sqlite3\n(page cache, not per message)"],
                [open_res["ferrow_rss"], max(open_res["sqlite_rss"], 0.01)],
                [colours[0], colours[3]], "Resident memory per live message after opening",
                "bytes")
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR,
                        help="directory for the queue files (default: build/bench in the repo)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per figure (at least 3)")
    parser.add_argument("--relaxed-ops", type=int, default=10_000,
                        help="operations per round for Ferrow sync_interval_ms=1000 and "
                             "sqlite3 NORMAL")
    parser.add_argument("--slow-ops", type=int, default=2_000,
                        help="operations per round for litequeue, whose dequeue slows "
                             "down as its table grows")
    parser.add_argument("--memory-ops", type=int, default=200_000,
                        help="operations per round for the in-memory columns")
    args = parser.parse_args()
    if args.rounds < 3:
        parser.error("--rounds must be at least 3")
    try:
        for name in ("persistqueue", "litequeue", "matplotlib"):
            importlib.import_module(name)
    except ImportError as e:
        sys.exit(f"{e}: `make compare` installs persist-queue, litequeue and matplotlib")

    began = time.perf_counter()
    load_before = os.getloadavg()
    scratch = Scratch(args.dir, prefix="compare-bench-")
    mount, fstype = filesystem_of(scratch.root)
    if fstype in ("tmpfs", "ramfs"):
        print(f"warning: {args.dir} is on {fstype}; fsync costs nothing there", file=sys.stderr)
    ctx = multiprocessing.get_context("spawn")
    rounds = args.rounds
    value = {}
    problems = {}
    try:
        print(f"measuring in {scratch.root} ({fstype} on {mount})", file=sys.stderr)
        build_floor()
        # Write back what the build and install just left in the page cache;
        # otherwise the first fsyncs of the run wait for it.
        os.sync()
        # The best of three short runs: what the disk can do, not its worst
        # moment on a shared machine.
        calibration = max(300 / floor_round(scratch, 300) for _ in range(3))
        print(f"calibration: floor {calibration:,.0f} appends+fsync/s", file=sys.stderr)
        durable_ops = int(min(DURABLE_OPS_MAX, max(DURABLE_OPS_MIN,
                                                   round(calibration * DURABLE_ROUND_S, -2))))
        pq_sync = synchronous_name(default_synchronous())
        lq_sync = synchronous_name(litequeue_synchronous(scratch))
        pq_version, lq_version = version_of("persist-queue"), version_of("litequeue")

        contenders = [
            Ferrow("ferrow", "Ferrow default", DURABLE, "fsync after every record"),
            Ferrow("ferrow-1s", "Ferrow sync_interval_ms=1000", RELAXED,
                   "fsync at most once a second (checked at the next append)",
                   sync_interval_ms=1000),
            Ferrow("ferrow-mem", "Ferrow :memory:", MEMORY, "no files", memory=True),
            HandRolledSqlite("sqlite-full", "sqlite3 WAL FULL", DURABLE,
                             "hand-rolled, WAL, synchronous=FULL, one transaction per call",
                             "FULL"),
            HandRolledSqlite("sqlite-normal", "sqlite3 WAL NORMAL", RELAXED,
                             "hand-rolled, WAL, synchronous=NORMAL, one transaction per call",
                             "NORMAL"),
            PersistQueue("persist-queue", f"persist-queue {pq_version} SQLiteAckQueue",
                         DURABLE if pq_sync in ("FULL", "EXTRA") else RELAXED,
                         f"its defaults: WAL (set by the library), synchronous={pq_sync} (not "
                         "set by the library, so SQLite's default), one transaction per put, "
                         "get and ack, bodies pickled, acked rows kept until "
                         "clear_acked_data()"),
            LiteQueue("litequeue", f"litequeue {lq_version} LiteQueue",
                      DURABLE if lq_sync in ("FULL", "EXTRA") else RELAXED,
                      f"its defaults: WAL and synchronous={lq_sync} (both set by the library), "
                      "one transaction per put, pop and done, text bodies, done rows kept "
                      "until prune()"),
            QueueQueue("queue.Queue", "floor: queue.Queue", MEMORY,
                       "in one process, nothing kept, nothing to acknowledge"),
        ]
        ops = {"ferrow": durable_ops, "sqlite-full": durable_ops, "persist-queue": durable_ops,
               "ferrow-1s": args.relaxed_ops, "sqlite-normal": args.relaxed_ops,
               "litequeue": args.slow_ops, "ferrow-mem": args.memory_ops,
               "queue.Queue": args.memory_ops}
        batches = {"ferrow": 20, "sqlite-full": 20, "ferrow-1s": 20, "sqlite-normal": 20,
                   "litequeue": 5, "ferrow-mem": 200}
        samples = {}

        def sample(key, scenario, rate):
            samples.setdefault((scenario, key), []).append(rate)

        # Multi-process rounds: as many messages as the single rounds, shared
        # out among the producers.
        mp_total = {c.key: ops[c.key] for c in contenders if c.mp}
        for r in range(rounds):
            floor_rate = durable_ops / floor_round(scratch, durable_ops)
            sample("floor", "enqueue", floor_rate)
            print(f"round {r + 1}: floor {floor_rate:,.0f} appends+fsync/s", file=sys.stderr,
                  flush=True)
            for scenario, title, unit, _ in SCENARIOS:
                if scenario in LAYOUTS:
                    continue  # the multi-process rounds below
                for c in contenders:
                    if getattr(c, scenario) is None:
                        continue
                    count = batches[c.key] if scenario == "batch" else ops[c.key]
                    seconds = timed_round(c, scenario, count, scratch)
                    rate = count * (BATCH if scenario == "batch" else 1) / seconds
                    sample(c.key, scenario, rate)
                    print(f"round {r + 1}: {c.label}, {title}: {rate:,.0f} {unit}",
                          file=sys.stderr, flush=True)
            for scenario, layout in LAYOUTS.items():
                for c in contenders:
                    if not c.mp:
                        continue
                    kind, option = c.mp
                    try:
                        rate, _, found = multiprocess_bench.delivery_round(
                            ctx, scratch, kind, option, mp_total[c.key], layout)
                    except Exception as e:  # a peer that fails under load is a result too
                        rate, found = None, [f"round failed: {str(e).strip().splitlines()[-1]}"]
                    if rate is not None:
                        sample(c.key, scenario, rate)
                    problems.setdefault(c.key, []).extend(
                        f"round {r + 1}, {layout}: {p}" for p in found)
                    print(f"round {r + 1}: {c.label}, {layout} processes: "
                          + (f"{rate:,.0f} msgs/s" if rate is not None else "failed")
                          + (f"  PROBLEMS: {'; '.join(found)}" if found else ""),
                          file=sys.stderr, flush=True)

        open_res = measure_open(scratch, rounds)
    finally:
        scratch.close()

    for key, values in samples.items():
        value[key] = statistics.median(values)
    floor = value.pop(("enqueue", "floor"))
    for scenario in ("enqueue", "dequeue", "ack"):
        value[(scenario, "floor")] = floor
    value[("cycle", "floor")] = floor / 3  # three synced appends per cycle

    columns = [dict(key=c.key, label=c.label, short=c.label, klass=c.klass, floor=False)
               for c in contenders[:-1]]
    columns.append(dict(key="floor", label="floor: C 64-byte append + fsync", short="floor: C "
                        "append + fsync", klass=DURABLE, floor=True))
    columns.append(dict(key="queue.Queue", label="floor: queue.Queue", short="floor: queue.Queue",
                        klass=MEMORY, floor=True))

    n_long = durable_bench.REPLAY_MESSAGES
    time_rows = [
        ("open", f"open a queue of {n_long:,} live messages (s)", "s",
         {"ferrow": open_res["ferrow_open_s"], "sqlite-full": open_res["sqlite_open_s"]}),
        ("rss", "resident memory per live message after opening", "B",
         {"ferrow": open_res["ferrow_rss"], "sqlite-full": open_res["sqlite_rss"]}),
    ]

    def cell(scenario, col, unit):
        v = value.get((scenario, col["key"]))
        if v is None:
            return "n/a"
        anchor_key = ANCHOR[col["klass"]]
        if col["key"] == anchor_key:
            return fmt_value(v, unit)
        anchor = value.get((scenario, anchor_key))
        if anchor is None:
            return fmt_value(v, unit)
        return f"{fmt_value(v, unit)} ({fmt_ratio(v / anchor)})"

    head = ["scenario"] + [f"{c['label']} [{c['klass']}]" for c in columns]
    lines = ["| " + " | ".join(head) + " |", "|---" + "|---:" * len(columns) + "|"]
    for scenario, title, unit, _ in SCENARIOS:
        cells = [cell(scenario, c, unit) for c in columns]
        if scenario in LAYOUTS:
            cells = [x + (" †" if problems.get(c["key"]) else "") for x, c in zip(cells, columns)]
        lines.append(f"| {title} ({unit}) | " + " | ".join(cells) + " |")
    for scenario, title, unit, figures in time_rows:
        mine = figures["ferrow"]
        cells = []
        for c in columns:
            v = figures.get(c["key"])
            if v is None:
                cells.append("—")
                continue
            text = fmt_value(v, unit)
            if c["key"] != "ferrow":
                text += f" ({fmt_ratio(v / mine)})"
            if scenario == "open":
                if c["key"] == "ferrow":
                    read_s, size = open_res["read_log_s"], open_res["log_bytes"]
                else:
                    read_s, size = open_res["read_db_s"], open_res["db_bytes"]
                text += f"; {fmt_ratio(v / read_s)} reading its {size / 2**20:,.0f} MiB file"
            elif c["key"] != "ferrow":
                text += "; page cache, not state per message"
            cells.append(text)
        lines.append(f"| {title} | " + " | ".join(cells) + " |")

    elapsed = time.perf_counter() - began
    load_after = os.getloadavg()
    counts = (f"Operations per round: {durable_ops:,} for the durable columns (what the floor "
              f"manages in about {DURABLE_ROUND_S} s, within {DURABLE_OPS_MIN:,}-"
              f"{DURABLE_OPS_MAX:,}), {args.relaxed_ops:,} for Ferrow sync_interval_ms=1000 "
              f"and sqlite3 NORMAL, {args.slow_ops:,} for litequeue, {args.memory_ops:,} for "
              f"the in-memory columns; batch rows run {batches['ferrow']} batches per round "
              f"({batches['litequeue']} for litequeue, {batches['ferrow-mem']} in memory). "
              "A dequeue round first fills the queue with exactly the messages it takes; an "
              "ack round first leases them. The multi-process rows move as many messages per round as "
              "the single rows of that column (N per producer = half of that).")
    caption = (
        f"Ferrow next to other queues, 100-byte bodies, median of {rounds} rounds, one run "
        f"on {fstype} ({mount}), {os.cpu_count()} CPUs, load average {load_before[0]:.1f} at "
        f"the start and {load_after[0]:.1f} at the end; whole run {elapsed:,.0f} s. "
        "In parentheses: the figure divided by Ferrow's in the same row and the same class "
        "— durable columns against Ferrow default, relaxed ones against Ferrow "
        "sync_interval_ms=1000, in-memory ones against Ferrow :memory: (the class is in "
        "brackets in each header). For rates above 1x means faster than Ferrow; for "
        "seconds and bytes, above 1x means more.")
    notes = [
        "Durability of each column:",
        "",
    ] + [f"- {c.label}: {c.note}." for c in contenders[:-1]] + [
        "- floor: C 64-byte append + fsync: `bench/fsync_floor.c`, one write and one fsync "
        "per operation on the same filesystem, nothing else in the loop; the "
        "enqueue + dequeue + ack cell is that rate / 3 (three synced appends).",
        f"- floor: queue.Queue: {contenders[-1].note}; put and get counted as enqueue and "
        "dequeue, put + get as a cycle.",
        "",
        "Dequeue cost of the sqlite3-based queues grows with the queue, so their dequeue "
        "figures hold for the round sizes below: the hand-rolled queue and persist-queue "
        "walk the table from its oldest row past every leased (and, for persist-queue, "
        "acknowledged) row to the first ready one; litequeue sorts all ready rows by id on "
        "every pop.",
        "",
        "Cells marked n/a: persist-queue's SQLiteAckQueue has no batch calls and refuses "
        "auto_commit=False; litequeue has none either, so its batch row puts and marks done "
        "1000 messages inside one `transaction()` each and pops them one by one (pop opens "
        "its own transaction); queue.Queue has no acknowledgement and no batch calls; "
        ":memory: and queue.Queue live inside one process, so they have no multi-process rows.",
        "",
        "2+2 and 4+4 processes: two (four) producer processes call single enqueue while "
        "as many consumer processes loop dequeue + ack until the producers are done and the queue is empty; "
        "all spawned, released by one barrier; rate = messages / wall time from the barrier "
        "to the last ack (the machinery of `bench/multiprocess_bench.py`, which also checks "
        "that every message was delivered exactly once and acknowledged). The hand-rolled "
        "sqlite3 queue waits up to 30 s for the database lock; the PyPI queues keep their "
        "own lock timeouts. persist-queue documents itself as thread-safe, not as shared "
        "by processes: its get reads the next ready row and marks it taken in a second "
        "statement, so two consumer processes can both take one row.",
        "",
        f"Opening: a Ferrow log of {n_long:,} live messages, and a sqlite3 database of as "
        "many rows of the hand-rolled queue (opening it and `SELECT count(*)`; sqlite3 reads "
        "rows on demand, so its resident memory is page cache bounded by its cache size, not "
        "state kept per message). Each in a fresh process, files in the page cache; "
        "\"reading\" is a sequential read of the same file in 1 MiB chunks.",
        "",
        counts,
    ]
    found = [(c.label, p) for c in contenders for p in problems.get(c.key, [])]
    if found:
        notes += ["", "† problems found in the multi-process rounds (the rate is still the median of "
                  "the rounds that finished):", ""]
        notes += [f"- {label}: {p}" for label, p in found]
    table = "\n".join([caption, ""] + lines + [""] + notes) + "\n"
    print(table)
    os.makedirs(os.path.dirname(RESULTS_MD), exist_ok=True)
    with open(RESULTS_MD, "w") as out:
        out.write(table)
    draw_chart(RESULTS_PNG, columns, value, open_res)
    print(f"wrote {os.path.relpath(RESULTS_MD, REPO)} and {os.path.relpath(RESULTS_PNG, REPO)}",
          file=sys.stderr)


if __name__ == "__main__":
    main()
