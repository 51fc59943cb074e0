"""What only a Redis queue has: its URLs, the server's durability policy,
the mapping of server failures, the limit on ids, blocking waits on the
server, replicas and a Cluster. Every claim runs against a real redis-server."""
import subprocess
import threading
import time
import warnings

import pytest

from conftest import start_cluster, unique_name
from ferrow_tools import Queue
from ferrow_tools.redis.url import parse, with_queue
from ferrow_tools.targets import open_queue
from ferrow_tools.worker import wait_for_message


@pytest.mark.parametrize("url, expected", [
    ("redis://h:7000/3?queue=jobs", ("server", False, [("h", 7000)], 3, None, None, "jobs")),
    ("rediss://u:p%40ss@h/0?queue=a.b", ("server", True, [("h", 6379)], 0, "u", "p@ss", "a.b")),
    ("redis://secret@[::1]:7?queue=q", ("server", False, [("::1", 7)], 0, None, "secret", "q")),
    ("redis+sentinel://s1,s2:5/1?queue=q&service=main",
     ("sentinel", False, [("s1", 26379), ("s2", 5)], 1, None, None, "q")),
    ("rediss+cluster://a:1,b:2?queue=q", ("cluster", True, [("a", 1), ("b", 2)], 0, None, None, "q")),
])
def test_url_forms(url, expected):
    t = parse(url)
    assert (t.kind, t.tls, t.hosts, t.db, t.username, t.password, t.queue) == expected
    assert parse(with_queue(t, "other"))._replace(queue=t.queue) == t


@pytest.mark.parametrize("url, error", [
    ("redis://h:1/0", "must name the queue"),
    ("redis://h:1/0?queue=", "non-empty and hold no braces"),
    ("redis://h:1/0?queue=a}b", "non-empty and hold no braces"),
    ("redis://h:x/0?queue=q", "bad port"),
    ("redis://h:1/zero?queue=q", "bad database number"),
    ("redis://a:1,b:2/0?queue=q", "names one server"),
    ("redis+sentinel://h/0?queue=q", "must name the primary"),
    ("redis+cluster://h/2?queue=q", "database 0 only"),
    ("redis://h:1/0?queue=q&min_replica=1", "unknown parameter 'min_replica' in a Redis URL; it "
                                           "takes queue, service .* and min_replicas, "),
])
def test_bad_urls_are_refused_with_the_reason(url, error):
    with pytest.raises(ValueError, match=error):
        open_queue(url)


@pytest.mark.parametrize("config, sync_interval_ms, refusal", [
    ({"appendonly": "no"}, 0, r"keeps no append-only file \(appendonly no\)"),
    ({"appendonly": "yes", "appendfsync": "everysec"}, 0, "appendfsync everysec, but a returned"),
    ({"appendonly": "yes", "appendfsync": "no"}, 1000, "appendfsync no, but writes must reach"),
    ({"appendonly": "yes", "appendfsync": "everysec"}, 1000, None),
    ({"appendonly": "yes", "appendfsync": "always"}, 0, None),
])
def test_the_server_must_keep_what_the_sync_interval_promises(redis_servers, config,
                                                              sync_interval_ms, refusal):
    server = redis_servers(config=config)
    url = server.url()
    if refusal is None:
        assert open_queue(url, sync_interval_ms).stats()["persistent"] is True
        return
    with pytest.raises(OSError, match=refusal) as info:
        open_queue(url, sync_interval_ms)
    assert str(info.value).startswith("Ferrow I/O error: ") and "accept_server_policy" in str(info.value)
    q = open_queue(url + "&accept_server_policy=1", sync_interval_ms)
    assert q.stats()["persistent"] is (config["appendonly"] == "yes")


def test_an_evicting_server_earns_a_warning(redis_servers):
    server = redis_servers(config={"appendonly": "yes", "appendfsync": "always",
                                   "maxmemory-policy": "allkeys-lru"})
    with pytest.warns(RuntimeWarning, match="maxmemory-policy allkeys-lru"):
        open_queue(server.url())
    server.cli("CONFIG", "SET", "maxmemory-policy", "noeviction")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        open_queue(server.url())


def test_server_failures_map_to_the_local_queues_exceptions(redis_servers):
    server = redis_servers()
    q = open_queue(server.url(socket_timeout=0.5))
    q.enqueue(b"x")
    server.pause()
    try:
        with pytest.raises(TimeoutError, match="Redis time-out"):
            q.dequeue()
    finally:
        server.pause(False)
    server.stop()
    for call in (q.enqueue, lambda _: q.stats()):
        with pytest.raises(OSError) as info:
            call(b"y")
        assert type(info.value) is OSError
        assert str(info.value).startswith("Ferrow I/O error: ")
        assert "127.0.0.1:{}".format(server.port) in str(info.value)
    with pytest.raises(OSError, match="^Ferrow I/O error: .*Connection refused"):
        open_queue(server.url())


