"""Several processes on one queue directory, next to one process doing the same
work and to a hand-rolled sqlite3 queue under the same load; and the speed of
compaction next to copying the same bytes with cp.

Run: make bench   (or: python bench/multiprocess_bench.py after installing ferrow)
Every figure is measured in this one run, on one filesystem (by default under
the repository's build/, because /tmp may be a tmpfs where fsync costs
nothing), with 100-byte bodies, and is the median of --rounds rounds. The
table is printed and also written to bench/results/multiprocess.md.

(1) P producer processes enqueue 2N messages between them with single
`enqueue` calls while P consumer processes loop `dequeue` + `ack` until the
producers are done and the queue is empty, for P = 1, 2, 4 and 8 (--layouts).
All are started with the "spawn" method, open the queue, and then wait at a
barrier; the wall
time runs from the first process leaving the barrier to the last ack, so 2N /
wall time is the end-to-end rate. The single-process figure is one process
doing enqueue, then dequeue + ack, for 2N messages. Every delivered body is
checked: none lost, none delivered twice, none redelivered, every ack finds
its message. The device's flush requests (from /sys/block) are counted over
each round: three operations per message, divided by the flushes, say how many
operations share one flush. --baseline DIR adds the default-policy rows for
another build of the module unpacked in DIR (for example the build before a
change), measured in the same rounds.

(2) One process at a time, for this build and the --baseline build in turn
(bench/build_figures.py): opening a log of --open-messages live messages,
next to reading the same file sequentially from the page cache; the resident
memory it adds per live message; durable batch cycles of 1000; single
operations (durable enqueue, cycles with sync_interval_ms=1000 and in
memory); in-memory batch cycles.

(3) A queue holding LIVE present messages and as many acknowledged ones is
compacted in a fresh process (its log was just written, so it is in the page
cache); the rate is live bytes before / seconds of `compact()`. The baseline
copies a file of the same number of bytes with cp and then syncs the copy and
its directory with sync, since compaction forces both the new log and the
directory to stable storage.
"""
import argparse
import multiprocessing
import os
import queue
import shutil
import statistics
import subprocess
import sys
import time
import traceback

import ferrow  # the build under test; children may load a baseline instead

import build_figures

from _common import (BODY, DEFAULT_BENCH_DIR, PEER_QUEUES, REPO, Scratch, SqliteQueue,
                     filesystem_of, sqlite_integrity)

RESULTS = os.path.join(REPO, "bench", "results", "multiprocess.md")
# The fault shim of `make cpp` counts the fsync calls of the processes that
# load it: Ferrow's own fsyncs, apart from anything else the disk flushes.
FSYNC_SHIM = os.path.join(REPO, "build", "cpp", "libferrow_fault_shim.so")
FSYNC_SHIM_ENV = "FERROW_BENCH_COUNT_FSYNCS"

# The process layouts measured: one process doing everything, and P
# producers beside P consumers.
LAYOUTS = {"single": 0, "1+1": 1, "2+2": 2, "4+4": 4, "8+8": 8}
OPS_PER_MESSAGE = 3
# Upper bound for one round (process start-up included); a child still running
# after it is killed and the round fails.
CHILD_TIMEOUT_S = 120.0
# A consumer that finds the queue empty while producers are still running
# backs off briefly instead of taking the lock again at once.
IDLE_SLEEP_S = 0.0001
# Concurrent sqlite3 writers wait for the lock as long as the queue's own
# process lock would before giving up.
BUSY_TIMEOUT_MS = 30_000
COMPACT_CHUNK = 10_000
# Work per round of the one-process figures (batches count cycles of 1000).
SINGLE_COUNTS = {"durable-batch": 20, "durable-enqueue": 500, "relaxed-cycle": 20_000,
                 "memory-cycle": 200_000, "memory-batch": 200}
HEADER_BYTES = 16
FRAME_OVERHEAD = 33

# CLOCK_MONOTONIC is one clock for every process on the machine, so a start
# stamp from one child and an end stamp from another can be subtracted.
clock = time.monotonic


def body_of(tag, i):
    """A 100-byte body that names its producer and index, so the consumed set
    can be checked against what was produced."""
    return f"{tag}:{i}:".encode().ljust(len(BODY), b"x")


