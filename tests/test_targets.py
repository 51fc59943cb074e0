"""One behaviour suite over every kind of target: ":memory:", a directory and
a queue on a real redis-server. The same calls must give the same results,
counters and exceptions on each."""
import errno
import json
import os
import pathlib
import time

import pytest

import ferrow
from conftest import run_as_other_user
from ferrow_tools import Queue, Worker, aio
from ferrow_tools.targets import dead_letter_target, open_queue

STAT_KEYS = ["ready", "in_flight", "total", "enqueued_total", "acked_total", "requeued_total",
             "dead_total", "next_seq", "live_bytes", "log_bytes", "generation", "persistent"]
# Everything but the sizes of the storage and the persistence flag, which
# differ by kind of target by design.
COMPARED = STAT_KEYS[:9]


def counters(q):
    s = q.stats()
    assert list(s) == STAT_KEYS
    assert all(type(s[k]) is int for k in STAT_KEYS[:-1]) and type(s["persistent"]) is bool
    return tuple(s[k] for k in COMPARED)


def test_a_directory_or_memory_gives_a_plain_ferrowcore(tmp_path):
    assert type(open_queue(":memory:")) is ferrow.FerrowCore
    assert type(open_queue(tmp_path / "q")) is ferrow.FerrowCore  # a path object will do
    with pytest.raises(TypeError, match="option .min_replicas. for a directory queue: it is for Redis queues only"):
        open_queue(str(tmp_path / "q"), min_replicas=1)
    with pytest.raises(TypeError, match="a queue target is a str"):
        open_queue(b"/tmp/q")


def test_dead_letters_live_beside_the_queue(tmp_path, monkeypatch):
    assert dead_letter_target(str(tmp_path / "q") + "/") == str(tmp_path / "q.dead")
    assert dead_letter_target("redis://:pw@h:1/2?queue=jobs").startswith("redis://:pw@h:1/2?")
    assert "queue=jobs.dead" in dead_letter_target("redis://h:1/2?queue=jobs")
    # A queue in memory keeps its dead letters in memory, not in ./:memory:.dead
    monkeypatch.chdir(tmp_path)
    queue = Queue(":memory:", max_deliveries=1)
    queue.put(b"poison")
    with pytest.raises(ValueError):
        with queue.get(timeout=0) as msg:
            raise ValueError("bad")
    assert msg.outcome == "dead" and queue.settings.dead().stats()["total"] == 1
    assert os.listdir(tmp_path) == []


def test_delivery_cycle(target):
    """Ids, order, leases, hand-backs, acks, drops and every counter, step by
    step; each line states what the local queue does."""
    q = open_queue(target)
    assert q.enqueue(b"a") == 0
    assert q.enqueue_batch([b"b", bytearray(b"cc"), [100]]) == [1, 2, 3]
    before = int(time.time() * 1000)
    m = q.dequeue(lease_ms=0)
    assert m[:3] == (0, b"a", 1) and type(m[1]) is bytes and m[3] <= before + 5000
    # A lapsed lease is still in flight until an expiring call reclaims it,
    # and then goes before every newer message.
    assert q.in_flight() == 1 and q.extend_lease(99) is False
    assert q.available() == 4 and q.in_flight() == 0
    assert [x[:3] for x in q.dequeue_batch(2, 60_000)] == [(0, b"a", 2), (1, b"b", 1)]
    assert counters(q) == (2, 2, 4, 4, 0, 1, 0, 4, 4 * 33 + 5)
    assert q.extend_lease(1, 0) is True  # handed back, its count kept
    assert q.nack(2) is True  # ready already: requeued and counted all the same
    assert q.dequeue()[:3] == (1, b"b", 2)
    assert q.ack(0) is True and q.ack(0) is False
    assert q.nack(1, requeue=False) is True and q.nack(1, False) is False
    assert q.ack_batch([2, 2, 3, 77]) == 2 and q.ack_batch([]) == 0
    assert counters(q) == (0, 0, 0, 4, 3, 3, 1, 4, 0)
    assert q.dequeue() is None and q.dequeue_batch(5) == [] and q.enqueue_batch([]) == []
    report = q.verify_integrity()
    assert list(report) == ["ok", "records", "bytes", "message"] and report["ok"] is True
    assert (q.flush(), q.compact(), q.purge()) == (None, None, None)
    assert counters(q) == (0,) * 9 and q.enqueue(b"again") == 0


