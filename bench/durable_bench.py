"""Durable throughput, replay time and memory of a persistent queue, next to
the cost of a bare fsync and to a hand-rolled queue in sqlite3.

Run: make bench   (or: python bench/durable_bench.py after installing ferrow)
Every figure is measured in this one run, on one directory, and is the median
of ROUNDS rounds. The directory defaults to one under the repository's build/
because /tmp may be a tmpfs, where fsync costs nothing. The table is printed
and also written to bench/results/durable.md.
"""
import argparse
import os
import statistics
import subprocess
import sys
import textwrap
import time

import ferrow

from _common import (BODY, DEFAULT_BENCH_DIR, REPO, RSS_KIB_SOURCE, Scratch, SqliteQueue,
                     build_long_log, filesystem_of, median_rate)

RESULTS = os.path.join(REPO, "bench", "results", "durable.md")
FLOOR_WRITE = b"x" * 54
ROUNDS = 5
BATCH = 1000
REPLAY_MESSAGES = 1_000_000
REPLAY_CHUNK = 10_000
READ_CHUNK = 1 << 20


# (a) the floor: what one synced append costs without any queue around it.

def floor_round(scratch, ops):
    d = scratch.fresh()
    fd = os.open(os.path.join(d, "append.bin"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        write, fsync = os.write, os.fsync
        start = time.perf_counter()
        for _ in range(ops):
            write(fd, FLOOR_WRITE)
            fsync(fd)
        return time.perf_counter() - start
    finally:
        os.close(fd)
        scratch.remove(d)


# (b) to (d): the queue under test.

def ferrow_round(scratch, work, count, **options):
    """Seconds that `work(q, count)` takes on a fresh persistent queue."""
    d = scratch.fresh()
    q = ferrow.FerrowCore(os.path.join(d, "q"), **options)
    start = time.perf_counter()
    work(q, count)
    elapsed = time.perf_counter() - start
    del q
    scratch.remove(d)
    return elapsed


def enqueue_work(q, ops):
    enqueue = q.enqueue
    for _ in range(ops):
        enqueue(BODY)


def cycle_work(q, ops):
    enqueue, dequeue, ack = q.enqueue, q.dequeue, q.ack
    for _ in range(ops):
        enqueue(BODY)
        ack(dequeue()[0])


def batch_work(q, batches):
    bodies = [BODY] * BATCH
    for _ in range(batches):
        q.enqueue_batch(bodies)
        q.ack_batch([m[0] for m in q.dequeue_batch(BATCH)])


def ferrow_enqueue_round(scratch, ops, **options):
    return ferrow_round(scratch, enqueue_work, ops, **options)


def ferrow_cycle_round(scratch, ops, **options):
    return ferrow_round(scratch, cycle_work, ops, **options)


def ferrow_batch_round(scratch, batches, **options):
    return ferrow_round(scratch, batch_work, batches, **options)


# (e) the same queue written by hand on sqlite3 (SqliteQueue, shared with the
# other benchmarks): one row per message, every single operation its own
# transaction, WAL journal.

def sqlite_round(scratch, synchronous, kind, count):
    d = scratch.fresh()
    q = SqliteQueue(d, synchronous)
    try:
        start = time.perf_counter()
        if kind == "enqueue":
            enqueue = q.enqueue
            for _ in range(count):
                enqueue(BODY)
        elif kind == "cycle":
            enqueue, dequeue, ack = q.enqueue, q.dequeue, q.ack
            for _ in range(count):
                enqueue(BODY)
                ack(dequeue()[0])
        else:
            bodies = [BODY] * BATCH
            for _ in range(count):
                q.enqueue_batch(bodies)
                q.ack_batch([row[0] for row in q.dequeue_batch(BATCH)])
        return time.perf_counter() - start
    finally:
        q.close()
        scratch.remove(d)


# (f) opening a long log, next to reading its bytes, and memory per message.

OPEN_PROBE = RSS_KIB_SOURCE + textwrap.dedent("""
    import sys, time
    import ferrow

    before = rss_kib()
    start = time.perf_counter()
    q = ferrow.FerrowCore(sys.argv[1])
    elapsed = time.perf_counter() - start
    after = rss_kib()
    total = q.stats()["total"]
    print(elapsed, (after - before) * 1024, total)
""")


def read_sequentially(log_path):
    buf = bytearray(READ_CHUNK)
    start = time.perf_counter()
    with open(log_path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass
    return time.perf_counter() - start


def open_in_fresh_process(path):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(ferrow.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, "-c", OPEN_PROBE, path], env=env, check=True,
                         capture_output=True, text=True, timeout=600).stdout.split()
    seconds, rss_bytes, total = float(out[0]), int(out[1]), int(out[2])
    assert total == REPLAY_MESSAGES, total
    return seconds, rss_bytes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR,
                        help="directory for the queue files (default: build/bench in the repo)")
    parser.add_argument("--ops", type=int, default=2000,
                        help="operations per round for the per-operation fsync rows")
    parser.add_argument("--unsynced-ops", type=int, default=20_000,
                        help="operations per round for the rows that do not fsync every operation")
    parser.add_argument("--batches", type=int, default=20,
                        help="batches of 1000 per round for the batch rows")
    args = parser.parse_args()

    scratch = Scratch(args.dir)
    mount, fstype = filesystem_of(scratch.root)
    if fstype in ("tmpfs", "ramfs"):
        print(f"warning: {args.dir} is on {fstype}; fsync costs nothing there", file=sys.stderr)
    ops, fast, batches = args.ops, args.unsynced_ops, args.batches
    msgs = batches * BATCH
    rows = []  # (section, measurement, value, unit)

    def add(section, name, value, unit):
        rows.append((section, name, value, unit))
        print(f"  {name}: {value:,.1f} {unit}", file=sys.stderr, flush=True)

    try:
        print(f"measuring in {scratch.root} ({fstype} on {mount})", file=sys.stderr)
        floor = median_rate(lambda: floor_round(scratch, ops), ops, ROUNDS)
        add("a", f"floor: {len(FLOOR_WRITE)}-byte write + fsync, O_APPEND", floor, "ops/s")

        add("b", "ferrow default policy: enqueue",
            median_rate(lambda: ferrow_enqueue_round(scratch, ops), ops, ROUNDS), "ops/s")
        add("b", "ferrow default policy: enqueue+dequeue+ack",
            median_rate(lambda: ferrow_cycle_round(scratch, ops), ops, ROUNDS), "cycles/s")

        add("c", "ferrow sync_interval_ms=1000: enqueue",
            median_rate(lambda: ferrow_enqueue_round(scratch, fast, sync_interval_ms=1000),
                        fast, ROUNDS), "ops/s")
        add("c", "ferrow sync_interval_ms=1000: enqueue+dequeue+ack",
            median_rate(lambda: ferrow_cycle_round(scratch, fast, sync_interval_ms=1000),
                        fast, ROUNDS), "cycles/s")

        add("d", f"ferrow batches of {BATCH}: enqueue_batch+dequeue_batch+ack_batch",
            median_rate(lambda: ferrow_batch_round(scratch, batches), msgs, ROUNDS), "msgs/s")

        for sync, single in (("FULL", ops), ("NORMAL", fast)):
            add("e", f"sqlite3 WAL synchronous={sync}: enqueue",
                median_rate(lambda: sqlite_round(scratch, sync, "enqueue", single), single, ROUNDS),
                "ops/s")
            add("e", f"sqlite3 WAL synchronous={sync}: enqueue+dequeue+ack",
                median_rate(lambda: sqlite_round(scratch, sync, "cycle", single), single, ROUNDS),
                "cycles/s")
            add("e", f"sqlite3 WAL synchronous={sync}: batches of {BATCH}",
                median_rate(lambda: sqlite_round(scratch, sync, "batch", batches), msgs, ROUNDS),
                "msgs/s")

        print(f"  building a log of {REPLAY_MESSAGES:,} messages", file=sys.stderr, flush=True)
        long_dir, long_path = build_long_log(scratch, REPLAY_MESSAGES, REPLAY_CHUNK)
        log_path = os.path.join(long_path, "queue.log")
        log_size = os.path.getsize(log_path)
        read_sequentially(log_path)  # warm: both figures below read from the page cache
        read_s = statistics.median(read_sequentially(log_path) for _ in range(ROUNDS))
        probes = [open_in_fresh_process(long_path) for _ in range(ROUNDS)]
        open_s = statistics.median(p[0] for p in probes)
        rss_per_msg = statistics.median(p[1] for p in probes) / REPLAY_MESSAGES
        scratch.remove(long_dir)
    finally:
        scratch.close()

    lines = [
        f"Durable queue, 100-byte bodies, median of {ROUNDS} rounds, one run on {fstype} "
        f"({mount}). Rounds: {ops} ops for the rows that fsync every operation, {fast} for "
        f"the others, {batches} batches of {BATCH} for batch rows. Ratios are against the floor.",
        "",
        "| | measurement | rate | unit | vs floor |",
        "|---|---|---:|---|---:|",
    ]
    for section, name, value, unit in rows:
        lines.append(f"| {section} | {name} | {value:,.0f} | {unit} | {value / floor:.2f}x |")
    lines += [
        "",
        f"Opening a log of {REPLAY_MESSAGES:,} live messages ({log_size / 2**20:.0f} MiB), "
        "page cache warm, fresh process each time:",
        "",
        "| | measurement | value | vs sequential read |",
        "|---|---|---:|---:|",
        f"| f | sequential read, {READ_CHUNK >> 20} MiB chunks | {read_s * 1000:,.1f} ms "
        f"({log_size / read_s / 2**20:,.0f} MiB/s) | 1.00x |",
        f"| f | FerrowCore(path): open and replay | {open_s * 1000:,.1f} ms "
        f"({log_size / open_s / 2**20:,.0f} MiB/s) | {open_s / read_s:.2f}x |",
        f"| f | resident memory per live message after opening | {rss_per_msg:,.1f} bytes | |",
    ]
    table = "\n".join(lines) + "\n"
    print(table)
    os.makedirs(os.path.dirname(RESULTS), exist_ok=True)
    with open(RESULTS, "w") as out:
        out.write(table)


if __name__ == "__main__":
    main()
