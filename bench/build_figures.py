"""One process at a time, for two builds of the module side by side: opening
a long log (against reading its bytes), memory per live message after
opening, and the batch and single-operation rates.

Each figure is taken in a fresh interpreter that imports the build under
test from a given directory (None: the installed one), so that two builds
are measured in the same run, round after round in turn. The sequential
read that opening is compared with also runs in a fresh interpreter, right
before each open, so that both start from the same state of the machine.
Durable batch cycles are set beside their floor: a C loop that appends the
frames of one cycle (its Enqueues, Leases and Acks, one write each) and
fsyncs after each, as the queue must. Used by multiprocess_bench.py.
"""
import os
import statistics
import subprocess
import sys
import textwrap

from _common import RSS_KIB_SOURCE, build_long_log

PROBE_TIMEOUT_S = 600
READ_CHUNK = 1 << 20
OPEN_CHUNK = 10_000
BATCH = 1000
# The frames one durable batch cycle of 100-byte bodies appends: 12 bytes of
# frame header before each payload; an Enqueue payload of 21 bytes and the
# body, a Lease of 21, an Ack of 9.
CYCLE_WRITES = (BATCH * (12 + 21 + 100), BATCH * (12 + 21), BATCH * (12 + 9))
FLOOR_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fsync_floor.c")
FLOOR_BINARY = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                            "build", "fsync_floor")
# The key of the floor among the rates of measure_rates.
FLOOR = ("floor", "durable-batch")
# The floor of opening: reading the log and checking every frame's CRC with
# the engine's kernel, built against the engine library of `make cpp`.
REPLAY_FLOOR_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "replay_floor.cc")
REPLAY_FLOOR_BINARY = os.path.join(os.path.dirname(FLOOR_BINARY), "replay_floor")
ENGINE_LIBRARY = os.path.join(os.path.dirname(FLOOR_BINARY), "cpp", "libferrow_queue.a")

# (key, title, unit): the figures of the rate probe.
RATES = [
    ("durable-batch", f"durable batch cycles of {BATCH} (enqueue_batch + dequeue_batch + "
                      "ack_batch, default policy)", "msgs/s"),
    ("durable-enqueue", "durable single enqueue (default policy)", "ops/s"),
    ("relaxed-cycle", "single enqueue + dequeue + ack, sync_interval_ms=1000", "cycles/s"),
    ("memory-cycle", "single enqueue + dequeue + ack, :memory:", "cycles/s"),
    ("memory-batch", f"batch cycles of {BATCH}, :memory:", "msgs/s"),
]

RATE_PROBE = textwrap.dedent("""
    import os, sys, time
    import ferrow

    kind, count, directory = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    body = b"x" * 100
    if kind.startswith("memory"):
        q = ferrow.FerrowCore(":memory:")
    elif kind.startswith("relaxed"):
        q = ferrow.FerrowCore(os.path.join(directory, "q"), sync_interval_ms=1000)
    else:
        q = ferrow.FerrowCore(os.path.join(directory, "q"))
    enqueue, dequeue, ack = q.enqueue, q.dequeue, q.ack
    bodies = [body] * 1000
    start = time.perf_counter()
    if kind.endswith("batch"):
        for _ in range(count):
            q.enqueue_batch(bodies)
            q.ack_batch([m[0] for m in q.dequeue_batch(1000)])
        count *= 1000
    elif kind.endswith("enqueue"):
        for _ in range(count):
            enqueue(body)
    else:
        for _ in range(count):
            enqueue(body)
            ack(dequeue()[0])
    elapsed = time.perf_counter() - start
    assert q.stats()["total"] == (count if kind.endswith("enqueue") else 0)
    print(count / elapsed)
""")

READ_PROBE = textwrap.dedent("""
    import sys, time

    buf = bytearray(%d)
    start = time.perf_counter()
    with open(sys.argv[1], "rb", buffering=0) as f:
        while f.readinto(buf):
            pass
    print(time.perf_counter() - start)
""" % READ_CHUNK)

OPEN_PROBE = RSS_KIB_SOURCE + textwrap.dedent("""
    import sys, time
    import ferrow

    before = rss_kib()
    start = time.perf_counter()
    q = ferrow.FerrowCore(sys.argv[1])
    elapsed = time.perf_counter() - start
    after = rss_kib()
    print(elapsed, (after - before) * 1024, q.stats()["total"])
""")


def run_probe(source, args, module_dir):
    env = dict(os.environ)
    if module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, "-c", source, *map(str, args)], env=env, check=True,
                         capture_output=True, text=True, timeout=PROBE_TIMEOUT_S)
    return [float(x) for x in out.stdout.split()]


