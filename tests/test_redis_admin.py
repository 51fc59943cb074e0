"""ferrow-admin on a Redis queue, and `migrate` between a directory and Redis."""
import json

import pytest

import ferrow
from ferrow_tools import deadletter
from ferrow_tools.admin import cli as admin
from ferrow_tools.redis.queue import RedisQueue
from ferrow_tools.targets import dead_letter_target, open_queue


def run(capsys, *argv):
    try:
        status = admin.main(list(argv))
    except SystemExit as e:
        status = e.code
    out, err = capsys.readouterr()
    return status, out, err


def test_admin_commands_on_a_redis_queue(shared_redis, capsys):
    url = shared_redis.url()
    q = open_queue(url)
    q.enqueue_batch([b"first", b"second", b"third"])
    q.dequeue(lease_ms=60_000)
    assert json.loads(run(capsys, "stats", url, "--json")[1])["in_flight"] == 1
    status, out, _ = run(capsys, "stats", url, "--prometheus")
    assert status == 0 and 'ferrow_in_flight{queue="redis://' in out
    assert 'ferrow_deliveries_bucket{queue="' in out and "password" not in out
    status, out, _ = run(capsys, "peek", url, "-n", "1")
    assert out.splitlines()[0] == "2 ready of 3 present (1 under an unexpired lease); 1 shown"
    assert "b'second'" in out
    status, out, _ = run(capsys, "dump", url, "--json", "--bodies")
    rows = [json.loads(line) for line in out.splitlines()]
    assert [r.get("seq") for r in rows] == [0, 1, 2, None] and rows[0]["deadline_ms"] > 0
    assert bytes.fromhex(rows[2]["body_hex"]) == b"third"
    assert run(capsys, "verify", url)[0] == 0
    assert "nothing to compact" in run(capsys, "compact", url)[1]
    assert "no process lock" in run(capsys, "unlock", url)[1]
    name = url.split("queue=")[1]
    shared_redis.cli("HDEL", "ferrow:{%s}:times" % name, "1")
    status, out, _ = run(capsys, "verify", url, "--json")
    assert status == 1 and json.loads(out)["message"] == "message 1 has no enqueue time"
    status, out, _ = run(capsys, "purge", url, "--yes")
    assert status == 0 and "3 messages removed, now generation 1" in out
    status, _, err = run(capsys, "stats", "redis://127.0.0.1:1/0?queue=x")
    assert status == 2 and "Ferrow I/O error" in err


def test_dead_letters_of_a_redis_queue(shared_redis, capsys):
    url = shared_redis.url()
    q, dead = open_queue(url), open_queue(dead_letter_target(url))
    dead.enqueue(deadletter.encode(7, 5, 1000, "ValueError: bad", b"poison"))
    dead.enqueue(b"not a dead letter")
    status, out, _ = run(capsys, "dead", "list", url, "--json")
    rows = [json.loads(line) for line in out.splitlines()]
    assert rows[0]["original_id"] == 7 and rows[0]["reason"] == "ValueError: bad"
    assert "error" in rows[1]
    assert run(capsys, "dead", "show", url, "0", "--raw")[1] == "poison"
    status, out, err = run(capsys, "dead", "requeue", url, "--all")
    assert status == 1 and "requeued dead letter 0 as id 0" in out and "left in place" in err
    assert q.dequeue()[1] == b"poison" and dead.stats()["total"] == 1
    assert run(capsys, "dead", "purge", url, "--yes")[0] == 0 and dead.stats()["total"] == 0


def test_migrate_there_and_back_keeps_bodies_times_and_counts(tmp_path, shared_redis, capsys):
    src, dst = str(tmp_path / "src"), str(tmp_path / "back")
    local = ferrow.FerrowCore(src)
    local.enqueue_batch([b"a", b"b", b"c", bytes(range(256))])
    local.ack(0)
    local.dequeue_batch(2, lease_ms=0)  # 1 and 2 delivered once, lapsed
    original = [m for m in ferrow.FerrowCore(src).dequeue_batch(10, 0)]
    assert local.dequeue(60_000)[0] == 1  # leased by a consumer that did not stop
    ferrow.FerrowCore(src + ".dead").enqueue(deadletter.encode(9, 5, 1000, "E: x", b"dead"))
    url = shared_redis.url()
    status, out, err = run(capsys, "migrate", src, url, "--progress")
    assert status == 0 and "moved 3 messages" in out and "3 of 3 messages" in err
    assert "1 of them were leased by a consumer and are ready in" in out
    assert "moved 1 dead letters from {}.dead to".format(src) in out
    assert local.stats()["total"] == 0
    status, out, _ = run(capsys, "migrate", url, dst)
    assert status == 0 and "moved 3 messages" in out and "leased" not in out
    assert open_queue(url).stats()["total"] == 0
    back = ferrow.FerrowCore(dst).dequeue_batch(10)
    # Each delivery above counted once more; the local ids start again at 0.
    original[0] = original[0][:2] + (original[0][2] + 1,) + original[0][3:]
    assert [(m[1], m[2], m[3]) for m in back] == [(m[1], m[2] + 1, m[3]) for m in original]
    assert deadletter.decode(ferrow.FerrowCore(dst + ".dead").dequeue()[1]).body == b"dead"
    assert ferrow.FerrowCore(dst).verify_integrity()["ok"]
    status, _, err = run(capsys, "migrate", url, dst)
    assert status == 1 and "holds a queue already" in err


def test_a_crash_between_copy_and_removal_leaves_copies_in_both(shared_redis, monkeypatch,
                                                                capsys):
    src, dst = shared_redis.url(), shared_redis.url()
    open_queue(src).enqueue_batch([b"x", b"y"])

    def crash(self, seqs):
        raise OSError("Ferrow I/O error: connection lost")
    monkeypatch.setattr(RedisQueue, "ack_batch", crash)
    status, _, err = run(capsys, "migrate", src, dst)
    assert status == 2 and "in both queues" in err
    assert open_queue(src).stats()["total"] == 2 and open_queue(dst).stats()["total"] == 2


@pytest.mark.parametrize("src, dst, error, code", [
    (":memory:", "redis", "belong to one process", 1),
    ("redis", "redis-same", "the same queue", 1),
    ("missing", "redis", "no such queue: the directory does not exist", 2),
    ("unused-redis", "redis", "no such queue: nothing was ever put in it", 2),
])
def test_migrate_refuses_what_it_cannot_do(tmp_path, shared_redis, capsys, src, dst, error,
                                           code):
    url = shared_redis.url()
    open_queue(url).enqueue(b"x")
    names = {"redis": url, "redis-same": url, ":memory:": ":memory:",
             "missing": str(tmp_path / "missing"), "unused-redis": shared_redis.url()}
    status, _, err = run(capsys, "migrate", names[src], names[dst])
    assert status == code and error in err
