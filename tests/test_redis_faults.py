"""Faults on a real redis-server: a consumer killed holding leases, the server
killed with SIGKILL and restarted, a primary lost and its replica promoted.
Each prints what it measured; every wait is bounded."""
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from ferrow_tools.targets import open_queue

CHILD_TIMEOUT_S = 60


def run_child(code, *args, **popen):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            text=True, **popen)


def test_a_killed_consumers_messages_come_back_in_id_order(shared_redis):
    url = shared_redis.url()
    q = open_queue(url)
    q.enqueue_batch([b"m%d" % i for i in range(8)])
    child = run_child("""
        import os, signal, sys
        from ferrow_tools.targets import open_queue
        q = open_queue(sys.argv[1])
        q.ack(q.dequeue()[0])
        q.dequeue_batch(4, lease_ms=500)
        os.kill(os.getpid(), signal.SIGKILL)
    """, url)
    assert child.wait(CHILD_TIMEOUT_S) == -9
    assert q.in_flight() == 4 and q.available() == 3
    time.sleep(0.6)
    got = [m[:3] for m in q.dequeue_batch(10)]
    assert got == [(i, b"m%d" % i, 2) for i in range(1, 5)] + [
        (i, b"m%d" % i, 1) for i in range(5, 8)]
    s = q.stats()
    assert (s["requeued_total"], s["acked_total"], s["in_flight"]) == (4, 1, 7)


PRODUCER = """
    import sys
    from ferrow_tools.targets import open_queue
    q = open_queue(sys.argv[1])
    i = 0
    while True:
        try:
            seq = q.enqueue(b"%d" % i)
            print("E", seq, flush=True)
            if i % 3 == 2:
                acked = seq - 2
                if q.ack(acked):
                    print("A", acked, flush=True)
        except OSError as e:
            print("X", e, flush=True)
            break
        i += 1
"""


def test_every_acknowledged_call_survives_a_server_kill(redis_servers):
    """appendfsync always: a reply is sent only after the write is on disk."""
    server = redis_servers()
    url = server.url()
    child = run_child(PRODUCER, url, stdout=subprocess.PIPE)
    lines = []
    deadline = time.monotonic() + CHILD_TIMEOUT_S
    while len(lines) < 400 and time.monotonic() < deadline:
        lines.append(child.stdout.readline().split())
    server.kill()
    rest, _ = child.communicate(timeout=CHILD_TIMEOUT_S)
    lines += [ln.split() for ln in rest.splitlines()]
    assert lines[-1][0] == "X"
    enqueued = {int(ln[1]) for ln in lines if ln[0] == "E"}
    acked = {int(ln[1]) for ln in lines if ln[0] == "A"}
    server.start()
    q = open_queue(url)
    present = {m.seq for m in q.snapshot(0, 100_000)}
    print("server kill: {} acknowledged enqueues, {} acknowledged acks; {} missing, {} "
          "acked but present".format(len(enqueued), len(acked), len(enqueued - acked - present),
                                     len(acked & present)))
    assert enqueued - acked <= present and not acked & present
    # At most the one call that was in flight at the kill may have landed too.
    assert len(present - (enqueued - acked)) <= 1
    assert q.verify_integrity()["ok"]


def promote_after_kill(redis_servers, min_replicas):
    """Writes to a primary with one replica, kills the primary in mid-stream
    and promotes the replica; returns (acknowledged ids, ids on the replica)."""
    primary = redis_servers("primary-%d" % min_replicas)
    replica = redis_servers("replica-%d" % min_replicas)
    replica.replicate(primary)
    name = "failover"
    q = open_queue(primary.url(name, min_replicas=min_replicas, wait_timeout_ms=2000))
    acknowledged = []

    def produce():
        try:
            while True:
                acknowledged.extend(q.enqueue_batch([b"x"] * 5))
        except OSError:
            pass

    producer = threading.Thread(target=produce)
    producer.start()
    while len(acknowledged) < 2000:
        time.sleep(0.01)
        assert producer.is_alive()
    primary.kill()
    producer.join(30)
    assert not producer.is_alive()
    replica.cli("REPLICAOF", "NO", "ONE")
    promoted = open_queue(replica.url(name))
    return acknowledged, {m.seq for m in promoted.snapshot(0, 1_000_000)}


@pytest.mark.parametrize("min_replicas", [1, 0])
def test_failover_to_a_promoted_replica(redis_servers, min_replicas):
    acknowledged, on_replica = promote_after_kill(redis_servers, min_replicas)
    lost = set(acknowledged) - on_replica
    print("failover with min_replicas={}: {} acknowledged enqueues, {} lost".format(
        min_replicas, len(acknowledged), len(lost)))
    if min_replicas:
        assert not lost
    # Without the wait, a loss is possible and is what this run counted; the
    # replica never holds an id that was not handed out.
    assert on_replica <= set(range(max(acknowledged) + 6))


def test_a_sentinel_url_follows_the_primary_through_a_failover(redis_servers):
    primary = redis_servers("primary")
    replica = redis_servers("replica")
    replica.replicate(primary)
    sentinel = redis_servers("sentinel", {
        "sentinel monitor": "main 127.0.0.1 {} 1".format(primary.port),
        "sentinel down-after-milliseconds": "main 500",
        "sentinel failover-timeout": "main 3000"}, sentinel=True)
    url = "redis+sentinel://127.0.0.1:{}/0?queue=jobs&service=main".format(sentinel.port)
    # Replicated before the kill; the promoted replica has no replica of its own.
    ids = open_queue(url, min_replicas=1, wait_timeout_ms=2000).enqueue_batch([b"a", b"b"])
    q = open_queue(url)
    assert q.available() == 2
    primary.kill()
    deadline = time.monotonic() + 30
    while str(replica.port) not in sentinel.cli("SENTINEL", "get-master-addr-by-name", "main"):
        assert time.monotonic() < deadline, "sentinel did not promote the replica"
        time.sleep(0.1)
    got = None
    while got is None:  # the call that meets the dead connection fails; the next reconnects
        assert time.monotonic() < deadline
        try:
            got = q.dequeue_batch(5, 60_000)
        except OSError as e:
            assert str(e).startswith("Ferrow I/O error: ")
            time.sleep(0.1)
    assert [m[0] for m in got] == ids
    assert open_queue(url, accept_server_policy=True).in_flight() == 2
