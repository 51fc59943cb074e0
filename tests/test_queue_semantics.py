"""Delivery semantics of a queue: ordering, leases, acknowledgements, counters
and batches. Tests taking `q` run on an in-memory and on a persistent queue;
those taking `mem` describe what only a memory queue does."""
import pytest

import ferrow

MAX_BODY = 536870891
U64_MAX = 2**64 - 1


@pytest.fixture
def mem():
    return ferrow.FerrowCore(":memory:")


@pytest.fixture(params=["memory", "persistent"])
def q(request, tmp_path):
    if request.param == "memory":
        return ferrow.FerrowCore(":memory:")
    return ferrow.FerrowCore(str(tmp_path / "queue"))


def counters(queue):
    s = queue.stats()
    return {k: s[k] for k in ("ready", "in_flight", "total", "enqueued_total",
                              "acked_total", "requeued_total", "dead_total", "next_seq")}


class TestOrdering:
    def test_ids_start_at_zero_and_are_consecutive(self, q):
        assert q.enqueue(b"a") == 0
        assert q.enqueue_batch([b"b", b"c"]) == [1, 2]
        assert q.enqueue(b"d") == 3

    def test_delivers_smallest_ready_id_with_its_body(self, q):
        for body in (b"first", b"", b"\x00\xff" * 50):
            q.enqueue(body)
        got = [q.dequeue() for _ in range(3)]
        assert [(m[0], m[1], m[2]) for m in got] == [
            (0, b"first", 1), (1, b"", 1), (2, b"\x00\xff" * 50, 1)]
        assert type(got[1][1]) is bytes
        assert q.dequeue() is None

    def test_returned_lease_goes_before_later_messages(self, q):
        q.enqueue_batch([b"1", b"2", b"3"])
        assert q.dequeue(lease_ms=0)[0] == 0
        seq, body, deliveries, _ = q.dequeue()
        assert (seq, body, deliveries) == (0, b"1", 2)
        assert q.dequeue()[0] == 1

    def test_enqueue_time_is_wall_clock_and_shared_by_a_batch(self, q):
        import time
        before = int(time.time() * 1000)
        q.enqueue_batch([b"x"] * 20)
        after = int(time.time() * 1000)
        stamps = {m[3] for m in q.dequeue_batch(20)}
        assert len(stamps) == 1 and before <= stamps.pop() <= after


class TestLeases:
    def test_dequeue_returns_none_while_everything_is_in_flight(self, q):
        q.enqueue(b"a")
        assert q.dequeue() is not None
        assert q.dequeue() is None
        assert q.in_flight() == 1

    def test_lapsed_lease_is_counted_in_flight_until_an_expiring_call(self, q):
        q.enqueue(b"a")
        q.dequeue(lease_ms=0)
        assert q.in_flight() == 1          # in_flight does not expire leases
        assert q.available() == 1          # available does
        assert q.in_flight() == 0
        assert q.stats()["requeued_total"] == 1

    def test_extend_lease_only_for_in_flight_messages(self, q):
        q.enqueue_batch([b"a", b"b"])
        assert q.extend_lease(1) is False            # ready
        assert q.extend_lease(99) is False           # absent
        seq = q.dequeue(lease_ms=0)[0]
        # Lapsed but not yet reclaimed: still in flight, so it can be renewed.
        assert q.extend_lease(seq, 60000) is True
        assert q.dequeue()[0] == 1
        assert q.dequeue() is None
        assert q.stats()["requeued_total"] == 0

    def test_extend_lease_zero_hands_message_back_keeping_deliveries(self, q):
        q.enqueue(b"a")
        seq = q.dequeue()[0]
        assert q.extend_lease(seq, 0) is True
        assert q.dequeue()[:3] == (seq, b"a", 2)

    @pytest.mark.parametrize("how", ["dequeue", "dequeue_batch", "extend_lease"])
    def test_huge_lease_is_clamped_not_wrapped_into_the_past(self, q, how):
        q.enqueue(b"a")
        if how == "dequeue":
            q.dequeue(lease_ms=U64_MAX)
        elif how == "dequeue_batch":
            q.dequeue_batch(1, lease_ms=U64_MAX)
        else:
            q.extend_lease(q.dequeue()[0], U64_MAX)
        assert q.available() == 0
        assert q.dequeue() is None
        assert q.in_flight() == 1