def test_huge_lease_is_clamped_not_wrapped(target):
    q = open_queue(target)
    q.enqueue(b"a")
    q.dequeue(lease_ms=2**64 - 1)
    assert q.available() == 0 and q.dequeue() is None and q.in_flight() == 1


def test_default_lease_is_the_queues(target):
    q = open_queue(target, default_lease_ms=0)
    q.enqueue(b"a")
    q.dequeue()
    assert q.available() == 1


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


BAD_CALLS = [
    lambda q: q.enqueue("ab"),
    lambda q: q.enqueue({1: 2}),
    lambda q: q.enqueue(i for i in [1]),
    lambda q: q.enqueue([1, 2, 256]),
    lambda q: q.enqueue([-1]),
    lambda q: q.enqueue([1.0]),
    lambda q: q.enqueue(None),
    lambda q: q.enqueue_batch(b"ab"),
    lambda q: q.enqueue_batch([b"a", "b"]),
    lambda q: q.ack_batch({1}),
    lambda q: q.ack_batch([1, -1]),
    lambda q: q.ack_batch([1.5]),
    lambda q: q.ack(-1),
    lambda q: q.ack(2 ** 64),
    lambda q: q.ack(Index(-3)),
    lambda q: q.ack(None),
    lambda q: q.dequeue_batch("1", "x"),
    lambda q: q.dequeue(lease_ms="1"),
    lambda q: q.extend_lease(0, 1.5),
    lambda q: q.nack(0, 1),
    lambda q: q.nack(0, None),
    lambda q: q.nack("0", 0),
    lambda q: q.enqueue(bytes(536870892)),
    lambda q: q.enqueue_batch([b"ok", bytes(536870892)]),
]


@pytest.mark.parametrize("call", BAD_CALLS)
def test_bad_arguments_fail_as_in_the_local_queue(target, call):
    reference = ferrow.FerrowCore(":memory:")
    with pytest.raises(Exception) as expected:
        call(reference)
    q = open_queue(target)
    with pytest.raises(Exception) as got:
        call(q)
    assert (type(got.value), str(got.value)) == (type(expected.value), str(expected.value))
    assert q.stats()["next_seq"] == 0  # nothing reached the queue


@pytest.mark.parametrize("kwargs", [{"sync_interval_ms": -1}, {"default_lease_ms": 1.5},
                                    {"auto_compact_bytes": "1"}])
def test_bad_open_arguments_fail_as_in_the_local_queue(target, kwargs):
    with pytest.raises(Exception) as expected:
        ferrow.FerrowCore(":memory:", **kwargs)
    with pytest.raises(Exception) as got:
        open_queue(target, **kwargs)
    assert (type(got.value), str(got.value)) == (type(expected.value), str(expected.value))


def test_two_handles_share_one_queue(shared_target):
    a, b = open_queue(shared_target), open_queue(shared_target)
    ids = a.enqueue_batch([b"%d" % i for i in range(5)])
    got = b.dequeue_batch(3, 60_000)
    assert [m[0] for m in got] == ids[:3]
    assert a.ack(ids[0]) is True and b.ack(ids[0]) is False
    assert a.stats()["in_flight"] == 2 and b.available() == 2


def test_a_directory_target_may_be_a_path(tmp_path):
    q = open_queue(pathlib.Path(tmp_path) / "q")
    q.enqueue(b"x")
    assert os.path.isfile(tmp_path / "q" / "queue.log")


def _open_named(base):
    from ferrow_tools.integrations.named_queues import NamedQueues
    return NamedQueues(base, 1000)


OPENERS = {
    "open_queue": open_queue,
    "Queue": Queue,
    "aio.Queue": aio.Queue,
    "Worker": lambda target: Worker(target, print),
    "framework base": _open_named,
}
ACCEPTED = 'a target is a directory path, ":memory:" or a Redis URL'


