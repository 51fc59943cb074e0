"""A consumer crashes in the middle of its work; nothing is lost.

Four jobs are enqueued. Worker A, a process of its own, leases three of them
with a short lease, finishes and acknowledges the first, and then dies with
SIGKILL while it works on the other two: no cleanup, no ack. Worker B, another
process, takes the job nobody had leased at once, finds nothing else ready
while A's leases still run, and then receives A's two unfinished jobs again
once their leases lapse, with `deliveries` 2. The job A acknowledged before it
died is not delivered again.

    python examples/crash_redelivery.py                 # queue in a temporary directory
    python examples/crash_redelivery.py --dir /tmp/q    # keep the queue there (it must be new or empty)

The exit status is 0 when everything happened as described, 1 otherwise.
"""
from __future__ import annotations

import argparse
import multiprocessing
import multiprocessing.connection
import os
import signal
import sys
import tempfile
import time
from typing import Dict, List, NamedTuple, Optional, Tuple

import ferrow

JOBS = [b"resize photo 1", b"resize photo 2", b"send welcome mail", b"rebuild search index"]
LEASE_MS = 1500        # worker A's lease: short, so the demo does not wait long
B_LEASE_MS = 30_000    # worker B's lease: comfortably longer than its work
DEADLINE_S = 60.0      # bound for every wait of the demo


class Taken(NamedTuple):
    """What worker A tells the parent before it dies."""
    pid: int
    leased: List[int]
    acked: List[int]


class Got(NamedTuple):
    """What worker B tells the parent: (id, deliveries) of every job it got."""
    deliveries: List[Tuple[int, int]]


def say(who: str, text: str) -> None:
    print(f"{who}: {text}", flush=True)


def worker_a(qdir: str, conn: multiprocessing.connection.Connection) -> None:
    q = ferrow.FerrowCore(qdir)
    who = f"worker A (pid {os.getpid()})"
    batch = q.dequeue_batch(3, lease_ms=LEASE_MS)
    for seq, body, deliveries, _ in batch:
        say(who, f"leased #{seq} {body!r}, delivery {deliveries}, lease {LEASE_MS} ms")
    first, rest = batch[0], batch[1:]
    say(who, f"finished #{first[0]} and acked it: {q.ack(first[0])}")
    say(who, "working on " + " and ".join(f"#{m[0]}" for m in rest) + " ...")
    # The parent must learn what A held before A dies; Connection.send is
    # synchronous, so this is in the pipe before the kill.
    conn.send(Taken(os.getpid(), [m[0] for m in batch], [first[0]]))
    # A crash: the process ends at once, without running any cleanup, and
    # never acknowledges the jobs it holds.
    os.kill(os.getpid(), signal.SIGKILL)


def worker_b(qdir: str, expected: int, conn: multiprocessing.connection.Connection) -> None:
    q = ferrow.FerrowCore(qdir)
    who = f"worker B (pid {os.getpid()})"
    got: List[Tuple[int, int]] = []
    waiting_since: Optional[float] = None
    deadline = time.monotonic() + DEADLINE_S
    while len(got) < expected and time.monotonic() < deadline:
        message = q.dequeue(lease_ms=B_LEASE_MS)
        if message is None:
            if waiting_since is None:
                waiting_since = time.monotonic()
                say(who, f"nothing ready; {q.in_flight()} job(s) still leased to worker A, "
                         "waiting for those leases to lapse")
            time.sleep(0.02)
            continue
        seq, body, deliveries, _ = message
        note = ""
        if deliveries > 1:
            note = " -- again: worker A died holding it"
            if waiting_since is not None:
                note += f" (B waited {time.monotonic() - waiting_since:.1f} s for its lease to lapse)"
                waiting_since = None
        say(who, f"got #{seq} {body!r}, delivery {deliveries}{note}")
        acked = q.ack(seq)
        say(who, f"finished #{seq} and acked it: {acked}")
        got.append((seq, deliveries))
    conn.send(Got(got))


def run(qdir: str) -> bool:
    ctx = multiprocessing.get_context("spawn")
    q = ferrow.FerrowCore(qdir)
    if int(q.stats()["total"]) != 0:
        print(f"{qdir} already holds messages; give a new or empty directory")
        return False
    ids = q.enqueue_batch(JOBS)
    print(f"Ferrow crash demo, queue in {qdir}")
    say("producer", "enqueued " + ", ".join(f"#{seq} {body!r}" for seq, body in zip(ids, JOBS)))

    # Worker A leases, acks one job, and dies.
    a_recv, a_send = ctx.Pipe(duplex=False)
    a = ctx.Process(target=worker_a, args=(qdir, a_send))
    a.start()
    a_send.close()
    taken: Optional[Taken] = a_recv.recv() if a_recv.poll(DEADLINE_S) else None
    a.join(DEADLINE_S)
    if a.is_alive():
        a.kill()
        a.join()
    if taken is None or a.exitcode != -signal.SIGKILL:
        print(f"PROBLEM: worker A did not report and crash as planned (exit code {a.exitcode})")
        return False
    unfinished = [seq for seq in taken.leased if seq not in taken.acked]
    stats = q.stats()
    say("parent", f"worker A died from SIGKILL (exit code {a.exitcode}) without acking "
                  + " and ".join(f"#{seq}" for seq in unfinished))
    say("parent", f"the queue now holds {stats['total']} jobs: {stats['ready']} ready, "
                  f"{stats['in_flight']} leased to the dead worker until the lease lapses")

    # Worker B drains the queue.
    b_recv, b_send = ctx.Pipe(duplex=False)
    b = ctx.Process(target=worker_b, args=(qdir, len(JOBS) - len(taken.acked), b_send))
    b.start()
    b_send.close()
    got: Optional[Got] = b_recv.recv() if b_recv.poll(DEADLINE_S + 30) else None
    b.join(DEADLINE_S)
    if b.is_alive():
        b.kill()
        b.join()
    if got is None or b.exitcode != 0:
        print(f"PROBLEM: worker B did not finish (exit code {b.exitcode})")
        return False

    # Check the story against the queue.
    problems: List[str] = []
    delivered: Dict[int, int] = dict(got.deliveries)
    for seq in ids:
        expected = None if seq in taken.acked else 2 if seq in unfinished else 1
        if delivered.get(seq) != expected:
            problems.append(f"#{seq}: delivery {delivered.get(seq)} to worker B, expected {expected}")
    stats = q.stats()
    if int(stats["total"]) != 0 or int(stats["acked_total"]) != len(JOBS):
        problems.append(f"queue afterwards: total {stats['total']}, acked_total {stats['acked_total']}")
    for line in problems:
        print(f"PROBLEM: {line}")
    if problems:
        return False
    print(f"done: {len(JOBS)} jobs enqueued, {stats['acked_total']} acknowledged, "
          f"{len(unfinished)} delivered a second time after the crash, nothing lost, "
          f"nothing acknowledged twice; the queue is empty")
    return True


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", help="queue directory (kept); default: a temporary one")
    args = parser.parse_args(argv)
    if args.dir:
        return 0 if run(args.dir) else 1
    with tempfile.TemporaryDirectory(prefix="ferrow-crash-") as tmp:
        return 0 if run(os.path.join(tmp, "queue")) else 1


if __name__ == "__main__":
    sys.exit(main())