def remove_settled(scratch, path):
    """Removes a scratch directory and lets the disk absorb it: on a file
    system mounted with `discard` the freed blocks are trimmed at the next
    journal commit, which would otherwise land in the next timed fsync, and
    so on whichever build happens to run next."""
    scratch.remove(path)
    os.sync()


def build_floor():
    os.makedirs(os.path.dirname(FLOOR_BINARY), exist_ok=True)
    subprocess.run(["cc", "-O2", "-o", FLOOR_BINARY, FLOOR_SOURCE], check=True,
                   timeout=PROBE_TIMEOUT_S)


def batch_floor_rate(scratch, cycles):
    """Messages per second of the C loop that writes and fsyncs what
    `cycles` durable batch cycles write."""
    d = scratch.fresh()
    try:
        out = subprocess.run([FLOOR_BINARY, os.path.join(d, "append.bin"), str(cycles),
                              *map(str, CYCLE_WRITES)],
                             check=True, capture_output=True, text=True, timeout=PROBE_TIMEOUT_S)
        return cycles * BATCH / float(out.stdout)
    finally:
        remove_settled(scratch, d)


def measure_rates(builds, counts, rounds, scratch, log=print):
    """{(build, key): median rate}, and the floor of durable batch cycles
    under FLOOR; rounds go round the figures and builds, the builds in turn
    first, the floor beside the durable batches."""
    build_floor()
    samples = {}
    for r in range(rounds):
        for key, title, unit in RATES:
            for build, module_dir in builds if r % 2 == 0 else builds[::-1]:
                d = scratch.fresh()
                try:
                    (rate,) = run_probe(RATE_PROBE, (key, counts[key], d), module_dir)
                finally:
                    remove_settled(scratch, d)
                samples.setdefault((build, key), []).append(rate)
                log(f"  round {r + 1}: {build}, {title}: {rate:,.0f} {unit}")
            if key == FLOOR[1]:
                rate = batch_floor_rate(scratch, counts[key])
                samples.setdefault(FLOOR, []).append(rate)
                log(f"  round {r + 1}: floor of {title}: {rate:,.0f} {unit}")
    return {k: statistics.median(v) for k, v in samples.items()}


def build_replay_floor():
    """Whether the replay floor could be built (it needs `make cpp`)."""
    if not os.path.exists(ENGINE_LIBRARY):
        return False
    source_dir = os.path.join(os.path.dirname(os.path.dirname(REPLAY_FLOOR_SOURCE)), "src")
    subprocess.run(["c++", "-O2", "-std=c++20", "-I", source_dir, "-o", REPLAY_FLOOR_BINARY,
                    REPLAY_FLOOR_SOURCE, ENGINE_LIBRARY], check=True, timeout=PROBE_TIMEOUT_S)
    return True


def replay_floor_seconds(path):
    out = subprocess.run([REPLAY_FLOOR_BINARY, path], check=True, capture_output=True, text=True,
                         timeout=PROBE_TIMEOUT_S)
    return float(out.stdout.split()[0])


def read_sequentially(path):
    """Seconds a fresh interpreter takes to read the file, as an open would
    read it: from the page cache, in a process that starts cold."""
    (seconds,) = run_probe(READ_PROBE, (path,), None)
    return seconds


def measure_open(builds, messages, rounds, scratch, log=print):
    """{build: (median open seconds, median bytes per live message)}, the
    median seconds of reading the log, taken beside each open, the log's
    size, and the median seconds of the replay floor beside each read (None
    without `make cpp`)."""
    d, path = build_long_log(scratch, messages, OPEN_CHUNK)
    log_path = os.path.join(path, "queue.log")
    with_floor = build_replay_floor()
    try:
        read_sequentially(log_path)  # from the page cache from here on
        reads, floors, opens = [], [], {}
        for r in range(rounds):
            for build, module_dir in builds if r % 2 == 0 else builds[::-1]:
                if with_floor:
                    floors.append(replay_floor_seconds(log_path))
                reads.append(read_sequentially(log_path))
                seconds, rss_bytes, total = run_probe(OPEN_PROBE, (path,), module_dir)
                assert int(total) == messages, total
                opens.setdefault(build, []).append((seconds, rss_bytes / messages))
                log(f"  round {r + 1}: {build}: open {seconds * 1000:,.1f} ms, read "
                    f"{reads[-1] * 1000:,.1f} ms, {rss_bytes / messages:.1f} bytes per message")
        result = {b: (statistics.median(s for s, _ in v), statistics.median(m for _, m in v))
                  for b, v in opens.items()}
        floor = statistics.median(floors) if floors else None
        return result, statistics.median(reads), os.path.getsize(log_path), floor
    finally:
        remove_settled(scratch, d)
