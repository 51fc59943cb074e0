"""Batches: one producer process and a few consumer processes moving many
messages with enqueue_batch, dequeue_batch and ack_batch.

A batch call takes the process lock once and forces the log to disk once, so
a batch of a few hundred messages costs about as much as one single call.

Some messages cannot be processed (their body starts with b"bad"). A consumer
hands such a message back with nack() so that it is tried again; once it has
been delivered MAX_DELIVERIES times, the consumer copies it to a dead-letter
queue of its own and drops it from the work queue with nack(requeue=False).

    python examples/batch.py                       # queues in a temporary directory
    python examples/batch.py --dir /tmp/orders     # keep them (jobs/ and dead/ there)
    python examples/batch.py --messages 50000 --batch 1000 --consumers 3

The exit status is 0 when every good message was acknowledged exactly once and
every bad one ended up in the dead-letter queue exactly once, 1 otherwise.
"""
from __future__ import annotations

import argparse
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

LEASE_MS = 60_000
MAX_DELIVERIES = 3     # a bad message is tried this many times, then dead-lettered
BAD_EVERY = 1000       # one message in this many is bad
IDLE_S = 0.01
DEADLINE_S = 120.0


def body(i: int) -> bytes:
    kind = b"bad" if i % BAD_EVERY == BAD_EVERY - 1 else b"order"
    return b"%s %d: %s" % (kind, i, b"x" * (i % 64))


def is_bad(message_body: bytes) -> bool:
    return message_body.startswith(b"bad")


class Produced(NamedTuple):
    ids: List[int]
    batches: int


class Consumed(NamedTuple):
    consumer: str
    acked: List[int]         # ids acknowledged through ack_batch
    dead: List[Tuple[int, int]]  # (id, deliveries) of messages moved to the dead-letter queue
    batches: int             # non-empty dequeue_batch results
    retries: int             # nack(requeue=True) calls
    ack_batch_counted: int   # what ack_batch returned, summed


Report = Union[Produced, Consumed]


def producer_main(jobs_dir: str, messages: int, batch: int,
                  reports: "multiprocessing.queues.Queue[Report]") -> None:
    q = ferrow.FerrowCore(jobs_dir)
    ids: List[int] = []
    batches = 0
    for start in range(0, messages, batch):
        ids += q.enqueue_batch([body(i) for i in range(start, min(start + batch, messages))])
        batches += 1
    reports.put(Produced(ids, batches))


def consumer_main(jobs_dir: str, dead_dir: str, name: str, batch: int,
                  producer_done: multiprocessing.synchronize.Event,
                  reports: "multiprocessing.queues.Queue[Report]") -> None:
    jobs = ferrow.FerrowCore(jobs_dir)
    dead_letters = ferrow.FerrowCore(dead_dir)
    acked: List[int] = []
    dead: List[Tuple[int, int]] = []
    retries = batches = counted = 0
    deadline = time.monotonic() + DEADLINE_S
    while time.monotonic() < deadline:
        messages = jobs.dequeue_batch(batch, lease_ms=LEASE_MS)
        if not messages:
            finished = producer_done.is_set()  # before looking at the queue
            if finished and int(jobs.stats()["total"]) == 0:
                break
            time.sleep(IDLE_S)
            continue
        batches += 1
        done: List[int] = []
        for seq, message_body, deliveries, _ in messages:
            if not is_bad(message_body):
                done.append(seq)  # the work itself would go here
            elif deliveries < MAX_DELIVERIES:
                jobs.nack(seq)    # try again later; deliveries keeps counting
                retries += 1
            else:
                # Copy first, then drop: a crash in between leaves the message
                # in both queues (delivered again), never in neither.
                dead_letters.enqueue(message_body)
                jobs.nack(seq, requeue=False)
                dead.append((seq, deliveries))
        counted += jobs.ack_batch(done)
        acked.extend(done)
    reports.put(Consumed(name, acked, dead, batches, retries, counted))


