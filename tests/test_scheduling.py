"""Delays, priorities and expiry (ferrow_tools.scheduling) on ":memory:", a
directory and Redis: through Queue and aio.Queue, across a SIGKILL, and
beside plain FerrowCore producers and consumers."""
import asyncio
import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from datetime import timedelta

import pytest

from ferrow_tools import Queue, Worker, aio
from ferrow_tools.admin import cli as admin
from ferrow_tools.deadletter import decode
from ferrow_tools.files.logfile import LogScan, open_log
from ferrow_tools.scheduling.naming import level_dir, level_dirs, sub_queue_parent
from ferrow_tools.targets import is_redis, open_queue

# Due times are wall-clock times (they outlive the process that put them), so
# waits are measured on the wall clock: against the monotonic clock a message
# can look a millisecond early when the wall clock is slewed.
DELAY_S = 0.4
# Long enough for a waiting get on a loaded machine; a get that does not
# wake at the due time waits for its whole timeout instead.
WAKE_SLACK_S = 1.5


def test_a_delayed_message_comes_at_its_due_time_not_before(target):
    with Queue(target) as queue:
        put_at = time.time()
        queue.put(b"later", delay=DELAY_S)
        queue.put(b"now")
        assert queue.get(timeout=5).raw == b"now"
        # Not due: neither ready nor in flight (held or not), on every target.
        stats = queue.stats()
        assert (len(queue), stats["ready"], stats["in_flight"], stats["total"]) == (0, 0, 1, 2)
        msg = queue.get(timeout=DELAY_S + WAKE_SLACK_S + 5)
        waited = time.time() - put_at
        assert msg.raw == b"later" and msg.deliveries == 1
        assert DELAY_S <= waited < DELAY_S + WAKE_SLACK_S
        msg.ack()
        queue.put(b"td", delay=timedelta(milliseconds=1))
        assert queue.get(timeout=5).raw == b"td"


def test_an_asyncio_get_wakes_at_the_due_time(target):
    async def run():
        async with aio.Queue(target, priorities=2) as queue:
            put_at = time.time()
            await queue.put(b"later", delay=DELAY_S, priority=1)
            msg = await queue.get(timeout=DELAY_S + WAKE_SLACK_S + 5)
            assert (msg.raw, msg.priority) == (b"later", 1)
            assert DELAY_S <= time.time() - put_at < DELAY_S + WAKE_SLACK_S
            async with msg:
                pass
            assert (await queue.stats())["total"] == 0
    asyncio.run(run())


HOLDER = textwrap.dedent('''
    import os, signal, sys
    from ferrow_tools import Queue
    queue = Queue(sys.argv[1])
    queue.put_many([b"a", b"b"], delay=float(sys.argv[2]))
    assert queue.get(timeout=0.2) is None       # holds them, leased until due
    os.kill(os.getpid(), signal.SIGKILL)
''')


def test_delayed_messages_survive_the_death_of_their_holder(shared_target):
    delay = 1.0
    started = time.time()
    child = subprocess.run([sys.executable, "-c", HOLDER, shared_target, str(delay)],
                           timeout=60)
    assert child.returncode == -signal.SIGKILL
    with Queue(shared_target) as queue:
        got = [queue.get(timeout=delay + 10) for _ in range(2)]
        assert time.time() - started >= delay
        assert [(m.raw, m.deliveries) for m in got] == [(b"a", 1), (b"b", 1)]
        for m in got:
            m.ack()
        assert queue.stats()["total"] == 0


def test_priorities_go_highest_first_and_by_id_within_a_level(target):
    with Queue(target, priorities=3) as queue:
        for body, priority in [(b"a0", 0), (b"b2", 2), (b"c1", 1), (b"d2", 2), (b"e", None)]:
            queue.put(body, priority=priority)
        got = [queue.get(timeout=5) for _ in range(5)]
        assert [m.raw for m in got[:3]] == [b"b2", b"d2", b"c1"]
        assert sorted(m.raw for m in got[3:]) == [b"a0", b"e"]
        assert [m.priority for m in got] == [2, 2, 1, 0, 0]
        for bad in (3, -1):
            with pytest.raises(ValueError, match="outside 0..2"):
                queue.put(b"x", priority=bad)
    with Queue(target) as plain:
        with pytest.raises(ValueError, match="outside 0..0"):
            plain.put(b"x", priority=1)


