"""What delays and priorities cost, beside plain messages, per target.

    python bench/scheduling_bench.py [--seconds S] [--rounds N] [--dir DIR]
                                     [--before PYTHON_DIR] [--no-redis]

Per message, in one process, on ":memory:", a directory with
sync_interval_ms=1000 and a Redis server (appendfsync always, when
redis-server is installed):

- FerrowCore: enqueue, dequeue, ack (the baseline of the same run);
- plain: `Queue.put`, `get(timeout=0)`, `ack`;
- prioritised: the same on `Queue(target, priorities=4)`, levels in turn;
- delayed: `put(delay=...)` of a batch, one `get` that finds none due (on a
  local queue it holds them all, leased until due), then `get` and `ack` of
  each once due. Only the calls are timed, not the wait for the due time.

On ":memory:" and a directory the calls' CPU time is what is timed (the
process does all the work, system calls included), which the other
processes of a busy machine disturb far less than the wall clock; on Redis,
where the server does part of it, the wall clock.

`--before` loads another ferrow_tools package (a copy of an older python/
directory) beside the installed one and times its plain cycle in the same
rounds: the ratio after/before is the cost that scheduling adds to a plain
queue. Each figure is the best of N rounds, all variants interleaved.
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from _common import BODY, DEFAULT_BENCH_DIR  # noqa: E402
from client_overhead import load_package  # noqa: E402
from conftest import REDIS_SERVER, RedisServer  # noqa: E402

import ferrow  # noqa: E402
import ferrow_tools  # noqa: E402
from ferrow_tools.targets import open_queue  # noqa: E402

BATCH = 200
DELAY_S = 0.05


def clock_for(target):
    return time.perf_counter if target.startswith("redis") else time.process_time


def core_round(target, options, seconds):
    clock = clock_for(target)
    q = open_queue(target, **options)
    n, spent = 0, 0.0
    while spent < seconds:
        start = clock()
        for _ in range(BATCH):
            q.enqueue(BODY)
            q.ack(q.dequeue()[0])
        spent += clock() - start
        n += BATCH
    return n / spent, q


def plain_round(package, **queue_options):
    def run(target, options, seconds):
        clock = clock_for(target)
        q = package.Queue(target, **options, **queue_options)
        n, spent, level = 0, 0.0, 0
        levels = queue_options.get("priorities", 1)
        while spent < seconds:
            start = clock()
            for _ in range(BATCH):
                if levels == 1:
                    q.put(BODY)
                else:
                    q.put(BODY, priority=level)
                    level = (level + 1) % levels
                q.get(timeout=0).ack()
            spent += clock() - start
            n += BATCH
        return n / spent, q
    return run


def delayed_round(target, options, seconds):
    clock = clock_for(target)
    q = ferrow_tools.Queue(target, **options)
    n, spent = 0, 0.0
    while spent < seconds:
        start = clock()
        for _ in range(BATCH):
            q.put(BODY, delay=DELAY_S)
        left = BATCH
        early = q.get(timeout=0)  # none due yet: on a local queue it holds them all
        if early is not None:  # a slow round: the first came due already
            early.ack()
            left -= 1
        spent += clock() - start
        time.sleep(DELAY_S)
        start = clock()
        for _ in range(left):
            q.get(timeout=5).ack()
        spent += clock() - start
        n += BATCH
    return n / spent, q


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=0.3)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR,
                        help="where the directory queues go (default: %(default)s)")
    parser.add_argument("--before", help="a directory holding another ferrow_tools package")
    parser.add_argument("--no-redis", action="store_true")
    args = parser.parse_args()
    runners = [("FerrowCore", core_round)]
    if args.before:
        runners.append(("before: plain", plain_round(load_package(args.before,
                                                                  "ferrow_tools_before")[0])))
    runners += [("plain", plain_round(ferrow_tools)),
                ("prioritised", plain_round(ferrow_tools, priorities=4)),
                ("delayed", delayed_round)]
    os.makedirs(args.dir, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="scheduling-", dir=args.dir)
    server = None
    targets = [(":memory:", lambda name: ":memory:", {}),
               ("directory, relaxed", lambda name: os.path.join(scratch, name),
                {"sync_interval_ms": 1000})]
    if REDIS_SERVER is not None and not args.no_redis:
        server = RedisServer(os.path.join(scratch, "redis")).start()
        targets.append(("Redis", lambda name: server.url(), {}))
    best = {}
    try:
        for round_number in range(args.rounds):
            for label, where, options in targets:
                for name, run in runners:
                    # A fresh queue each time: a long log is not what is measured.
                    target = where("{}-{}".format(round_number, len(best)))
                    rate, q = run(target, options, args.seconds)
                    close = getattr(q, "close", None)
                    if close is not None:
                        close()
                    key = (label, name)
                    best[key] = max(best.get(key, 0.0), rate)
    finally:
        if server is not None:
            server.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    print("Messages per second (put + get + ack of 100-byte bodies, one process; best of {} "
          "rounds of {} s of calls, CPU time on local targets), and the ratio to FerrowCore".format(args.rounds,
                                                                         args.seconds))
    names = [name for name, _ in runners]
    print("| target | " + " | ".join(names) + " |")
    print("|---|" + "---:|" * len(names))
    for label, _, _ in targets:
        base = best[(label, "FerrowCore")]
        cells = ["{:,.0f}".format(base)]
        cells += ["{:,.0f} ({:.2f}x)".format(best[(label, n)], best[(label, n)] / base)
                  for n in names[1:]]
        print("| {} | {} |".format(label, " | ".join(cells)))
    if args.before:
        print()
        for label, _, _ in targets:
            print("plain Queue after/before, {}: {:.2f}x".format(
                label, best[(label, "plain")] / best[(label, "before: plain")]))


if __name__ == "__main__":
    main()
