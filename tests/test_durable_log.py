"""Durable queues: the bytes each operation writes to queue.log (checked with an
independent decoder), recovery of a damaged log at open, the state restored by
reopening, integrity verification, the .proc_lock file and its timeout, and the
observable side of the sync policy."""
import errno
import os
import re
import struct
import subprocess
import sys
import time
import zlib
from collections import namedtuple

import pytest

import ferrow

HEADER = struct.Struct("<4sIQ")
FRAME = struct.Struct("<4sII")
ENQ, ACK, LEASE, REQUEUE, DEAD = 1, 2, 3, 4, 5
FRESH_HEADER = b"FWFL" + struct.pack("<IQ", 1, 0)
LOCK_TIMEOUT = "process lock timed out (mmap fallback; possibly a stale lock)"

Record = namedtuple("Record", "offset size kind fields")


# -- reference encoder / decoder ----------------------------------------------

FIELDS = {ENQ: "<QQI", ACK: "<Q", LEASE: "<QQI", REQUEUE: "<QI", DEAD: "<Q"}


def frame(payload):
    return FRAME.pack(b"FWR1", len(payload), zlib.crc32(payload)) + payload


def record(kind, *fields, body=b""):
    if kind == ENQ:
        fields += (len(body),)
    return frame(struct.pack("<B" + FIELDS[kind][1:], kind, *fields) + body)


def parse_log(data):
    """Strictly decodes a whole log; any damage fails the calling test."""
    header = HEADER.unpack_from(data)
    assert header[0] == b"FWFL"
    records, off = [], HEADER.size
    while off < len(data):
        magic, n, crc = FRAME.unpack_from(data, off)
        payload = data[off + 12:off + 12 + n]
        assert magic == b"FWR1" and len(payload) == n and zlib.crc32(payload) == crc
        kind = payload[0]
        fields = struct.unpack_from(FIELDS[kind], payload, 1)
        if kind == ENQ:
            fields = fields[:2] + (payload[21:],)
            assert len(fields[2]) == struct.unpack_from("<I", payload, 17)[0]
        else:
            assert n == 1 + struct.calcsize(FIELDS[kind])
        records.append(Record(off, n + 12, kind, fields))
        off += n + 12
    return header, records


# -- helpers -------------------------------------------------------------------

def now_ms():
    return time.time_ns() // 1_000_000


def log_of(qdir, name="queue.log"):
    with open(os.path.join(qdir, name), "rb") as f:
        return f.read()


def write_log(tmp_path, data):
    qdir = tmp_path / "q"
    qdir.mkdir()
    (qdir / "queue.log").write_bytes(data)
    return str(qdir)


def appended(q, qdir, before):
    """Records written since the log held `before`; the earlier bytes must be intact
    and the queue's idea of the log length must match the file."""
    data = log_of(qdir)
    assert data.startswith(before)
    _, records = parse_log(data)
    assert q.stats()["log_bytes"] == len(data)
    return [r for r in records if r.offset >= len(before)]


def drain(q):
    return [m[1] for m in q.dequeue_batch(1000)]


@pytest.fixture
def qdir(tmp_path):
    return str(tmp_path / "q")


# -- what operations write --------------------------------------------------