@pytest.mark.parametrize("target, why", [
    ("", "empty queue target"),
    ("  \t", "empty queue target"),
    ("reddis://127.0.0.1:6379/0?queue=jobs", "reddis: is not a Redis scheme"),
    ("redis:/127.0.0.1:6379/0?queue=jobs", "a Redis URL starts with redis:// (two slashes)"),
    ("http://:secret@example.com/jobs", "http: is not a Redis scheme"),
])
@pytest.mark.parametrize("opener", sorted(OPENERS))
def test_a_mistaken_target_is_refused_and_creates_nothing(tmp_path, monkeypatch, opener,
                                                         target, why):
    monkeypatch.chdir(tmp_path)  # where "" or "reddis://..." would have become a queue
    with pytest.raises(ValueError) as info:
        OPENERS[opener](target)
    assert why in str(info.value) and ACCEPTED in str(info.value)
    assert "secret" not in str(info.value)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("opener, target, option, said", [
    ("Queue", "dir", "lease_ms", "unknown option 'lease_ms' (did you mean 'default_lease_ms'?)"),
    ("Queue", "dir", "max_delivery", "unknown option 'max_delivery' (did you mean "
                                     "'max_deliveries'?)"),
    ("aio.Queue", ":memory:", "serialiser", "unknown option 'serialiser' (did you mean "
                                            "'serializer'?)"),
    ("open_queue", "dir", "min_replicas", "unknown option 'min_replicas' for a directory queue: "
                                          "it is for Redis queues only"),
    ("open_queue", "redis://127.0.0.1:1/0?queue=q", "replicas", "unknown option 'replicas' "
                                                               "(did you mean 'min_replicas'?)"),
])
def test_an_unknown_option_is_refused_naming_the_valid_ones(tmp_path, opener, target, option,
                                                           said):
    target = str(tmp_path / "q") if target == "dir" else target
    with pytest.raises(TypeError) as info:
        OPENERS[opener](target, **{option: 1})
    text = str(info.value)
    assert text.startswith(said + "; the options are ")
    valid = text.split("; the options are ")[1].split(", ")
    assert "sync_interval_ms" in valid and ("serializer" in valid) == (opener != "open_queue")
    assert ("min_replicas" in valid) == target.startswith("redis://")
    assert not (tmp_path / "q").exists()


OPEN_AS_OTHER_USER = r'''
import asyncio, json, sys
import ferrow
from ferrow_tools import Queue, Worker, aio, open_queue
openers = {"FerrowCore": ferrow.FerrowCore, "open_queue": open_queue, "Queue": Queue,
           "aio.Queue": aio.Queue, "Worker": lambda t: Worker(t, print)}
for name, opener in openers.items():
    try:
        opener(sys.argv[1])
        print(json.dumps([name, "opened"]))
    except OSError as e:
        print(json.dumps([name, type(e).__name__, e.errno, e.strerror, e.filename, str(e)]))
'''


@pytest.mark.parametrize("where, error, number", [
    ("private/q", "PermissionError", errno.EACCES),  # inside another user's 0700 directory
    ("plain/q", "NotADirectoryError", errno.ENOTDIR),  # through a regular file
    ("/proc/no-such-dir/q", "FileNotFoundError", errno.ENOENT),
])
def test_opening_fails_with_the_oserror_subclass_of_its_errno(shared_tmp, where, error, number):
    os.mkdir(os.path.join(shared_tmp, "private"), 0o700)
    with open(os.path.join(shared_tmp, "plain"), "w"):
        pass
    done = run_as_other_user(OPEN_AS_OTHER_USER, where, cwd=shared_tmp)
    assert done.returncode == 0, done.stderr
    results = {r[0]: r[1:] for r in map(json.loads, done.stdout.splitlines())}
    # The engine's own error keeps its class and text and carries the number.
    assert results.pop("FerrowCore") == [
        "OSError", number, None, None,
        "Ferrow I/O error: {} (os error {})".format(os.strerror(number), number)]
    for opener, got in results.items():
        assert got == [error, number, os.strerror(number), where,
                       "[Errno {}] {}: {!r}".format(number, os.strerror(number), where)], opener
