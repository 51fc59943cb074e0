"""A producer/consumer worker pool over several processes.

Producer processes enqueue jobs while a pool of worker processes leases them,
does the work and acknowledges each job. The workers stop once the producers
are done and nothing is left in the queue. The processes share nothing but the
queue directory; each opens its own FerrowCore on it.

At the end the program checks what the workers reported against the queue
(every job processed once, nothing left) and prints a summary: jobs per
worker, total time and rate.

    python examples/worker_pool.py                  # queue in a temporary directory
    python examples/worker_pool.py --dir /tmp/jobs  # keep the queue there (new or empty)
    python examples/worker_pool.py --producers 2 --workers 4 --jobs 1000

The exit status is 0 when every job was processed exactly once, 1 otherwise.
"""
from __future__ import annotations

import argparse
import hashlib
import multiprocessing
import multiprocessing.queues
import multiprocessing.synchronize
import os
import queue
import sys
import tempfile
import time
from collections import Counter
from typing import Dict, List, NamedTuple, Optional, Tuple, Union

import ferrow

LEASE_MS = 30_000         # far longer than any job takes here
WORK_S = 0.001            # simulated work per job
IDLE_S = 0.01             # pause when nothing is ready yet
DEADLINE_S = 120.0        # the whole run, including starting the processes



class Produced(NamedTuple):
    """A producer's report: the ids its jobs were given."""
    producer: int
    ids: List[int]


class Handled(NamedTuple):
    """A worker's report: (id, result) of each job it acknowledged, how many
    of its deliveries were redeliveries, and how many acks came too late."""
    worker: str
    done: List[Tuple[int, str]]
    redeliveries: int
    acks_refused: int


Report = Union[Produced, Handled]


def job_body(producer: int, index: int) -> bytes:
    return b"job %d.%d: resize image %d" % (producer, index, index)


def producer_main(qdir: str, producer: int, jobs: int,
                  reports: "multiprocessing.queues.Queue[Report]") -> None:
    q = ferrow.FerrowCore(qdir)
    ids = [q.enqueue(job_body(producer, i)) for i in range(jobs)]
    reports.put(Produced(producer, ids))


def process(body: bytes) -> str:
    """Stands in for real work: a short pause and a digest of the body."""
    time.sleep(WORK_S)
    return hashlib.sha256(body).hexdigest()[:12]


def worker_main(qdir: str, name: str, producers_done: multiprocessing.synchronize.Event,
                reports: "multiprocessing.queues.Queue[Report]") -> None:
    q = ferrow.FerrowCore(qdir)
    done: List[Tuple[int, str]] = []
    redeliveries = 0
    acks_refused = 0
    deadline = time.monotonic() + DEADLINE_S
    while time.monotonic() < deadline:
        message = q.dequeue(lease_ms=LEASE_MS)
        if message is None:
            # Read the flag before looking at the queue: once the producers
            # are done, an empty queue stays empty.
            finished = producers_done.is_set()
            if finished and int(q.stats()["total"]) == 0:
                break
            time.sleep(IDLE_S)
            continue
        seq, body, deliveries, _enqueued_ms = message
        redeliveries += deliveries > 1
        digest = process(body)
        if q.ack(seq):
            done.append((seq, digest))
        else:  # the lease lapsed and someone else acknowledged the job
            acks_refused += 1
    reports.put(Handled(name, done, redeliveries, acks_refused))