def run(base: str, messages: int, batch: int, consumers: int) -> bool:
    jobs_dir, dead_dir = os.path.join(base, "jobs"), os.path.join(base, "dead")
    jobs, dead_letters = ferrow.FerrowCore(jobs_dir), ferrow.FerrowCore(dead_dir)
    if int(jobs.stats()["total"]) or int(dead_letters.stats()["total"]):
        print(f"{base} already holds messages; give a new or empty directory")
        return False

    ctx = multiprocessing.get_context("spawn")
    reports: "multiprocessing.queues.Queue[Report]" = ctx.Queue()
    producer_done = ctx.Event()
    start = time.monotonic()
    procs = [ctx.Process(target=producer_main, args=(jobs_dir, messages, batch, reports))]
    procs += [ctx.Process(target=consumer_main,
                          args=(jobs_dir, dead_dir, f"consumer-{i}", batch, producer_done, reports))
              for i in range(consumers)]
    for p in procs:
        p.start()

    produced: Optional[Produced] = None
    consumed: Dict[str, Consumed] = {}
    problems: List[str] = []
    deadline = start + DEADLINE_S
    try:
        while produced is None or len(consumed) < consumers:
            try:
                report = reports.get(timeout=max(0.0, min(1.0, deadline - time.monotonic())))
            except queue.Empty:
                if time.monotonic() >= deadline:
                    problems.append(f"not finished after {DEADLINE_S:.0f} s")
                    break
                if any(p.exitcode not in (None, 0) for p in procs):
                    problems.append("a process failed")
                    break
                continue
            if isinstance(report, Produced):
                produced = report
                producer_done.set()
            else:
                consumed[report.consumer] = report
    finally:
        producer_done.set()
        for p in procs:
            p.join(timeout=max(1.0, deadline - time.monotonic()))
            if p.is_alive():
                p.kill()
                p.join()
    elapsed = time.monotonic() - start

    ids = produced.ids if produced else []
    bad = {seq for seq, i in zip(ids, range(messages)) if is_bad(body(i))}
    acked = Counter(seq for c in consumed.values() for seq in c.acked)
    dead = Counter(seq for c in consumed.values() for seq, _ in c.dead)
    if len(set(ids)) != messages:
        problems.append(f"the producer reported {len(set(ids))} distinct ids for {messages} messages")
    if acked.keys() != set(ids) - bad or any(n != 1 for n in acked.values()):
        problems.append("good messages not acknowledged exactly once: "
                        f"{sorted((set(ids) - bad) ^ acked.keys())[:10]} "
                        f"{sorted(s for s, n in acked.items() if n != 1)[:10]}")
    counted = sum(c.ack_batch_counted for c in consumed.values())
    if counted != sum(acked.values()):
        problems.append(f"ack_batch counted {counted} of the {sum(acked.values())} ids it was given")
    if dead.keys() != bad or any(n != 1 for n in dead.values()):
        problems.append(f"bad messages not dead-lettered exactly once: {sorted(bad ^ dead.keys())[:10]}")
    if any(d != MAX_DELIVERIES for c in consumed.values() for _, d in c.dead):
        problems.append(f"a message was dead-lettered after other than {MAX_DELIVERIES} deliveries")
    jobs_stats, dead_stats = jobs.stats(), dead_letters.stats()
    if int(jobs_stats["total"]) != 0:
        problems.append(f"{jobs_stats['total']} message(s) left in the work queue")
    # Look at the dead letters, then hand them back for whoever deals with them.
    looked_at = dead_letters.dequeue_batch(len(bad) + 1)
    for m in looked_at:
        dead_letters.nack(m[0])
    dead_bodies = sorted(m[1] for m in looked_at)
    if dead_bodies != sorted(body(i) for i in range(messages) if is_bad(body(i))):
        problems.append("the dead-letter queue does not hold exactly the bad messages")

    print(f"Ferrow batches: 1 producer, {consumers} consumer process(es), {messages} messages "
          f"in batches of {batch}, queues in {base}")
    if produced:
        print(f"  producer: {len(produced.ids)} messages in {produced.batches} enqueue_batch calls")
    for name in sorted(consumed):
        c = consumed[name]
        print(f"  {name}: {c.batches} dequeue_batch calls, {c.ack_batch_counted} acknowledged "
              f"with ack_batch, {c.retries} handed back with nack, {len(c.dead)} dead-lettered")
    print(f"moved {messages} messages in {elapsed:.2f} s ({messages / elapsed:,.0f} messages/s)")
    print(f"work queue afterwards: total {jobs_stats['total']}, acked_total {jobs_stats['acked_total']}, "
          f"dead_total {jobs_stats['dead_total']}; dead-letter queue: {dead_stats['total']} message(s), "
          f"each delivered {MAX_DELIVERIES} times before it was dropped")
    for line in problems:
        print(f"PROBLEM: {line}")
    if problems:
        return False
    print("every good message was acknowledged exactly once; every bad one was dead-lettered once")
    return True


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", help="directory for the two queues (kept); default: a temporary one")
    parser.add_argument("--messages", type=int, default=20_000)
    parser.add_argument("--batch", type=int, default=500)
    parser.add_argument("--consumers", type=int, default=2)
    args = parser.parse_args(argv)
    if args.messages < 0 or args.batch < 1 or args.consumers < 1:
        parser.error("--messages must be at least 0, --batch and --consumers at least 1")
    if args.dir:
        return 0 if run(args.dir, args.messages, args.batch, args.consumers) else 1
    with tempfile.TemporaryDirectory(prefix="ferrow-batch-") as tmp:
        return 0 if run(tmp, args.messages, args.batch, args.consumers) else 1


if __name__ == "__main__":
    sys.exit(main())