class TestAckAndNack:
    def test_ack_removes_ready_or_leased_message_once(self, q):
        q.enqueue_batch([b"a", b"b"])
        q.dequeue()
        assert q.ack(0) is True and q.ack(1) is True
        assert q.ack(0) is False
        assert counters(q)["acked_total"] == 2
        assert q.dequeue() is None

    def test_ack_batch_counts_present_ids_once(self, q):
        q.enqueue_batch([b"a", b"b", b"c"])
        assert q.ack_batch([0, 0, 2, 7]) == 2
        assert q.ack_batch([]) == 0
        assert q.dequeue()[0] == 1

    def test_nack_requeue_keeps_deliveries_and_counts_even_when_ready(self, q):
        q.enqueue(b"a")
        assert q.nack(0) is True                 # ready already: still counted
        q.dequeue()
        assert q.nack(0, True) is True
        assert q.dequeue()[2] == 2
        assert counters(q)["requeued_total"] == 2

    def test_nack_without_requeue_drops_for_good(self, q):
        q.enqueue(b"a")
        q.dequeue()
        assert q.nack(0, requeue=False) is True
        assert q.nack(0, False) is False
        assert q.dequeue() is None and q.available() == 0
        assert counters(q)["dead_total"] == 1


class TestCounters:
    def test_fresh_memory_queue(self, mem):
        assert mem.stats() == {
            "ready": 0, "in_flight": 0, "total": 0, "enqueued_total": 0,
            "acked_total": 0, "requeued_total": 0, "dead_total": 0, "next_seq": 0,
            "live_bytes": 0, "log_bytes": 16, "generation": 0, "persistent": False}

    def test_sizes_follow_bodies(self, q):
        q.enqueue(b"hello")
        s = q.stats()
        assert (s["ready"], s["total"], s["enqueued_total"], s["next_seq"],
                s["live_bytes"]) == (1, 1, 1, 1, 38)
        # A memory queue appends nothing; a persistent one grows by the frame.
        assert s["log_bytes"] == (16 + 38 if s["persistent"] else 16)
        q.enqueue(b"")
        assert q.stats()["live_bytes"] == 38 + 33
        q.ack(0)
        assert q.stats()["live_bytes"] == 33

    def test_ready_plus_in_flight_is_total(self, q):
        q.enqueue_batch([b"m"] * 10)
        q.dequeue_batch(4)
        q.ack(0)
        q.nack(1, False)
        s = q.stats()
        assert (s["ready"], s["in_flight"], s["total"]) == (6, 2, 8)

    def test_dequeue_batch_of_zero_still_reclaims_lapsed_leases(self, q):
        q.enqueue(b"a")
        q.dequeue(lease_ms=0)
        assert q.dequeue_batch(0) == []
        assert q.in_flight() == 0 and q.stats()["requeued_total"] == 1

    def test_dequeue_batch_takes_what_is_ready(self, q):
        q.enqueue_batch([b"a", b"b", b"c"])
        got = q.dequeue_batch(10)
        assert [m[0] for m in got] == [0, 1, 2]
        assert q.dequeue_batch(5) == []

    def test_memory_purge_resets_ids_and_counters(self, mem):
        mem.enqueue_batch([b"a", b"b"])
        mem.ack(0)
        assert mem.purge() is None
        s = mem.stats()
        assert (s["total"], s["next_seq"], s["acked_total"], s["generation"]) == (0, 0, 0, 0)
        assert mem.enqueue(b"c") == 0

    def test_memory_compact_and_verify_do_nothing(self, mem):
        mem.enqueue(b"a")
        assert mem.compact() is None and mem.flush() is None
        assert mem.verify_integrity() == {
            "ok": True, "records": 0, "bytes": 0,
            "message": ":memory: queue has no on-disk log"}
        assert mem.dequeue()[1] == b"a"


class TestOversizedBodies:
    """A body longer than one log record can hold is refused up front."""

    MESSAGE = ("Ferrow I/O error: message body of 536870892 bytes exceeds "
               "the limit of 536870891 bytes")

    def test_single_enqueue_is_refused(self, q):
        with pytest.raises(OSError) as e:
            q.enqueue(bytes(MAX_BODY + 1))
        assert type(e.value) is OSError and str(e.value) == self.MESSAGE
        assert q.stats()["enqueued_total"] == 0

    def test_batch_with_one_oversized_body_enqueues_nothing(self, q):
        with pytest.raises(OSError, match="exceeds the limit"):
            q.enqueue_batch([b"ok", bytes(MAX_BODY + 1)])
        assert q.stats()["next_seq"] == 0