def run(qdir: str, producers: int, workers: int, jobs: int) -> bool:
    # Opening creates the directory before the processes race to do it.
    if int(ferrow.FerrowCore(qdir).stats()["total"]) != 0:
        print(f"{qdir} already holds messages; give a new or empty directory")
        return False
    ctx = multiprocessing.get_context("spawn")
    reports: "multiprocessing.queues.Queue[Report]" = ctx.Queue()
    producers_done = ctx.Event()

    per_producer = [jobs // producers + (i < jobs % producers) for i in range(producers)]
    start = time.monotonic()
    procs = [ctx.Process(target=producer_main, args=(qdir, i, n, reports), name=f"producer-{i}")
             for i, n in enumerate(per_producer)]
    procs += [ctx.Process(target=worker_main, args=(qdir, f"worker-{i}", producers_done, reports),
                          name=f"worker-{i}")
              for i in range(workers)]
    for p in procs:
        p.start()

    produced: Dict[int, List[int]] = {}
    handled: Dict[str, List[Tuple[int, str]]] = {}
    problems: List[str] = []
    redeliveries = acks_refused = 0
    deadline = start + DEADLINE_S
    try:
        while len(produced) < producers or len(handled) < workers:
            if len(produced) == producers:
                producers_done.set()
            try:
                report = reports.get(timeout=max(0.0, min(1.0, deadline - time.monotonic())))
            except queue.Empty:
                if time.monotonic() >= deadline:
                    problems.append(f"not finished after {DEADLINE_S:.0f} s")
                    break
                dead = [p.name for p in procs if p.exitcode not in (None, 0)]
                if dead:
                    problems.append(f"process(es) failed: {', '.join(dead)}")
                    break
                continue
            if isinstance(report, Produced):
                produced[report.producer] = report.ids
            else:
                handled[report.worker] = report.done
                redeliveries += report.redeliveries
                acks_refused += report.acks_refused
    finally:
        producers_done.set()
        for p in procs:
            p.join(timeout=max(1.0, deadline - time.monotonic()))
            if p.is_alive():
                p.kill()
                p.join()
    elapsed = time.monotonic() - start

    # Check the workers' reports against what the producers were given and
    # against the queue itself.
    enqueued = Counter(seq for ids in produced.values() for seq in ids)
    processed = Counter(seq for done in handled.values() for seq, _ in done)
    if sum(enqueued.values()) != jobs or len(enqueued) != jobs:
        problems.append(f"{sum(enqueued.values())} ids reported by producers, "
                        f"{len(enqueued)} distinct, for {jobs} jobs")
    twice = sorted(seq for seq, n in processed.items() if n > 1)
    missing = sorted(set(enqueued) - set(processed))
    unknown = sorted(set(processed) - set(enqueued))
    for label, ids in (("processed more than once", twice), ("never processed", missing),
                       ("processed but never enqueued", unknown)):
        if ids:
            problems.append(f"{len(ids)} job(s) {label}: {ids[:10]}")
    stats = ferrow.FerrowCore(qdir).stats()
    if int(stats["total"]) != 0:
        problems.append(f"{stats['total']} message(s) left in the queue")

    print(f"Ferrow worker pool: {producers} producer(s), {workers} worker process(es), "
          f"{jobs} jobs, queue in {qdir}")
    for name in sorted(handled):
        print(f"  {name}: {len(handled[name])} jobs")
    print(f"processed {sum(processed.values())} of {jobs} jobs in {elapsed:.2f} s "
          f"({sum(processed.values()) / elapsed:,.0f} jobs/s), "
          f"{redeliveries} redelivered, {acks_refused} late acks refused")
    print(f"queue afterwards: total {stats['total']}, acked_total {stats['acked_total']}, "
          f"next_seq {stats['next_seq']}")
    if problems:
        for line in problems:
            print(f"PROBLEM: {line}")
        return False
    print("every job was processed exactly once")
    return True


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", help="queue directory (kept); default: a temporary one")
    parser.add_argument("--producers", type=int, default=2)
    parser.add_argument("--workers", type=int, default=max(2, min(4, os.cpu_count() or 2)))
    parser.add_argument("--jobs", type=int, default=600)
    args = parser.parse_args(argv)
    if args.producers < 1 or args.workers < 1 or args.jobs < 0:
        parser.error("--producers and --workers must be at least 1, --jobs at least 0")
    if args.dir:
        return 0 if run(args.dir, args.producers, args.workers, args.jobs) else 1
    with tempfile.TemporaryDirectory(prefix="ferrow-pool-") as tmp:
        return 0 if run(os.path.join(tmp, "queue"), args.producers, args.workers,
                        args.jobs) else 1


if __name__ == "__main__":
    sys.exit(main())