class TestWrittenBytes:
    def test_new_queue_is_a_bare_header(self, qdir):
        q = ferrow.FerrowCore(qdir)
        assert log_of(qdir) == FRESH_HEADER
        assert q.stats()["log_bytes"] == 16

    @pytest.mark.parametrize("body", [b"", b"hello", bytes(range(256)) * 40],
                             ids=["empty", "short", "over-8KiB"])
    def test_enqueue_appends_one_frame_at_the_end(self, qdir, body):
        q = ferrow.FerrowCore(qdir)
        q.enqueue(b"first")
        before = log_of(qdir)
        t0 = now_ms()
        assert q.enqueue(body) == 1
        t1 = now_ms()
        (rec,) = appended(q, qdir, before)
        assert (rec.offset, rec.size, rec.kind) == (len(before), 33 + len(body), ENQ)
        seq, ts, stored = rec.fields
        assert (seq, stored) == (1, body) and t0 <= ts <= t1
        assert q.dequeue_batch(2)[1][1:] == (body, 1, ts)

    def test_enqueue_batch_writes_one_frame_per_body(self, qdir):
        q = ferrow.FerrowCore(qdir)
        q.enqueue(b"x")
        before = log_of(qdir)
        assert q.enqueue_batch([b"a", b"", b"ccc"]) == [1, 2, 3]
        recs = appended(q, qdir, before)
        assert [(r.offset, r.kind, r.fields[0], r.fields[2]) for r in recs] == [
            (len(before), ENQ, 1, b"a"), (len(before) + 34, ENQ, 2, b""),
            (len(before) + 67, ENQ, 3, b"ccc")]
        assert len({r.fields[1] for r in recs}) == 1

    @pytest.mark.parametrize("default, lease, expected", [
        (None, None, 30000), (777_777, None, 777_777), (None, 5000, 5000),
        (None, 86_400_000, 86_400_000)])
    def test_dequeue_appends_a_lease(self, qdir, default, lease, expected):
        q = ferrow.FerrowCore(qdir, default_lease_ms=default)
        q.enqueue(b"abc")
        before = log_of(qdir)
        t0 = now_ms()
        msg = q.dequeue(lease)
        t1 = now_ms()
        (rec,) = appended(q, qdir, before)
        assert (rec.offset, rec.size, rec.kind) == (len(before), 33, LEASE)
        seq, deadline, deliveries = rec.fields
        assert (seq, deliveries) == (0, 1) and msg[:3] == (0, b"abc", 1)
        assert t0 + expected <= deadline <= t1 + expected

    @pytest.mark.parametrize("op, result, written", [
        (lambda q: q.ack(0), True, record(ACK, 0)),
        (lambda q: q.nack(0), True, record(REQUEUE, 0, 2)),
        (lambda q: q.nack(0, requeue=False), True, record(DEAD, 0)),
        (lambda q: q.ack_batch([1, 99, 1, 0]), 2, record(ACK, 1) + record(ACK, 0)),
        (lambda q: q.ack(7), False, b""),
        (lambda q: q.nack(7, False), False, b""),
        (lambda q: q.extend_lease(7), False, b""),
        (lambda q: q.extend_lease(1), False, b""),  # ready, not in flight
    ], ids=["ack", "nack-requeue", "nack-drop", "ack_batch", "ack-absent",
            "nack-absent", "extend-absent", "extend-ready"])
    def test_control_records(self, qdir, op, result, written):
        q = ferrow.FerrowCore(qdir)
        q.enqueue_batch([b"m0", b"m1"])
        q.dequeue(lease_ms=0)
        assert q.dequeue()[:3] == (0, b"m0", 2)  # lapsed and leased again
        before = log_of(qdir)
        assert q.stats()["log_bytes"] == len(before)
        assert op(q) == result
        assert log_of(qdir) == before + written
        assert q.stats()["log_bytes"] == len(before) + len(written)

    def test_extend_lease_appends_a_lease_with_same_deliveries(self, qdir):
        q = ferrow.FerrowCore(qdir)
        q.enqueue(b"m")
        q.dequeue(lease_ms=0)
        q.dequeue(lease_ms=10)
        before = log_of(qdir)
        t0 = now_ms()
        assert q.extend_lease(0, lease_ms=600_000) is True
        t1 = now_ms()
        (rec,) = appended(q, qdir, before)
        seq, deadline, deliveries = rec.fields
        assert (rec.kind, seq, deliveries) == (LEASE, 0, 2)
        assert t0 + 600_000 <= deadline <= t1 + 600_000


# -- recovery at open -------------------------------------------------------

