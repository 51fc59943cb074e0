"""How soon a waiting `get` returns after a put elsewhere, and how long the
asyncio queue holds its event loop, per target.

    python bench/client_bench.py [--rounds N] [--dir DIR]

For ":memory:", a directory (default sync policy: an fsync per record), the
same with sync_interval_ms=1000, and a Redis server with appendfsync always
(when redis-server is installed):

- wake-up: a producer in another process (a thread for ":memory:", which no
  other process sees) puts a message 10-30 ms apart, stamped with the time
  its put started; the consumer waits in `Queue.get()` (and, in a second
  run, in `await aio.Queue.get()`) and takes the time it returned. Baseline
  in the same run: a put and a get in one process with nothing to wait for.
- event-loop stall: an `aio.Queue` consumer (`async for`, `async with msg`)
  takes messages that a producer process puts 2 ms apart, while a 1 ms timer
  runs on the same loop; the stall is how late a tick came. Baseline in the
  same run: the timer alone on an idle loop for as long.
"""
import argparse
import asyncio
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from _common import DEFAULT_BENCH_DIR  # noqa: E402
from conftest import REDIS_SERVER, RedisServer  # noqa: E402

from ferrow_tools import Queue, aio  # noqa: E402

PRODUCER = r'''
import random, sys, time
from ferrow_tools import Queue
n, low, high = int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
q = Queue(sys.argv[1], sync_interval_ms=int(sys.argv[5]) if sys.argv[5] else None)
sys.stdin.readline()
for _ in range(n):
    time.sleep(random.uniform(low, high))
    q.put(repr(time.time()).encode())
'''


def start_producer(target, n, low_s, high_s, queue):
    """Puts n stamped messages low_s to high_s apart, once `go()` is called,
    with the consumer's sync policy."""
    if target == ":memory:":
        def run():
            for _ in range(n):
                time.sleep(random.uniform(low_s, high_s))
                queue.core.enqueue(repr(time.time()).encode())
                queue.ring()
        thread = threading.Thread(target=run, daemon=True)
        return thread.start, thread.join
    interval = queue.settings.options.get("sync_interval_ms")
    proc = subprocess.Popen([sys.executable, "-c", PRODUCER, target, str(n), str(low_s),
                             str(high_s), "" if interval is None else str(interval)],
                            stdin=subprocess.PIPE, text=True)

    def go():
        proc.stdin.write("go\n")
        proc.stdin.flush()
    return go, lambda: proc.wait(timeout=300)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def blocking_wake_ups(target, options, rounds):
    queue = Queue(target, **options)
    go, join = start_producer(target, rounds, 0.010, 0.030, queue)
    go()
    latencies = []
    for _ in range(rounds):
        msg = queue.get(timeout=60)
        latencies.append(time.time() - float(msg.raw))
        msg.ack()
    join()
    start = time.perf_counter()
    for _ in range(50):
        queue.put(b"x")
        queue.get(timeout=0).ack()
    floor = (time.perf_counter() - start) / 50
    queue.close()
    return latencies, floor


async def ticking(gaps, stop, period=0.001):
    last = time.monotonic()
    while not stop.is_set():
        await asyncio.sleep(period)
        now = time.monotonic()
        gaps.append(now - last - period)
        last = now


async def aio_run(target, options, rounds, low_s, high_s):
    """(wake-up latencies, tick lateness) of an aio consumer with a timer."""
    queue = aio.Queue(target, **options)
    go, join = start_producer(target, rounds, low_s, high_s, queue)
    gaps, latencies, stop = [], [], asyncio.Event()
    timer = asyncio.ensure_future(ticking(gaps, stop))
    await asyncio.sleep(0.05)
    go()
    async for msg in queue:
        async with msg:
            latencies.append(time.time() - float(msg.raw))
        if len(latencies) == rounds:
            break
    stop.set()
    await timer
    await queue.close()
    join()
    return latencies, gaps


async def idle_timer(seconds):
    gaps, stop = [], asyncio.Event()
    timer = asyncio.ensure_future(ticking(gaps, stop))
    await asyncio.sleep(seconds)
    stop.set()
    await timer
    return gaps


def ms(seconds):
    return "{:.2f}".format(seconds * 1000)


def measure(name, target, rounds):
    options = {"sync_interval_ms": 1000} if name.endswith("relaxed") else {}
    wake, floor = blocking_wake_ups(target, options, rounds)
    aio_wake, _ = asyncio.run(aio_run(target, options, rounds, 0.010, 0.030))
    started = time.monotonic()
    _, gaps = asyncio.run(aio_run(target, options, rounds * 2, 0.001, 0.003))
    alone = asyncio.run(idle_timer(time.monotonic() - started))
    return [name, ms(statistics.median(wake)), ms(percentile(wake, 0.99)), ms(floor),
            ms(statistics.median(aio_wake)), ms(percentile(aio_wake, 0.99)),
            ms(max(gaps)), ms(percentile(gaps, 0.99)), ms(max(alone))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR,
                        help="where the directory queues go (default: %(default)s)")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="client-bench-", dir=args.dir)
    server = None
    try:
        targets = [(":memory:", ":memory:"), ("directory", os.path.join(scratch, "a")),
                   ("directory, relaxed", os.path.join(scratch, "b"))]
        if REDIS_SERVER is not None:
            server = RedisServer(os.path.join(scratch, "redis")).start()
            targets.append(("Redis (appendfsync always)", server.url("bench")))
        else:
            print("redis-server not installed: Redis skipped")
        header = ["target", "get p50", "get p99", "put+get alone", "aio get p50",
                  "aio get p99", "longest stall", "stall p99", "timer alone: longest"]
        rows = [measure(name, target, args.rounds) for name, target in targets]
        print("Wake-up after a put elsewhere and event-loop stalls, ms "
              "({} wake-ups per target; 1 ms timer)".format(args.rounds))
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
        for row in rows:
            print("| " + " | ".join(row) + " |")
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
