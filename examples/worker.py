"""Workers: a pool of worker processes built on ferrow_tools.worker, with a
long job kept alive by lease renewal, a poison message retried with back-off
and then moved to the dead-letter queue, and a clean stop on SIGTERM.

Each worker process runs `Worker(...).run()`: it waits for messages (woken by
inotify when one is enqueued), runs the handler while a background thread
renews the lease, acks on success, and on an exception holds the message back
for a growing delay; past MAX_DELIVERIES the message is copied to the
dead-letter queue `<DIR>.dead` and acknowledged.

    python examples/worker.py                    # queues in a temporary directory
    python examples/worker.py --dir /tmp/work    # keep them (jobs/ and jobs.dead/ there)
    python examples/worker.py --jobs 100 --workers 3

The exit status is 0 when every job was processed and acknowledged, the long
job was delivered once only, the poison message reached the dead-letter queue
with its body intact, and every worker exited cleanly on SIGTERM; 1 otherwise.
"""
from __future__ import annotations

import argparse
import multiprocessing
import multiprocessing.queues
import os
import signal
import sys
import tempfile
import time
from typing import TYPE_CHECKING, Dict, List, Optional, Tuple

import ferrow
from ferrow_tools.deadletter import dead_letter_dir, decode
from ferrow_tools.worker import RetryPolicy, Worker

if TYPE_CHECKING:
    from ferrow import DeliveredMessage

LEASE_MS = 500
LONG_JOB_S = 3 * LEASE_MS / 1000  # three lease lengths
MAX_DELIVERIES = 3
POISON = b"poison: \x00\xff cannot be parsed"
DEADLINE_S = 60.0

# (seq, deliveries, pid) of every job a handler finished; set in each worker.
_done: Optional["multiprocessing.queues.Queue[Tuple[int, int, int]]"] = None


def handle(message: DeliveredMessage) -> None:
    seq, body, deliveries, _ = message
    if body == POISON:
        raise ValueError("cannot parse this message")
    time.sleep(LONG_JOB_S if body == b"long job" else 0.01)  # the work
    assert _done is not None
    _done.put((seq, deliveries, os.getpid()))


def worker_main(queue_dir: str, done: "multiprocessing.queues.Queue[Tuple[int, int, int]]") -> None:
    global _done
    _done = done
    worker = Worker(queue_dir, handle, lease_ms=LEASE_MS, max_deliveries=MAX_DELIVERIES,
                    retry=RetryPolicy(base_ms=50, cap_ms=200, jitter=0.2), grace_s=5.0)
    stats = worker.run()
    print(f"  worker {os.getpid()}: stopped cleanly: {stats.counts}", flush=True)


def run(base: str, jobs: int, workers: int) -> bool:
    queue_dir = os.path.join(base, "jobs")
    q, dead = ferrow.FerrowCore(queue_dir), ferrow.FerrowCore(dead_letter_dir(queue_dir))
    if int(q.stats()["total"]) or int(dead.stats()["total"]):
        print(f"{base} already holds messages; give a new or empty directory")
        return False
    print(f"queues in {base}: {queue_dir} and {dead_letter_dir(queue_dir)}")

    ctx = multiprocessing.get_context("spawn")
    done: "multiprocessing.queues.Queue[Tuple[int, int, int]]" = ctx.Queue()
    procs = [ctx.Process(target=worker_main, args=(queue_dir, done)) for _ in range(workers)]
    for p in procs:
        p.start()
    start = time.monotonic()
    long_id = q.enqueue(b"long job")
    poison_id = q.enqueue(POISON)
    good = [q.enqueue(b"job %d" % i) for i in range(jobs)]

    finished: Dict[int, List[int]] = {}
    problems: List[str] = []
    deadline = time.monotonic() + DEADLINE_S
    while time.monotonic() < deadline:
        while not done.empty():
            seq, deliveries, _ = done.get()
            finished.setdefault(seq, []).append(deliveries)
        if int(q.stats()["total"]) == 0 and int(dead.stats()["total"]) >= 1:
            break
        time.sleep(0.05)
    else:
        problems.append(f"the queue was not drained within {DEADLINE_S:.0f} s")
    elapsed = time.monotonic() - start

    for p in procs:
        if p.pid is not None:
            os.kill(p.pid, signal.SIGTERM)
    for p in procs:
        p.join(15)
        if p.exitcode != 0:
            problems.append(f"worker {p.pid} exited with {p.exitcode} after SIGTERM")
            p.kill()
            p.join()
    while not done.empty():
        seq, deliveries, _ = done.get()
        finished.setdefault(seq, []).append(deliveries)

    missing = [s for s in good + [long_id] if s not in finished]
    if missing:
        problems.append(f"jobs never processed: {missing}")
    if finished.get(long_id) != [1]:
        problems.append(f"the long job was delivered {finished.get(long_id)}, not once")
    letters = [decode(m[1]) for m in dead.dequeue_batch(10, lease_ms=0)]
    if [(d.original_id, d.body, d.deliveries) for d in letters] != [(poison_id, POISON, MAX_DELIVERIES)]:
        problems.append(f"dead-letter queue holds {letters}")
    stats = q.stats()
    print(f"{len(finished)} jobs processed by {workers} workers in {elapsed:.2f} s; "
          f"queue: total {stats['total']}, acked_total {stats['acked_total']}")
    print(f"long job #{long_id} ({LONG_JOB_S:.1f} s, lease {LEASE_MS} ms): deliveries {finished.get(long_id)}")
    for d in letters:
        print(f"dead letter: #{d.original_id} {d.body!r} after {d.deliveries} deliveries ({d.reason})")
    for line in problems:
        print(f"PROBLEM: {line}")
    if problems:
        return False
    print("every job was processed; the long job was delivered once; the poison message is in "
          "the dead-letter queue; every worker stopped cleanly on SIGTERM")
    return True


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", help="directory for the queues (kept); default: a temporary one")
    parser.add_argument("--jobs", type=int, default=40)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)
    if args.jobs < 0 or args.workers < 1:
        parser.error("--jobs must be at least 0, --workers at least 1")
    if args.dir:
        return 0 if run(args.dir, args.jobs, args.workers) else 1
    with tempfile.TemporaryDirectory(prefix="ferrow-worker-") as tmp:
        return 0 if run(tmp, args.jobs, args.workers) else 1


if __name__ == "__main__":
    sys.exit(main())