@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """A log written by the engine holding three Enqueue frames."""
    qdir = str(tmp_path_factory.mktemp("sample") / "q")
    q = ferrow.FerrowCore(qdir)
    q.enqueue_batch([b"one", b"two", b"three"])
    del q
    data = log_of(qdir)
    _, recs = parse_log(data)
    assert [r.kind for r in recs] == [ENQ] * 3
    return data, recs


def damage(data, rec, how):
    """Damages the frame `rec` of `data` in the way named by `how`."""
    buf = bytearray(data[rec.offset:rec.offset + rec.size])
    if how == "bit-flip":
        buf[34] ^= 0x01  # a body byte
    elif how == "magic":
        buf[:4] = b"FWR2"
    elif how == "oversize":
        buf[4:8] = struct.pack("<I", 536870913)
    else:  # a well-formed frame whose type byte is 9
        buf = frame(b"\x09" + bytes(buf[13:]))
    return data[:rec.offset] + bytes(buf) + data[rec.offset + rec.size:]


def corrupt_line(offset, text):
    return f"Ferrow: truncating corrupt log tail at byte {offset} ({text})\n"


class TestRecovery:
    @pytest.mark.parametrize("cut", range(1, 38))
    def test_cut_last_frame(self, tmp_path, capfd, sample, cut):
        data, recs = sample
        last = recs[-1]
        assert last.size == 38
        qdir = write_log(tmp_path, data[:last.offset + cut])
        q = ferrow.FerrowCore(qdir)
        text = "truncated record header" if cut < 12 else "truncated record payload"
        assert capfd.readouterr().err == corrupt_line(last.offset, text)
        assert log_of(qdir) == data[:last.offset]
        assert q.stats()["log_bytes"] == last.offset
        assert drain(q) == [b"one", b"two"]

    @pytest.mark.parametrize("how, kind, text", [
        ("bit-flip", "corrupt", "record CRC mismatch (silent corruption)"),
        ("magic", "corrupt", "bad record magic"),
        ("oversize", "corrupt", "record length 536870913 exceeds max 536870912"),
        ("type-9", "undecodable", "unknown record type 9"),
    ])
    def test_damaged_middle_frame_cuts_there(self, tmp_path, capfd, sample, how, kind, text):
        data, recs = sample
        mid = recs[1]
        qdir = write_log(tmp_path, damage(data, mid, how))
        q = ferrow.FerrowCore(qdir)
        assert capfd.readouterr().err == (
            f"Ferrow: truncating {kind} log tail at byte {mid.offset} ({text})\n")
        assert log_of(qdir) == data[:mid.offset]  # the intact third frame is lost too
        assert drain(q) == [b"one"]
        assert q.enqueue(b"next") == 1

    def test_warning_goes_straight_to_stderr_fd(self, tmp_path, sample):
        data, recs = sample
        qdir = write_log(tmp_path, data[:-1])
        code = ("import io, sys, ferrow\nsys.stderr = io.StringIO()\n"
                "print(ferrow.FerrowCore(sys.argv[1]).stats()['total'])")
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(ferrow.__file__)))
        run = subprocess.run([sys.executable, "-c", code, qdir], capture_output=True,
                             text=True, timeout=60, env=env)
        assert (run.returncode, run.stdout) == (0, "2\n")
        assert run.stderr == corrupt_line(recs[-1].offset, "truncated record payload")

    @pytest.mark.parametrize("n", range(1, 16))
    def test_short_log_is_reinitialised_silently(self, tmp_path, capfd, n):
        qdir = write_log(tmp_path, b"\xeeGARBAGE-BYTES!"[:n])
        q = ferrow.FerrowCore(qdir)
        assert capfd.readouterr().err == ""
        assert log_of(qdir) == FRESH_HEADER
        assert q.enqueue(b"a") == 0

    def test_header_only_log_keeps_generation_and_ignores_version(self, tmp_path, capfd):
        header = b"FWFL" + struct.pack("<IQ", 99, 7)
        qdir = write_log(tmp_path, header)
        q = ferrow.FerrowCore(qdir)
        assert capfd.readouterr().err == ""
        stats = q.stats()
        assert (stats["total"], stats["generation"], stats["log_bytes"]) == (0, 7, 16)
        assert q.enqueue(b"z") == 0
        assert log_of(qdir)[:16] == header and parse_log(log_of(qdir))[1][0].offset == 16

    def test_bad_file_magic_fails_and_leaves_file_alone(self, tmp_path, sample):
        data = b"FWFX" + sample[0][4:]
        qdir = write_log(tmp_path, data)
        with pytest.raises(OSError) as err:
            ferrow.FerrowCore(qdir)
        assert type(err.value) is OSError and err.value.errno is None
        assert str(err.value) == "Ferrow I/O error: queue.log has bad magic (not a Ferrow log)"
        assert log_of(qdir) == data

    def test_parent_is_a_regular_file(self, tmp_path):
        (tmp_path / "plain").write_bytes(b"x")
        with pytest.raises(OSError) as err:
            ferrow.FerrowCore(str(tmp_path / "plain" / "q"))
        assert type(err.value) is OSError
        # The number the text ends with is errno: ENOTDIR, not mkdir's EEXIST.
        assert (err.value.errno, err.value.strerror, err.value.filename) == (
            errno.ENOTDIR, None, None)
        assert str(err.value) == "Ferrow I/O error: {} (os error {})".format(
            os.strerror(errno.ENOTDIR), errno.ENOTDIR)