# Queue kinds: ("ferrow", sync_interval_ms or None), ("ferrow", (sync_interval_ms,
# module directory)) for a baseline build, ("sqlite", synchronous), and a key of
# PEER_QUEUES (option unused: those queues keep their defaults).

def ferrow_option(option):
    """(sync_interval_ms, the ferrow module to use) of a ferrow row's option."""
    if isinstance(option, tuple):
        interval, module_dir = option
        sys.path.insert(0, module_dir)
        sys.modules.pop("ferrow", None)
        import ferrow as module
        sys.path.remove(module_dir)
        return interval, module
    return option, ferrow


def prepare_queue(kind, option, directory):
    """Create the queue before the children start, so that the timed part never
    includes creating it and the children only open it."""
    if kind == "ferrow":
        q = ferrow.FerrowCore(os.path.join(directory, "q"), sync_interval_ms=ferrow_interval(option))
        del q
    elif kind == "sqlite":
        SqliteQueue(directory, option, create=True).close()
    else:
        PEER_QUEUES[kind](directory).close()


def ferrow_interval(option):
    return option[0] if isinstance(option, tuple) else option


def open_queue(kind, option, directory):
    """Opens the queue in a child (which may load a baseline build)."""
    if kind == "ferrow":
        interval, module = ferrow_option(option)
        return module.FerrowCore(os.path.join(directory, "q"), sync_interval_ms=interval)
    if kind == "sqlite":
        return SqliteQueue(directory, option, create=False, busy_timeout_ms=BUSY_TIMEOUT_MS)
    return PEER_QUEUES[kind](directory)


def leftover_messages(kind, option, directory):
    """(messages still in the queue, integrity problem or None) after a round."""
    if kind == "ferrow":
        q = ferrow.FerrowCore(os.path.join(directory, "q"),
                              sync_interval_ms=ferrow_interval(option))
        total = q.stats()["total"]
        report = q.verify_integrity()
        del q
        return total, None if report["ok"] else report["message"]
    if kind in PEER_QUEUES:
        q = PEER_QUEUES[kind](directory)
        try:
            total = q.remaining()
        finally:
            q.close()
        check = sqlite_integrity(q.db_path)
        return total, None if check == "ok" else check
    q = SqliteQueue(directory, option, create=False, busy_timeout_ms=BUSY_TIMEOUT_MS)
    try:
        total = q.db.execute("SELECT count(*) FROM q").fetchone()[0]
        check = q.db.execute("PRAGMA integrity_check").fetchone()[0]
    finally:
        q.close()
    return total, None if check == "ok" else check


def fsync_calls():
    """The fsync calls this process made, where the counting shim is loaded
    (FSYNC_SHIM_ENV), else None."""
    if not os.environ.get(FSYNC_SHIM_ENV):
        return None
    import ctypes
    try:
        count = ctypes.CDLL(None).ferrow_fault_calls
    except AttributeError:
        return None
    count.argtypes = (ctypes.c_char_p,)
    count.restype = ctypes.c_long
    return count(b"fsync")


def worker(kind, option, directory, role, tag, count, producers, barrier, producers_done,
           results):
    """One child process. Puts exactly one tuple on `results`:
    (role, tag, start, end, consumed bodies, redelivered, failed acks, fsync calls or None,
    error)."""
    try:
        q = open_queue(kind, option, directory)
        barrier.wait(CHILD_TIMEOUT_S)
        start = clock()
        end = start
        consumed = []
        redelivered = failed_acks = 0
        if role == "producer":
            enqueue = q.enqueue
            for i in range(count):
                enqueue(body_of(tag, i))
            end = clock()
            with producers_done.get_lock():
                producers_done.value += 1
        elif role == "consumer":
            dequeue, ack, keep = q.dequeue, q.ack, consumed.append
            while True:
                # Read before dequeueing: once every producer has finished, an
                # empty queue stays empty, so the consumer may stop.
                finished = producers_done.value == producers
                m = dequeue()
                if m is None:
                    if finished:
                        break
                    time.sleep(IDLE_SLEEP_S)
                    continue
                if not ack(m[0]):
                    failed_acks += 1
                end = clock()
                keep(m[1])
                if m[2] != 1:
                    redelivered += 1
        else:  # one process doing all the work
            enqueue, dequeue, ack, keep = q.enqueue, q.dequeue, q.ack, consumed.append
            for i in range(count):
                enqueue(body_of(tag, i))
                m = dequeue()
                if not ack(m[0]):
                    failed_acks += 1
                keep(m[1])
                if m[2] != 1:
                    redelivered += 1
            end = clock()
        if kind != "ferrow":
            q.close()
        del q
        results.put((role, tag, start, end, consumed, redelivered, failed_acks, fsync_calls(),
                     None))
    except BaseException:
        results.put((role, tag, None, None, [], 0, 0, None, traceback.format_exc()))


