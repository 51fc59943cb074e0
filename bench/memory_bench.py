"""In-memory throughput next to the standard library's in-process queues.

Run: make bench   (or: python bench/memory_bench.py after installing ferrow)
Every figure is the median of ROUNDS rounds, measured in this one run.
"""
import collections
import queue
import statistics
import time

import ferrow

BODY = b"x" * 100
N = 200_000
BATCH = 1000
ROUNDS = 5


def rate(fn, count):
    """Median operations per second of fn() doing `count` operations."""
    samples = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        fn()
        samples.append(count / (time.perf_counter() - start))
    return statistics.median(samples)


def ferrow_enqueue():
    q = ferrow.FerrowCore(":memory:")
    enqueue = q.enqueue
    for _ in range(N):
        enqueue(BODY)


def ferrow_cycle():
    q = ferrow.FerrowCore(":memory:")
    enqueue, dequeue, ack = q.enqueue, q.dequeue, q.ack
    for _ in range(N):
        enqueue(BODY)
        ack(dequeue()[0])


def ferrow_batch_cycle():
    q = ferrow.FerrowCore(":memory:")
    bodies = [BODY] * BATCH
    for _ in range(N // BATCH):
        q.enqueue_batch(bodies)
        q.ack_batch([m[0] for m in q.dequeue_batch(BATCH)])


def queue_queue_pair():
    q = queue.Queue()
    put, get = q.put, q.get
    for _ in range(N):
        put(BODY)
        get()


def deque_pair():
    d = collections.deque()
    append, popleft = d.append, d.popleft
    for _ in range(N):
        append(BODY)
        popleft()


def main():
    rows = [
        ("ferrow enqueue (ops/s)", rate(ferrow_enqueue, N)),
        ("ferrow enqueue+dequeue+ack (cycles/s)", rate(ferrow_cycle, N)),
        ("ferrow batch cycles of 1000 (msgs/s)", rate(ferrow_batch_cycle, N)),
        ("queue.Queue put+get (pairs/s)", rate(queue_queue_pair, N)),
        ("collections.deque append+popleft (pairs/s)", rate(deque_pair, N)),
    ]
    baseline = rows[3][1]
    print(f"100-byte bodies, {N} operations, median of {ROUNDS} rounds\n")
    print(f"| {'measurement':<44} | {'rate':>12} | {'vs queue.Queue':>14} |")
    print(f"|{'-' * 46}|{'-' * 14}|{'-' * 16}|")
    for name, value in rows:
        print(f"| {name:<44} | {value:>12,.0f} | {value / baseline:>13.2f}x |")


if __name__ == "__main__":
    main()