# -- reopening restores the state -------------------------------------------

class TestReopen:
    def test_state_survives_reopen(self, qdir):
        big = bytes(range(256)) * 256  # 64 KiB
        q = ferrow.FerrowCore(qdir)
        bodies = [b"acked", big, b"leased", b"lapsed", b"", b"dead"]
        assert q.enqueue_batch(bodies) == list(range(6))
        assert q.ack(0)
        assert [m[0] for m in q.dequeue_batch(2, lease_ms=3_600_000)] == [1, 2]
        assert q.dequeue(lease_ms=0)[0] == 3
        assert q.nack(4) and q.nack(5, requeue=False)
        before = log_of(qdir)
        del q
        q = ferrow.FerrowCore(qdir)
        assert log_of(qdir) == before
        assert q.in_flight() == 3
        assert q.dequeue()[:3] == (3, b"lapsed", 2)
        stats = q.stats()
        assert {k: stats[k] for k in ("ready", "in_flight", "total", "enqueued_total",
                                      "acked_total", "requeued_total", "dead_total",
                                      "next_seq", "live_bytes")} == {
            "ready": 1, "in_flight": 3, "total": 4, "enqueued_total": 6, "acked_total": 1,
            "requeued_total": 2, "dead_total": 1, "next_seq": 6,
            "live_bytes": sum(len(b) + 33 for b in bodies[1:5])}
        assert stats["log_bytes"] == len(log_of(qdir))
        assert q.dequeue()[:3] == (4, b"", 1)
        assert q.dequeue() is None  # the long leases are still held
        assert q.nack(1) and q.nack(2)
        assert [m[:3] for m in q.dequeue_batch(5)] == [(1, big, 2), (2, b"leased", 2)]
        assert q.enqueue(b"new") == 6

    def test_lease_deadline_is_restored(self, qdir):
        q = ferrow.FerrowCore(qdir)
        q.enqueue(b"m")
        q.dequeue(lease_ms=1500)
        deadline = parse_log(log_of(qdir))[1][-1].fields[1]
        del q
        q = ferrow.FerrowCore(qdir)
        if now_ms() < deadline - 200:
            assert q.dequeue() is None
        time.sleep(max(0, deadline - now_ms() + 20) / 1000)
        assert q.dequeue()[:3] == (0, b"m", 2)

    def test_hand_written_log_is_replayed(self, tmp_path, capfd):
        records = [record(ENQ, 5, 111, body=b"five"), record(ENQ, 2, 222, body=b"two"),
                   record(LEASE, 2, 2**62, 4), record(ENQ, 9, 333, body=b""), record(ACK, 9),
                   record(REQUEUE, 5, 7), record(DEAD, 42), record(ACK, 42)]
        data = b"FWFL" + struct.pack("<IQ", 1, 3) + b"".join(records)
        q = ferrow.FerrowCore(write_log(tmp_path, data))
        assert capfd.readouterr().err == ""
        s = q.stats()
        assert (s["ready"], s["in_flight"], s["enqueued_total"], s["acked_total"],
                s["requeued_total"], s["dead_total"], s["next_seq"], s["live_bytes"],
                s["log_bytes"], s["generation"]) == (1, 1, 3, 1, 1, 0, 10, 73, len(data), 3)
        assert q.dequeue() == (5, b"five", 8, 111)
        assert q.enqueue(b"ten") == 10

    @pytest.mark.parametrize("top", [2**64 - 1, 2**64 - 2])
    def test_ids_never_wrap_past_the_largest(self, tmp_path, top):
        # Only a foreign log can hold such ids; an id must still never be
        # handed out twice (the next one would have been 0, over message 0).
        data = (b"FWFL" + struct.pack("<IQ", 1, 0) + record(ENQ, 0, 1, body=b"zero")
                + record(ENQ, top, 1, body=b"top"))
        q = ferrow.FerrowCore(write_log(tmp_path, data))
        with pytest.raises(OSError, match="^Ferrow I/O error: sequence ids exhausted$"):
            q.enqueue(b"new")
        with pytest.raises(OSError, match="sequence ids exhausted"):
            q.enqueue_batch([b"a"])
        assert drain(q) == [b"zero", b"top"]