def run_children(ctx, children, results, timeout_s):
    """Start one process per (target, args) in `children`, collect one result from
    each, and make sure that none outlives this call."""
    procs = [ctx.Process(target=target, args=args, daemon=True) for target, args in children]
    outs = []
    try:
        for p in procs:
            p.start()
        deadline = clock() + timeout_s
        while len(outs) < len(procs):
            try:
                out = results.get(timeout=0.5)
            except queue.Empty:
                if clock() > deadline:
                    raise TimeoutError(f"children still running after {timeout_s:.0f} s")
                crashed = [p.exitcode for p in procs if p.exitcode not in (None, 0)]
                if crashed:
                    raise RuntimeError(f"a child exited with code {crashed[0]} without a result")
                continue
            if out[-1] is not None:
                raise RuntimeError(f"child failed:\n{out[-1]}")
            outs.append(out)
        for p in procs:
            p.join(max(0.1, deadline - clock()))
            if p.exitcode != 0:
                raise RuntimeError(f"a child ended with exit code {p.exitcode}")
        return outs
    finally:
        for p in procs:
            if p.is_alive():
                p.terminate()
                p.join(5)
            if p.is_alive():
                p.kill()
                p.join(5)


def device_flushes(path):
    """Flush requests the block device holding `path` has completed, or None
    where the kernel does not count them."""
    dev = os.stat(path).st_dev
    base = f"/sys/dev/block/{os.major(dev)}:{os.minor(dev)}"
    if os.path.exists(os.path.join(base, "partition")):
        base = os.path.join(base, "..")
    try:
        with open(os.path.join(base, "stat")) as f:
            fields = f.read().split()
    except OSError:
        return None
    return int(fields[15]) if len(fields) > 15 else None