def test_ids_stop_where_they_would_no_longer_be_exact(shared_redis):
    name = unique_name()
    q = open_queue(shared_redis.url(name))
    shared_redis.cli("HSET", "ferrow:{%s}:meta" % name, "next_seq", str(2**53 - 2))
    assert q.enqueue(b"last") == 2**53 - 2
    with pytest.raises(OSError, match="no ids left"):
        q.enqueue_batch([b"a", b"b"])
    assert q.enqueue(b"very last") == 2**53 - 1
    with pytest.raises(OSError, match="no ids left"):
        q.enqueue(b"one too many")
    assert [m[0] for m in q.dequeue_batch(5)] == [2**53 - 2, 2**53 - 1]
    assert q.verify_integrity()["ok"]


def test_verify_integrity_finds_a_broken_invariant_and_changes_nothing(shared_redis):
    name = unique_name()
    q = open_queue(shared_redis.url(name))
    q.enqueue_batch([b"a", b"b"])
    assert q.verify_integrity() == {"ok": True, "records": 2, "bytes": 68, "message": "clean"}
    shared_redis.cli("ZADD", "ferrow:{%s}:leases" % name, "1", "1")
    report = q.verify_integrity()
    assert report["ok"] is False and report["message"] == "message 1 is both ready and leased"
    assert q.verify_integrity() == report


def test_waiting_blocks_on_the_server_and_wakes_at_once(shared_redis):
    """A waiter is woken by an enqueue from another client and by the lapse of
    a lease, without polling: the server counts its commands."""
    url = shared_redis.url()
    q, producer = open_queue(url), open_queue(url)
    before = int(shared_redis.cli("INFO", "stats").split("total_commands_processed:")[1].split()[0])
    timer = threading.Timer(1.0, lambda: producer.enqueue(b"wake up"))
    timer.start()
    start = time.monotonic()
    m = wait_for_message(q, 10, lease_ms=400)
    woke = time.monotonic() - start
    timer.join()
    after = int(shared_redis.cli("INFO", "stats").split("total_commands_processed:")[1].split()[0])
    assert m[1] == b"wake up" and 0.9 <= woke < 3
    # Commands inside scripts count too: about 35 here; polling every
    # millisecond would be thousands.
    assert after - before < 100
    # The lease lapses after 400 ms: the waiter blocks no longer than that.
    start = time.monotonic()
    again = wait_for_message(q, 10)
    assert again[:3] == (m[0], b"wake up", 2) and time.monotonic() - start < 2
    assert wait_for_message(q, 0.3) is None


def test_min_replicas_raise_when_too_few_confirm(redis_servers):
    primary = redis_servers("primary")
    q = open_queue(primary.url(min_replicas=1, wait_timeout_ms=1000))
    with pytest.raises(OSError, match="0 of 1 replicas confirmed the write within 1000 ms"):
        q.enqueue(b"kept all the same")
    replica = redis_servers("replica")
    replica.replicate(primary)
    assert q.enqueue(b"confirmed") == 1
    assert q.flush() is None
    assert [m[1] for m in q.dequeue_batch(5)] == [b"kept all the same", b"confirmed"]


def test_every_call_works_on_a_cluster(redis_servers):
    nodes = start_cluster(redis_servers)
    seeds = ",".join("127.0.0.1:{}".format(n.port) for n in nodes)
    names = ["jobs", "mail", "thumbs", "search"]  # hash tags on more than one node
    slots = {int(nodes[0].cli("CLUSTER", "KEYSLOT", "{%s}" % n)) for n in names}
    assert len(slots) == len(names)
    for name in names:
        url = "redis+cluster://{}?queue={}".format(seeds, name)
        q = open_queue(url, min_replicas=0)
        assert q.enqueue_batch([b"a", b"b", b"c"]) == [0, 1, 2] and q.enqueue(b"d") == 3
        assert q.dequeue(lease_ms=0)[0] == 0 and q.available() == 4
        got = q.dequeue_batch(3)
        assert [m[:3] for m in got] == [(0, b"a", 2), (1, b"b", 1), (2, b"c", 1)]
        assert q.extend_lease(1, 60_000) and q.nack(1) and q.nack(2, False) and q.ack(0)
        assert q.ack_batch([1, 3]) == 2 and q.in_flight() == 0
        assert wait_for_message(q, 0.2) is None
        s = q.stats()
        assert (s["total"], s["acked_total"], s["dead_total"], s["requeued_total"]) == (0, 3, 1, 2)
        assert q.verify_integrity()["ok"] and q.flush() is None and q.compact() is None
        q.purge()
        assert q.stats()["generation"] == 1
        with Queue(url, priorities=2, min_replicas=0) as queue:  # the scheduling scripts
            queue.put(b"later", delay=0.05)
            queue.put(b"high", priority=1, ttl=60)
            queue.put(b"low")
            assert [queue.get(timeout=5).raw for _ in range(3)] == [b"high", b"low", b"later"]
            assert queue.core.verify_integrity()["ok"]


def test_importing_the_tools_needs_no_client_library():
    code = ("import sys; sys.modules['redis'] = None\n"
            "import ferrow_tools.worker, ferrow_tools.admin, ferrow_tools.targets as t\n"
            "t.open_queue(':memory:')\n"
            "try:\n    t.open_queue('redis://h:1/0?queue=q')\n"
            "except ImportError as e:\n    print(e)\n")
    out = subprocess.run([__import__("sys").executable, "-c", code], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "pip install 'ferrow[redis]'" in out.stdout