# -- integrity verification -------------------------------------------------

CLEAN = {"ok": True, "records": 0, "bytes": 16, "message": "clean"}


class TestVerifyIntegrity:
    def test_fresh_and_memory_queues(self, qdir):
        q = ferrow.FerrowCore(qdir)
        report = q.verify_integrity()
        assert report == CLEAN and list(report) == ["ok", "records", "bytes", "message"]
        report["ok"] = False
        assert q.verify_integrity() is not report and q.verify_integrity() == CLEAN
        assert ferrow.FerrowCore(":memory:").verify_integrity() == {
            "ok": True, "records": 0, "bytes": 0, "message": ":memory: queue has no on-disk log"}

    def test_counts_every_frame(self, qdir):
        q = ferrow.FerrowCore(qdir)
        bodies = [b"", b"x" * 10, b"y" * 9000]
        for body in bodies:
            q.enqueue(body)
        assert q.verify_integrity() == {"ok": True, "records": 3, "message": "clean",
                                        "bytes": 16 + sum(len(b) + 33 for b in bodies)}

    @pytest.mark.parametrize("garbage, text", [
        (b"\x00" * 5, "truncated record header"),
        (b"FWR0" + bytes(8), "bad record magic"),
        (FRAME.pack(b"FWR1", 0x20000001, 0), "record length 536870913 exceeds max 536870912"),
        (record(ACK, 3)[:-2], "truncated record payload"),
        (record(ACK, 3)[:-1] + b"\x01", "record CRC mismatch (silent corruption)"),
    ], ids=["header", "magic", "oversize", "payload", "crc"])
    def test_garbage_tail_is_reported_without_change(self, qdir, garbage, text):
        q = ferrow.FerrowCore(qdir)
        q.enqueue_batch([b"a", b"bb"])
        old = len(log_of(qdir))
        with open(os.path.join(qdir, "queue.log"), "ab") as f:
            f.write(garbage)
        data = log_of(qdir)
        first = q.verify_integrity()
        second = q.verify_integrity()
        assert first == second == {"ok": False, "records": 2, "bytes": old,
                                   "message": f"corrupt tail at byte {old}: {text}"}
        assert log_of(qdir) == data
        assert drain(q) == [b"a", b"bb"]

    @pytest.mark.parametrize("at, edit, report", [
        (50, frame(b"\x09abc"), {"ok": True, "records": 2, "bytes": 66, "message": "clean"}),
        (0, b"XWFL", {"ok": False, "records": 0, "bytes": 16, "message": "bad file magic"}),
    ], ids=["unknown-type-with-valid-crc", "bad-header-magic"])
    def test_hand_edited_log(self, qdir, at, edit, report):
        q = ferrow.FerrowCore(qdir)
        q.enqueue(b"a")
        with open(os.path.join(qdir, "queue.log"), "r+b") as f:
            f.seek(at)  # 50: the end of the log
            f.write(edit)
        assert q.verify_integrity() == report