def delivery_round(ctx, scratch, kind, option, total, layout, fsync_shim=None):
    """One round of `total` messages; returns (messages per second, device
    flushes or None, list of problems found). With `fsync_shim` (the fault
    shim of the C++ build, which counts calls) the Ferrow children load it,
    and `fsync_shim` is then a list to which the round's fsync calls are
    appended."""
    d = scratch.fresh()
    try:
        prepare_queue(kind, option, d)
        results = ctx.Queue()
        producers_done = ctx.Value("i", 0)
        pairs = LAYOUTS[layout]
        if pairs:
            roles = [("producer", f"p{i}", total // pairs) for i in range(pairs)]
            roles += [("consumer", f"c{i}", 0) for i in range(pairs)]
        else:
            roles = [("single", "s", total)]
        barrier = ctx.Barrier(len(roles))
        children = [(worker, (kind, option, d, role, tag, count, pairs, barrier, producers_done,
                              results))
                    for role, tag, count in roles]
        flushes_before = device_flushes(d)
        shim_env = {}
        if fsync_shim is not None and kind == "ferrow" and os.path.exists(FSYNC_SHIM):
            # Children inherit the environment they are started with.
            shim_env = {"LD_PRELOAD": FSYNC_SHIM, FSYNC_SHIM_ENV: "1"}
        saved = {k: os.environ.get(k) for k in shim_env}
        os.environ.update(shim_env)
        try:
            outs = run_children(ctx, children, results, CHILD_TIMEOUT_S)
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        flushes_after = device_flushes(d)
        flushes = (None if flushes_before is None or flushes_after is None
                   else flushes_after - flushes_before)

        start = min(o[2] for o in outs)
        end = max(o[3] for o in outs)
        consumed = [b for o in outs for b in o[4]]
        expected = {body_of(tag, i) for role, tag, count in roles for i in range(count)}
        got = set(consumed)
        problems = []
        if len(consumed) != total:
            problems.append(f"{len(consumed)} deliveries for {total} messages")
        if len(got) != len(consumed):
            problems.append(f"{len(consumed) - len(got)} duplicate deliveries")
        if expected - got:
            problems.append(f"{len(expected - got)} messages never delivered")
        if got - expected:
            problems.append(f"{len(got - expected)} unexpected bodies")
        redelivered = sum(o[5] for o in outs)
        failed_acks = sum(o[6] for o in outs)
        if redelivered:
            problems.append(f"{redelivered} deliveries with a count above 1")
        if failed_acks:
            problems.append(f"{failed_acks} acks found no message")
        left, damage = leftover_messages(kind, option, d)
        if left:
            problems.append(f"{left} messages left in the queue")
        if damage:
            problems.append(f"integrity check: {damage}")
        if shim_env and all(o[7] is not None for o in outs):
            fsync_shim.append(sum(o[7] for o in outs))
        return total / (end - start), flushes, problems
    finally:
        build_figures.remove_settled(scratch, d)


# (2) compaction.

def build_compaction_template(scratch, live):
    """A queue log with `live` present messages behind `live` acknowledged ones
    (each of those left an Enqueue, a Lease and an Ack frame behind)."""
    d = scratch.fresh()
    path = os.path.join(d, "q")
    # Only the closing sync of each batch reaches the disk, and no automatic
    # compaction may run while the dead space piles up.
    q = ferrow.FerrowCore(path, sync_interval_ms=3_600_000, auto_compact_bytes=0)
    bodies = [BODY] * COMPACT_CHUNK
    for _ in range(live // COMPACT_CHUNK):
        q.enqueue_batch(bodies)
        q.ack_batch([m[0] for m in q.dequeue_batch(COMPACT_CHUNK)])
    for _ in range(live // COMPACT_CHUNK):
        q.enqueue_batch(bodies)
    q.flush()
    stats = q.stats()
    del q
    assert stats["total"] == live, stats
    assert stats["live_bytes"] == live * (len(BODY) + FRAME_OVERHEAD), stats
    return d, os.path.join(path, "queue.log")


def compact_child(path, results):
    try:
        q = ferrow.FerrowCore(path, auto_compact_bytes=0)
        before = q.stats()
        start = clock()
        q.compact()
        seconds = clock() - start
        after = q.stats()
        report = q.verify_integrity()
        del q
        results.put((seconds, before, after, report, None))
    except BaseException:
        results.put((None, None, None, None, traceback.format_exc()))


def copy_synced(src, dst):
    """A copy of `src` at `dst` that is on stable storage, so that the timed
    part later does not also pay for writing back this copy."""
    shutil.copyfile(src, dst)
    fd = os.open(dst, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def compaction_round(ctx, scratch, template_log):
    d = scratch.fresh()
    try:
        qdir = os.path.join(d, "q")
        os.mkdir(qdir)
        copy_synced(template_log, os.path.join(qdir, "queue.log"))
        results = ctx.Queue()
        (out,) = run_children(ctx, [(compact_child, (qdir, results))], results, CHILD_TIMEOUT_S)
        seconds, before, after, report, _ = out
        problems = []
        if after["total"] != before["total"] or after["live_bytes"] != before["live_bytes"]:
            problems.append(f"messages changed: {before} -> {after}")
        if after["log_bytes"] != HEADER_BYTES + before["live_bytes"]:
            problems.append(f"compacted log is {after['log_bytes']} bytes, expected "
                            f"{HEADER_BYTES + before['live_bytes']}")
        if after["generation"] != before["generation"] + 1:
            problems.append(f"generation {before['generation']} -> {after['generation']}")
        if not report["ok"]:
            problems.append(f"integrity check after compact: {report['message']}")
        return seconds, before, after, problems
    finally:
        scratch.remove(d)


def cp_round(scratch, src):
    d = scratch.fresh()
    try:
        dst = os.path.join(d, "copy.bin")
        start = clock()
        subprocess.run(["cp", src, dst], check=True, timeout=CHILD_TIMEOUT_S)
        subprocess.run(["sync", dst, d], check=True, timeout=CHILD_TIMEOUT_S)
        return clock() - start
    finally:
        scratch.remove(d)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR,
                        help="directory for the queue files (default: build/bench in the repo)")
    parser.add_argument("--n", type=int, default=8000,
                        help="messages per round for the rows that sync every operation")
    parser.add_argument("--fast-n", type=int, default=80_000,
                        help="messages per round for the rows that do not")
    parser.add_argument("--live", type=int, default=200_000,
                        help="present messages (and as many acknowledged ones) to compact")
    parser.add_argument("--open-messages", type=int, default=1_000_000,
                        help="live messages in the log that is opened")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--layouts", default="single,1+1,2+2,4+4,8+8",
                        help="process layouts of the rows that sync every operation")
    parser.add_argument("--baseline", metavar="DIR",
                        help="another build of the ferrow module, unpacked in DIR")
    args = parser.parse_args()
    if args.rounds < 1 or args.live % COMPACT_CHUNK or args.open_messages % COMPACT_CHUNK:
        parser.error(f"--rounds must be positive, --live and --open-messages multiples of "
                     f"{COMPACT_CHUNK}")

    ctx = multiprocessing.get_context("spawn")
    scratch = Scratch(args.dir, prefix="multiprocess-bench-")
    mount, fstype = filesystem_of(scratch.root)
    if fstype in ("tmpfs", "ramfs"):
        print(f"warning: {args.dir} is on {fstype}; fsync costs nothing there", file=sys.stderr)
    rounds = args.rounds
    synced_layouts = tuple(args.layouts.split(","))
    # (label, durability, kind, option, messages, layouts, sqlite3 row, baseline row)
    configs = [
        ("ferrow", "default (fsync every record)", "ferrow", None, args.n, synced_layouts, 1,
         2 if args.baseline else None),
        ("sqlite3 WAL", "synchronous=FULL", "sqlite", "FULL", args.n, synced_layouts, None, None),
    ]
    if args.baseline:
        configs.append(("ferrow, baseline build", "default (fsync every record)", "ferrow",
                        (None, os.path.abspath(args.baseline)), args.n, synced_layouts, 1, None))
    configs += [
        ("ferrow", "sync_interval_ms=1000", "ferrow", 1000, args.fast_n, ("single", "2+2"),
         len(configs) + 1, None),
        ("sqlite3 WAL", "synchronous=NORMAL", "sqlite", "NORMAL", args.fast_n, ("single", "2+2"),
         None, None),
    ]
    samples = {(i, layout): [] for i, c in enumerate(configs) for layout in c[5]}
    flush_counts = {key: [] for key in samples}
    fsync_counts = {key: [] for key in samples}
    problems = {i: [] for i in range(len(configs))}
    compact_s, cp_s, compact_problems = [], [], []
    began = clock()
    try:
        print(f"measuring in {scratch.root} ({fstype} on {mount})", file=sys.stderr)
        # Rounds go round the configurations, so a slow spell of the machine
        # touches every row alike rather than one of them; each round starts
        # at another configuration, so that none always comes first.
        for r in range(rounds):
            order = [(i + r) % len(configs) for i in range(len(configs))]
            for i in order:
                label, durability, kind, option, n, layouts, _, _ = configs[i]
                for layout in layouts:
                    fsyncs = []
                    rate, flushes, found = delivery_round(ctx, scratch, kind, option, n, layout,
                                                          fsyncs)
                    if fsyncs and fsyncs[0]:
                        fsync_counts[(i, layout)].append(n * OPS_PER_MESSAGE / fsyncs[0])
                    samples[(i, layout)].append(rate)
                    if flushes:
                        flush_counts[(i, layout)].append(n * OPS_PER_MESSAGE / flushes)
                    problems[i] += [f"round {r + 1}, {layout}: {p}" for p in found]
                    print(f"  round {r + 1}: {label} {durability}, {layout}: {rate:,.0f} msgs/s"
                          + (f"  PROBLEMS: {'; '.join(found)}" if found else ""),
                          file=sys.stderr, flush=True)

        builds = [("this build", None)]
        if args.baseline:
            builds.append(("baseline", os.path.abspath(args.baseline)))
        log = lambda line: print(line, file=sys.stderr, flush=True)  # noqa: E731
        print(f"  opening a log of {args.open_messages:,} live messages", file=sys.stderr,
              flush=True)
        opened, read_s, open_log_bytes, replay_floor_s = build_figures.measure_open(
            builds, args.open_messages, rounds, scratch, log)
        single_rates = build_figures.measure_rates(builds, SINGLE_COUNTS, rounds, scratch, log)

        print(f"  building a log of {args.live:,} present and {args.live:,} acknowledged "
              "messages", file=sys.stderr, flush=True)
        template_dir, template_log = build_compaction_template(scratch, args.live)
        log_before = os.path.getsize(template_log)
        live_bytes = args.live * (len(BODY) + FRAME_OVERHEAD)
        # The cp source holds exactly the live bytes; it is on disk and in the
        # page cache, like the log that compaction reads.
        cp_src = os.path.join(template_dir, "cp-source.bin")
        with open(template_log, "rb") as f, open(cp_src, "wb") as out:
            out.write(f.read(live_bytes))
            out.flush()
            os.fsync(out.fileno())
        for r in range(rounds):
            seconds, before, after, found = compaction_round(ctx, scratch, template_log)
            assert before["live_bytes"] == live_bytes, before
            compact_s.append(seconds)
            compact_problems += [f"round {r + 1}: {p}" for p in found]
            cp_s.append(cp_round(scratch, cp_src))
            print(f"  round {r + 1}: compact {seconds * 1000:,.1f} ms, cp + sync "
                  f"{cp_s[-1] * 1000:,.1f} ms" + (f"  PROBLEMS: {'; '.join(found)}" if found else ""),
                  file=sys.stderr, flush=True)
        scratch.remove(template_dir)
    finally:
        scratch.close()
    elapsed = clock() - began

    med = {key: statistics.median(values) for key, values in samples.items()}
    lines = [
        f"P producer + P consumer processes on one queue directory (spawned, released "
        f"together by a barrier; single `enqueue`, `dequeue` + `ack`), and one process "
        f"doing enqueue, dequeue + ack, for the same messages. 100-byte bodies, median of "
        f"{rounds} rounds, one run on {fstype} ({mount}), {os.cpu_count()} CPUs. Rate = "
        f"messages / wall time from the barrier to the last ack. The sqlite3 queue is one row "
        f"per message, WAL, each operation its own transaction, consumers claiming the "
        f"smallest ready id with one UPDATE, busy_timeout={BUSY_TIMEOUT_MS} ms. Operations "
        f"per device flush: {OPS_PER_MESSAGE} per message / flush requests the disk "
        f"completed during the round (other programs' flushes included); per fsync: "
        f"Ferrow's own fsync calls, counted by the fault shim of `make cpp` where it was "
        f"built.",
        "",
        "| queue | durability | processes | messages | msgs/s | vs sqlite3 | vs baseline "
        "| operations per device flush | operations per fsync | check |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for i, (label, durability, kind, option, n, layouts, twin, base) in enumerate(configs):
        check = "ok" if not problems[i] else f"{len(problems[i])} problems (see below)"
        for layout in layouts:
            rate = med[(i, layout)]
            vs_sqlite = "" if twin is None else f"{rate / med[(twin, layout)]:.2f}x"
            vs_base = "" if base is None else f"{rate / med[(base, layout)]:.2f}x"
            per_flush = flush_counts[(i, layout)]
            per_flush = f"{statistics.median(per_flush):.2f}" if per_flush else "n/a"
            per_fsync = fsync_counts[(i, layout)]
            per_fsync = f"{statistics.median(per_fsync):.2f}" if per_fsync else ""
            processes = "1" if layout == "single" else layout
            lines.append(f"| {label} | {durability} | {processes} | {n:,} | {rate:,.0f} | "
                         f"{vs_sqlite} | {vs_base} | {per_flush} | {per_fsync} | {check} |")
    lines += [
        "",
        "vs sqlite3 compares a row with the sqlite3 row of the same process layout and the "
        "same promise: the default policy with synchronous=FULL (both sync every commit), "
        "sync_interval_ms=1000 with synchronous=NORMAL (neither syncs every commit)."
        + (f" vs baseline compares this build with the build in {args.baseline}."
           if args.baseline else ""),
        "",
    ]
    lines += [
        f"Opening a log of {args.open_messages:,} live messages ({open_log_bytes / 2**20:,.0f} "
        f"MiB, 100-byte bodies) in a fresh process, next to reading the file sequentially in "
        f"1 MiB pieces from the page cache ({read_s * 1000:,.1f} ms, median of {rounds}); "
        f"memory is the resident set the open adds, per live message.",
        "",
        "| build | open | vs sequential read | bytes per live message |",
        "|---|---:|---:|---:|",
    ]
    for build, _ in builds:
        seconds, per_message = opened[build]
        lines.append(f"| {build} | {seconds * 1000:,.1f} ms | {seconds / read_s:.2f}x "
                     f"| {per_message:.1f} |")
    if replay_floor_s is not None:
        lines.append(f"| floor: read + CRC check of every frame, nothing indexed "
                     f"(bench/replay_floor.cc) | {replay_floor_s * 1000:,.1f} ms "
                     f"| {replay_floor_s / read_s:.2f}x | |")
    lines += [
        "",
        f"One process, median of {rounds} rounds"
        + (", this build and the baseline in turn" if args.baseline else "") + ".",
        "",
        "| measurement | this build | " + ("baseline | this / baseline |" if args.baseline else "")
        + "",
        "|---|---:|" + ("---:|---:|" if args.baseline else ""),
    ]
    for key, title, unit in build_figures.RATES:
        row = f"| {title} | {single_rates[('this build', key)]:,.0f} {unit} |"
        if args.baseline:
            base = single_rates[("baseline", key)]
            row += f" {base:,.0f} {unit} | {single_rates[('this build', key)] / base:.2f}x |"
        lines.append(row)
    floor = single_rates[build_figures.FLOOR]
    ratios = [f"{build} {single_rates[(build, 'durable-batch')] / floor:.2f}x"
              for build, _ in builds]
    lines += [
        "",
        f"Floor of a durable batch cycle, measured beside it in every round: a C loop "
        f"(bench/fsync_floor.c) appending the same frames in three writes of "
        f"{', '.join(f'{n:,}' for n in build_figures.CYCLE_WRITES)} bytes, each followed by "
        f"an fsync, as the queue syncs each batch call: {floor:,.0f} msgs/s. Durable batch "
        f"cycles against it: {', '.join(ratios)}.",
    ]
    lines.append("")
    c_med, cp_med = statistics.median(compact_s), statistics.median(cp_s)
    lines += [
        f"Compaction of a log of {log_before / 1e6:,.1f} MB holding {args.live:,} present and "
        f"{args.live:,} acknowledged messages, in a fresh process, log in the page cache; "
        f"rate = live bytes before ({live_bytes / 1e6:,.1f} MB) / seconds; median of {rounds} "
        f"rounds. cp copies a file of the same size, then `sync` forces the copy and its "
        f"directory to stable storage (two command launches included).",
        "",
        "| measurement | time | rate | vs cp + sync |",
        "|---|---:|---:|---:|",
        f"| compact() | {c_med * 1000:,.1f} ms | {live_bytes / c_med / 1e6:,.0f} MB/s "
        f"| {cp_med / c_med:.2f}x |",
        f"| cp + sync, {live_bytes:,} bytes | {cp_med * 1000:,.1f} ms "
        f"| {live_bytes / cp_med / 1e6:,.0f} MB/s | 1.00x |",
        "",
        f"Whole benchmark: {elapsed:,.0f} s.",
    ]
    all_problems = [f"{configs[i][0]} {configs[i][1]}: {p}" for i in problems for p in problems[i]]
    all_problems += [f"compaction: {p}" for p in compact_problems]
    if all_problems:
        lines += ["", "Problems found:", ""] + [f"- {p}" for p in all_problems]
    table = "\n".join(lines) + "\n"
    print(table)
    os.makedirs(os.path.dirname(RESULTS), exist_ok=True)
    with open(RESULTS, "w") as out:
        out.write(table)
    if all_problems:
        sys.exit(1)


if __name__ == "__main__":
    main()