def test_aging_serves_a_waiting_low_message_under_a_stream_of_high_ones(target):
    """The documented rule: once `aging_s` passed since a reader last looked
    at a level, its next get looks there first. So no get that starts later
    than that serves a high message while the low one waits."""
    aging_s = 0.3
    with Queue(target, priorities=2, aging_s=aging_s) as queue:
        queue.get(timeout=0)  # a look at every level: the clock of the rule starts here
        looked_at = time.monotonic()
        queue.put(b"low", priority=0)
        late_highs = []
        for i in range(1000):
            queue.put(b"high", priority=1)
            started = time.monotonic()
            msg = queue.get(timeout=5)
            msg.ack()
            if msg.raw == b"low":
                break
            if started >= looked_at + aging_s:
                late_highs.append(i)
            time.sleep(0.01)
        assert msg.raw == b"low" and late_highs == []


def test_an_expired_message_is_never_delivered_and_counted(target):
    with Queue(target) as queue:
        queue.put(b"short", ttl=0.05)
        queue.put(b"due-after-expiry", delay=0.2, ttl=0.1)
        kept = queue.put(b"long", ttl=60)
        time.sleep(0.1)
        msg = queue.get(timeout=5)
        assert msg.raw == b"long" and msg.expires_at is not None and msg.id == kept
        msg.ack()
        assert queue.get(timeout=0.5) is None
        stats = queue.stats()
        assert (stats["total"], stats["dead_total"]) == (0, 2)


def test_expired_messages_can_go_to_the_dead_letters(target):
    with Queue(target, expired="dead") as queue:
        queue.put(b"gone", ttl=0)
        assert queue.get(timeout=0.2) is None
        dead = queue.settings.dead_letters().dequeue()
        letter = decode(dead[1])
        assert (letter.reason, letter.body) == ("expired", b"gone")


def test_a_plain_queue_exchanges_the_same_bytes_as_ferrow_core(target, tmp_path):
    """A queue that uses no option stays plain: its bytes go both ways
    between Queue and the bare queue, and no sub-queue appears."""
    with Queue(target) as queue:
        core = queue.core if target == ":memory:" else open_queue(target)
        core.enqueue(b"from core")
        assert queue.get(timeout=5).raw == b"from core"
        queue.put(b"from queue")
        assert core.dequeue()[1] == b"from queue"
        if not is_redis(target) and target != ":memory:":
            assert level_dirs(target) == []


def test_a_delayed_message_costs_three_records_more_than_a_plain_one(tmp_path):
    def cycle(target, **options):
        with Queue(target) as queue:
            queue.put(b"x", **options)
            msg = queue.get(timeout=5)
            msg.ack()
        return sum(count_records(d) for d in [target] + [p for _, p in level_dirs(target)])

    plain = cycle(str(tmp_path / "plain"))
    delayed = cycle(str(tmp_path / "delayed"), delay=0.1)
    assert plain == 3 and delayed <= plain + 3


def count_records(queue_dir):
    if not os.path.isdir(queue_dir):
        return 0
    with open_log(queue_dir) as f:
        return sum(1 for _ in LogScan(f, decode=False))


@pytest.mark.parametrize("where", ["memory", "directory"])
def test_nothing_ready_costs_at_most_one_call_per_level(tmp_path, where):
    """Sub-queues that hold nothing ready are not called at all: the plain
    queue is the one call left."""
    queue = Queue(":memory:" if where == "memory" else str(tmp_path / "q"), priorities=4)
    queue.put_many([b"x", b"y"], priority=3, delay=60)
    queue.put(b"z", delay=60)
    assert queue.get(timeout=0) is None  # holds them
    calls = []
    for sub in queue.levels.sub_queues():
        sub.core = Counting(sub.core, calls)
    queue.levels.main = Counting(queue.levels.main, calls)
    assert queue.get(timeout=0) is None
    assert calls == ["dequeue"]
    queue.close()


class Counting:
    def __init__(self, core, calls):
        self._core, self._calls = core, calls

    def __getattr__(self, name):
        attr = getattr(self._core, name)
        if not callable(attr):
            return attr

        def counted(*args, **kwargs):
            self._calls.append(name)
            return attr(*args, **kwargs)
        return counted