# -- the process-lock file --------------------------------------------------

class TestProcLockFile:
    LOCK_FILE_LEN = 64 + 4096 * 32  # the lock word, its header, and the holders' slots

    def test_created_at_full_length_and_free_between_calls(self, qdir):
        q = ferrow.FerrowCore(qdir)
        assert len(log_of(qdir, ".proc_lock")) == self.LOCK_FILE_LEN
        q.enqueue(b"a")
        q.dequeue()
        assert log_of(qdir, ".proc_lock")[:8] == bytes(8)

    @pytest.mark.parametrize("size", [0, 8, 4096, 200000])
    def test_existing_file_is_grown_never_shrunk(self, qdir, size):
        os.mkdir(qdir)
        with open(os.path.join(qdir, ".proc_lock"), "wb") as f:
            f.write(bytes(size))
        q = ferrow.FerrowCore(qdir)
        assert q.enqueue(b"a") == 0
        content = log_of(qdir, ".proc_lock")
        assert len(content) == max(size, self.LOCK_FILE_LEN) and content[:8] == bytes(8)

    def test_memory_queue_creates_no_file(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        q = ferrow.FerrowCore(":memory:")
        q.enqueue(b"a")
        q.flush()
        assert os.listdir(tmp_path) == []


# Waits out the same held lock word in another process: opening the queue, or
# one of the calls that do not catch up first.
LOCK_WAITER = """
import sys, ferrow
what, qdir = sys.argv[1], sys.argv[2]
q = ferrow.FerrowCore(qdir)
print("ready", flush=True)
sys.stdin.readline()
try:
    {"open": lambda: ferrow.FerrowCore(qdir), "flush": q.flush,
     "verify_integrity": q.verify_integrity}[what]()
    print("returned")
except BaseException as exc:
    print(type(exc).__name__, exc)
"""


@pytest.mark.skipif(not os.environ.get("FERROW_RELIABILITY_DIR"),
                    reason="waits 30 s: runs in make reliability; the engine's own tests "
                           "prove the timeout with a short one")
def test_held_lock_word_times_out(qdir):
    q = ferrow.FerrowCore(qdir)
    q.enqueue(b"before")
    before = log_of(qdir)
    lock_path = os.path.join(qdir, ".proc_lock")

    def set_word(value):
        with open(lock_path, "r+b") as f:
            f.write(struct.pack("<Q", value))

    # The other waits overlap this one, so the test waits 30 s only once.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(ferrow.__file__)))
    waiters = {what: subprocess.Popen([sys.executable, "-c", LOCK_WAITER, what, qdir], env=env,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
               for what in ("open", "flush", "verify_integrity")}
    try:
        for waiter in waiters.values():
            assert waiter.stdout.readline() == "ready\n"
    except BaseException:
        for waiter in waiters.values():
            waiter.kill()
            waiter.communicate()
        raise
    set_word(1)
    try:
        for waiter in waiters.values():
            waiter.stdin.write("go\n")
            waiter.stdin.flush()
        start = time.monotonic()
        assert q.enqueue_batch([]) == [] and q.ack_batch([]) == 0
        assert time.monotonic() - start < 10  # no lock wait for empty batches
        start = time.monotonic()
        with pytest.raises(TimeoutError) as err:
            q.enqueue(b"blocked")
        assert time.monotonic() - start >= 29
        assert type(err.value) is TimeoutError and err.value.errno is None
        assert str(err.value) == LOCK_TIMEOUT
        assert log_of(qdir) == before
        for what, waiter in waiters.items():
            out, _ = waiter.communicate(timeout=60)
            assert out == f"TimeoutError {LOCK_TIMEOUT}\n", what
    finally:
        for waiter in waiters.values():
            if waiter.poll() is None:
                waiter.kill()
                waiter.communicate()
        set_word(0)
    assert q.enqueue(b"after") == 1
    assert drain(q) == [b"before", b"after"]


# -- sync policy ------------------------------------------------------------

def script(q):
    """A fixed run of operations; returns the results without timestamps."""
    out = [q.enqueue(b"a"), q.enqueue_batch([b"b", b"c", b""])]
    out.append(q.dequeue()[:3])
    out += [q.nack(0), q.extend_lease(0), q.dequeue_batch(2, 60_000)]
    out[-1] = [m[:3] for m in out[-1]]
    out += [q.ack(1), q.nack(2, False), q.ack_batch([0, 3, 3]), q.flush(), q.dequeue()]
    stats = q.stats()
    del stats["generation"]
    return out, stats, q.verify_integrity()


class TestSyncPolicy:
    def test_interval_settings_give_identical_results(self, tmp_path):
        runs = [script(ferrow.FerrowCore(str(tmp_path / str(i)), **kw)) for i, kw in
                enumerate([{}, {"sync_interval_ms": None}, {"sync_interval_ms": 0},
                           {"sync_interval_ms": 60_000}])]
        assert runs[0][0] == [0, [1, 2, 3], (0, b"a", 1), True, False,
                              [(0, b"a", 2), (1, b"b", 1)], True, True, 2, None, None]
        assert all(run == runs[0] for run in runs[1:])
        kinds = [[r.kind for r in parse_log(log_of(str(tmp_path / str(i))))[1]]
                 for i in range(4)]
        assert all(k == kinds[0] for k in kinds)

    def test_records_reach_the_file_before_any_fsync(self, qdir):
        q = ferrow.FerrowCore(qdir, sync_interval_ms=60_000)
        q.enqueue(b"a")
        q.enqueue(b"b")
        before = log_of(qdir)
        assert q.stats()["log_bytes"] == len(before) == 16 + 2 * 34
        assert q.flush() is None and log_of(qdir) == before
        assert drain(ferrow.FerrowCore(qdir)) == [b"a", b"b"]

    def test_dropping_the_queue_leaves_every_record_readable(self, qdir):
        q = ferrow.FerrowCore(qdir, sync_interval_ms=60_000)
        q.enqueue_batch([b"x", b"y"])
        q.enqueue(b"z")
        q.dequeue(lease_ms=3_600_000)
        q.ack(1)
        del q
        q = ferrow.FerrowCore(qdir)
        assert q.verify_integrity()["records"] == 5
        assert (q.in_flight(), drain(q)) == (1, [b"z"])


def test_bodies_far_past_the_first_mapping_are_read(qdir):
    """A mapping made while the log was small reaches a fixed headroom (64 MiB)
    past it; a drain of a log grown well beyond that must remap, not read
    outside the mapping (this crashed the process)."""
    q = ferrow.FerrowCore(qdir, sync_interval_ms=3600000, auto_compact_bytes=0)
    first = q.enqueue(b"small")
    assert q.ack(q.dequeue()[0])  # maps the small log; acked, so a slow fill never redelivers it
    batch = [b"%099d" % i for i in range(10000)]
    for _ in range(70):  # 700,000 frames of 133 bytes: about 89 MiB
        q.enqueue_batch(batch)
    assert q.stats()["log_bytes"] > 80 << 20
    drained = 0
    while True:
        messages = q.dequeue_batch(1000)
        if not messages:
            break
        assert all(body == b"%099d" % ((seq - 1) % 10000) for seq, body, _, _ in messages)
        drained += q.ack_batch([m[0] for m in messages])
    assert drained == 700000