def test_sub_queue_names(tmp_path):
    base = str(tmp_path / "jobs")
    assert level_dir(base, 3) == base + ".p3"
    assert sub_queue_parent(base + ".p3") == (base, "p3")
    assert sub_queue_parent(base + ".dead") == (base, "dead")
    assert sub_queue_parent(base + ".p03") is None and sub_queue_parent(base) is None


@pytest.mark.parametrize("bad, error", [(-1, ValueError), (float("nan"), ValueError),
                                        ("5", TypeError), (True, TypeError)])
def test_bad_delays_and_ttls_are_refused(bad, error):
    with Queue(":memory:") as queue:
        for option in ("delay", "ttl"):
            with pytest.raises(error):
                queue.put(b"x", **{option: bad})


def test_admin_shows_and_migrates_the_sub_queues(tmp_path, shared_redis, capsys):
    """stats and peek show the scheduled messages as part of their queue, and
    migrate moves them with their levels, due times and expiries."""
    src, back = str(tmp_path / "src"), str(tmp_path / "back")
    with Queue(src, priorities=3) as queue:
        queue.put(b"plain")
        queue.put(b"later", delay=600)
        queue.put(b"urgent", priority=2, ttl=600)
    status, out, _ = run_admin(capsys, "stats", src, "--json")
    subs = json.loads(out)["sub_queues"]
    assert (subs["p0"]["delayed"], subs["p0"]["ready"], subs["p2"]["ready"]) == (1, 0, 1)
    status, out, _ = run_admin(capsys, "peek", src)
    assert "body=b'later'  due=" in out and "body=b'urgent'  expires=" in out
    url = shared_redis.url()
    for source, destination in ((src, url), (url, back)):
        status, out, _ = run_admin(capsys, "migrate", source, destination)
        assert status == 0 and "moved 3 messages" in out
    status, out, _ = run_admin(capsys, "stats", back, "--json")
    assert json.loads(out)["sub_queues"]["p0"]["delayed"] == 1
    with Queue(back, priorities=3) as queue:
        got = [queue.get(timeout=5) for _ in range(2)]
        assert [(m.raw, m.priority, m.deliveries) for m in got] == [(b"urgent", 2, 1),
                                                                     (b"plain", 0, 1)]
        assert got[0].expires_at is not None and queue.get(timeout=0) is None
        assert queue.stats()["total"] == 3
    status, out, _ = run_admin(capsys, "purge", back, "--yes")
    assert status == 0 and "3 messages removed" in out
    with Queue(back, priorities=3) as queue:
        assert queue.stats()["total"] == 0


def run_admin(capsys, *argv):
    try:
        status = admin.main(list(argv))
    except SystemExit as e:
        status = e.code
    out, err = capsys.readouterr()
    return status, out, err


def test_a_worker_takes_levels_in_order_and_delayed_messages_when_due(shared_target):
    seen = []
    with Queue(shared_target, priorities=2) as queue:
        put_at = time.time()
        queue.put(b"later", delay=DELAY_S)
        queue.put(b"low")
        queue.put(b"high", priority=1)
    worker = Worker(shared_target, lambda m: seen.append((m[1], time.time() - put_at)),
                    lease_ms=5000, priorities=2)
    worker.run(max_messages=3, idle_exit_s=DELAY_S + WAKE_SLACK_S + 5)
    assert [body for body, _ in seen] == [b"high", b"low", b"later"]
    assert DELAY_S <= seen[2][1] < DELAY_S + WAKE_SLACK_S
    assert worker.stats.counts["acked"] == 3


def test_a_reader_serves_levels_it_was_not_told_of(shared_target):
    """A consumer opened without `priorities` still gets what a producer put
    with priorities, highest first, rather than leaving it unread."""
    with Queue(shared_target, priorities=3) as producer:
        producer.put(b"plain")
        producer.put(b"urgent", priority=2)
        producer.put(b"soon", priority=1)
    with Queue(shared_target) as consumer:
        got = [consumer.get(timeout=5) for _ in range(3)]
        assert [(m.raw, m.priority) for m in got] == [
            (b"urgent", 2), (b"soon", 1), (b"plain", None)]
