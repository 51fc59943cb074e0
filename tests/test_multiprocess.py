"""Several participants on one queue directory: catching up with what others
appended, cutting a damaged tail, reloading a log that was cut or replaced,
compaction, automatic compaction and purge. Participants are real child
processes where the interaction between processes is the point, and several
FerrowCore objects in this process elsewhere (each keeps its own state)."""
import ast
import os
import select
import signal
import struct
import subprocess
import sys
import time
import zlib

import pytest

import ferrow
from logcodec import ACK, DEAD, ENQ, FIELDS, LEASE, REQUEUE, parse_log

CHILD_TIMEOUT_S = 60
BIG = bytes(range(256)) * 400  # 100 KiB
LONG_LEASE = 600_000
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)),
                os.environ.get("PYTHONPATH")) if p))


def frame(payload):
    return struct.pack("<4sII", b"FWR1", len(payload), zlib.crc32(payload)) + payload


def record(kind, *fields, body=b""):
    if kind == ENQ:
        fields += (len(body),)
    return frame(struct.pack("<B" + FIELDS[kind][1:], kind, *fields) + body)



def log_path(qdir):
    return os.path.join(qdir, "queue.log")


def log_of(qdir):
    with open(log_path(qdir), "rb") as f:
        return f.read()


def log_size(qdir):
    return os.path.getsize(log_path(qdir))


def append_raw(qdir, data):
    with open(log_path(qdir), "ab") as f:
        f.write(data)


def zero_stats(generation):
    return dict(ready=0, in_flight=0, total=0, enqueued_total=0, acked_total=0,
                requeued_total=0, dead_total=0, next_seq=0, live_bytes=0, log_bytes=16,
                generation=generation, persistent=True)


@pytest.fixture
def qdir(tmp_path):
    return str(tmp_path / "q")


# A participant in its own interpreter: evaluates one expression per line of
# stdin and answers with the repr of ("ok", value) or ("raised", type, text).
DRIVER = r'''
import ast, os, sys, time, ferrow
q = ferrow.FerrowCore(sys.argv[1], **ast.literal_eval(sys.argv[2]))

def gate(ready, go):
    """Announces `ready`, then spins until `go` exists (for a common start)."""
    open(ready, "w").close()
    deadline = time.monotonic() + 60
    while not os.path.exists(go):
        assert time.monotonic() < deadline, "no start signal"

for line in sys.stdin:
    try:
        out = ("ok", eval(line, {"q": q, "gate": gate}))
    except Exception as exc:
        out = ("raised", type(exc).__name__, str(exc))
    print(repr(out), flush=True)
'''


class Remote:
    def __init__(self, qdir, **options):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", DRIVER, qdir, repr(options)], env=CHILD_ENV,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._buf = b""
        self._stderr = None

    def send(self, expr):
        self.proc.stdin.write(expr.encode() + b"\n")
        self.proc.stdin.flush()

    def recv(self):
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + CHILD_TIMEOUT_S
        while b"\n" not in self._buf:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            assert ready, "participant did not answer in time"
            chunk = os.read(fd, 1 << 20)
            assert chunk, f"participant died: {self.finish()}"
            self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        out = ast.literal_eval(line.decode())
        assert out[0] == "ok", out
        return out[1]

    def __call__(self, expr):
        self.send(expr)
        return self.recv()

    def finish(self):
        """Ends the child (killing it if it hangs) and returns its stderr."""
        if self._stderr is None:
            try:  # closes stdin, which ends the driver loop
                _, err = self.proc.communicate(timeout=CHILD_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                _, err = self.proc.communicate()
            self._stderr = err.decode()
        return self._stderr


@pytest.fixture
def remote():
    started = []

    def start(qdir, **options):
        started.append(Remote(qdir, **options))
        return started[-1]

    yield start
    for r in started:
        r.finish()


# -- following other processes -------------------------------------------------

def test_enqueue_in_one_process_dequeue_in_another(qdir, remote):
    a, b = remote(qdir), remote(qdir)
    assert a("q.enqueue(b'hello')") == 0
    assert b(f"q.dequeue(lease_ms={LONG_LEASE})[:3]") == (0, b"hello", 1)
    assert a("q.in_flight()") == 1
    assert a("q.ack(0)") is True  # A removes what B holds
    assert b("q.in_flight()") == 0
    assert b("q.enqueue(bytes(range(256)) * 400)") == 1  # continues A's ids
    assert a("q.dequeue()[:3]") == (1, BIG, 1)
    assert a("q.ack(1)") is True and b("q.ack(1)") is False
    assert (a.finish(), b.finish()) == ("", "")


def test_tight_loop_enqueues_from_two_processes_get_distinct_ids(tmp_path, qdir, remote):
    n = 2000
    producers = {tag: remote(qdir, sync_interval_ms=1000) for tag in ("a", "b")}
    go = tmp_path / "go"
    for tag, r in producers.items():
        r.send(f'gate({str(tmp_path / tag)!r}, {str(go)!r}) or '
               f'[q.enqueue(b"{tag}%d" % i) for i in range({n})]')
    deadline = time.monotonic() + CHILD_TIMEOUT_S
    while not all((tmp_path / tag).exists() for tag in producers):
        assert time.monotonic() < deadline, "producers did not get ready"
        time.sleep(0.001)
    go.touch()
    ids = {tag: r.recv() for tag, r in producers.items()}
    assert sorted(ids["a"] + ids["b"]) == list(range(2 * n))
    expected = {seq: b"%s%d" % (tag.encode(), i) for tag in ids for i, seq in enumerate(ids[tag])}

    q = ferrow.FerrowCore(qdir)
    report = q.verify_integrity()
    assert (report["ok"], report["records"], report["bytes"]) == (
        True, 2 * n, log_size(qdir))
    stats = q.stats()
    assert (stats["total"], stats["enqueued_total"], stats["next_seq"]) == (2 * n, 2 * n, 2 * n)
    assert {m[0]: m[1] for m in q.dequeue_batch(2 * n)} == expected


DAMAGED_TAILS = {
    "partial header": record(ENQ, 2, 0, body=b"zz")[:7],
    "partial payload": record(ENQ, 2, 0, body=b"zz")[:-1],
    "crc mismatch": record(ENQ, 2, 0, body=b"zz")[:-1] + b"!",
    "unknown type": frame(b"\x09" + bytes(8)),
    "empty payload": frame(b""),
}


@pytest.mark.parametrize("tail", DAMAGED_TAILS.values(), ids=DAMAGED_TAILS.keys())
def test_damaged_tail_is_cut_by_the_next_catch_up(qdir, capfd, tail):
    writer, reader = ferrow.FerrowCore(qdir), ferrow.FerrowCore(qdir)
    assert writer.enqueue_batch([b"one", b"two"]) == [0, 1]
    end = log_size(qdir)
    append_raw(qdir, tail)
    capfd.readouterr()
    stats = reader.stats()  # reads both frames, then meets the damage
    assert capfd.readouterr().err == f"Ferrow: truncated corrupt log tail at byte {end}\n"
    assert (stats["total"], stats["log_bytes"]) == (2, end)
    assert log_size(qdir) == end
    assert reader.dequeue()[:2] == (0, b"one")
    assert writer.enqueue(b"three") == 2
    assert [m[:2] for m in reader.dequeue_batch(5)] == [(1, b"two"), (2, b"three")]
    assert capfd.readouterr().err == ""
    parse_log(log_of(qdir))


def test_child_killed_mid_write_leaves_a_tail_others_cut(qdir, capfd):
    survivor, other = ferrow.FerrowCore(qdir), ferrow.FerrowCore(qdir)
    assert survivor.enqueue(b"first") == 0
    half = record(ENQ, 2, 0, body=b"never finished")
    half = half[:len(half) // 2]
    script = ("import os, signal, sys, ferrow\n"
              "q = ferrow.FerrowCore(sys.argv[1])\n"
              "assert q.enqueue(b'second') == 1\n"
              "fd = os.open(sys.argv[1] + '/queue.log', os.O_WRONLY | os.O_APPEND)\n"
              "os.write(fd, bytes.fromhex(sys.argv[2]))\n"
              "os.kill(os.getpid(), signal.SIGKILL)\n")
    child = subprocess.run([sys.executable, "-c", script, qdir, half.hex()], env=CHILD_ENV,
                           capture_output=True, timeout=CHILD_TIMEOUT_S)
    assert child.returncode == -signal.SIGKILL, child.stderr
    end = 16 + (33 + 5) + (33 + 6)
    assert log_size(qdir) == end + len(half)
    capfd.readouterr()
    assert [m[:2] for m in survivor.dequeue_batch(5)] == [(0, b"first"), (1, b"second")]
    assert capfd.readouterr().err == f"Ferrow: truncated corrupt log tail at byte {end}\n"
    assert other.in_flight() == 2 and other.enqueue(b"third") == 2
    assert capfd.readouterr().err == ""
    assert other.verify_integrity()["ok"]


@pytest.mark.parametrize("op", ["enqueue", "dequeue", "stats", "compact", "purge"])
def test_bad_magic_fails_the_next_operation(qdir, op):
    q = ferrow.FerrowCore(qdir)
    q.enqueue(b"x")
    # Another file, not ours, put in the log's place.
    with open(log_path(qdir) + ".new", "wb") as f:
        f.write(b"NOPE" + log_of(qdir)[4:])
    os.replace(log_path(qdir) + ".new", log_path(qdir))
    before = log_of(qdir)
    call = {"enqueue": lambda: q.enqueue(b"y")}.get(op, getattr(q, op))
    with pytest.raises(OSError) as err:
        call()
    assert str(err.value) == "Ferrow I/O error: queue.log has bad magic (not a Ferrow log)"
    assert log_of(qdir) == before  # neither replaced nor appended to


def test_flush_and_verify_integrity_do_not_catch_up(qdir, capfd):
    a, b = ferrow.FerrowCore(qdir), ferrow.FerrowCore(qdir)
    a.enqueue(b"x")
    end = log_size(qdir)
    append_raw(qdir, DAMAGED_TAILS["partial payload"])
    capfd.readouterr()
    assert b.flush() is None
    report = b.verify_integrity()
    assert (report["ok"], report["records"], report["bytes"]) == (False, 1, end)
    assert b.flush() is None
    assert capfd.readouterr().err == ""
    assert log_size(qdir) > end  # the damage is still there
    assert b.in_flight() == 0  # the first catching-up operation cuts it
    assert capfd.readouterr().err == f"Ferrow: truncated corrupt log tail at byte {end}\n"
    assert b.stats()["total"] == 1 and log_size(qdir) == end


def test_log_cut_below_a_process_position_makes_it_reload(qdir, capfd):
    writer, reader = ferrow.FerrowCore(qdir), ferrow.FerrowCore(qdir)
    bodies = [b"a" * 100, b"b" * 100, b"c" * 100]
    writer.enqueue_batch(bodies)
    assert reader.dequeue(lease_ms=LONG_LEASE)[:2] == (0, bodies[0])  # maps the log
    keep = 16 + 2 * (33 + 100)  # the first two Enqueue frames
    os.truncate(log_path(qdir), keep)
    stats = reader.stats()
    assert {k: stats[k] for k in ("total", "ready", "in_flight", "next_seq", "log_bytes")} == \
        dict(total=2, ready=2, in_flight=0, next_seq=2, log_bytes=keep)
    assert [m[:3] for m in reader.dequeue_batch(5)] == [(0, bodies[0], 1), (1, bodies[1], 1)]
    assert writer.enqueue(b"d") == 2  # the writer reloads too
    assert reader.dequeue()[:2] == (2, b"d")
    assert capfd.readouterr().err == ""
    assert writer.verify_integrity()["ok"]


# -- compaction ----------------------------------------------------------------

@pytest.mark.parametrize("who", ["compactor", "reloader", "fresh opener"])
def test_compaction_keeps_every_present_message(qdir, who):
    a, b = ferrow.FerrowCore(qdir), ferrow.FerrowCore(qdir)
    bodies = [BIG, b"lapsed", b"twice", b"", b"acked", b"dropped", b"last"]
    assert a.enqueue_batch(bodies) == list(range(7))
    assert [m[0] for m in a.dequeue_batch(3, lease_ms=LONG_LEASE)] == [0, 1, 2]
    assert a.nack(2) and a.dequeue(lease_ms=LONG_LEASE)[:3] == (2, b"twice", 2) and a.nack(2)
    assert a.ack(4) and a.nack(5, requeue=False) and a.ack(6)
    assert a.extend_lease(1, lease_ms=0)  # lapsed, but nothing expires it before compact
    assert b.in_flight() == 2
    old = parse_log(log_of(qdir))[1]
    ts = {f[0]: f[1] for kind, f in old if kind == ENQ}
    deadline = {f[0]: f[1] for kind, f in old if kind == LEASE}  # the last lease of each

    assert a.compact() is None
    assert sorted(os.listdir(qdir)) == [".proc_lock", "queue.log"]
    generation, new = parse_log(log_of(qdir))
    assert generation == 1
    assert new[:-2] == [
        (ENQ, (0, ts[0], BIG)), (REQUEUE, (0, 1)), (LEASE, (0, deadline[0], 1)),
        (ENQ, (1, ts[1], b"lapsed")), (REQUEUE, (1, 1)), (LEASE, (1, deadline[1], 1)),
        (ENQ, (2, ts[2], b"twice")), (REQUEUE, (2, 2)),
        (ENQ, (3, ts[3], b""))]
    # The last id handed out leaves a trace, so that reloaders continue after it.
    assert [(kind, f[0], f[2:]) for kind, f in new[-2:]] == [(ENQ, 6, (b"",)), (ACK, 6, ())]

    p = {"compactor": a, "reloader": b, "fresh opener": ferrow.FerrowCore(qdir)}[who]
    assert p.in_flight() == 2
    stats = p.stats()  # expires the lapsed lease
    assert stats["log_bytes"] == log_size(qdir)
    assert {k: stats[k] for k in ("ready", "in_flight", "total", "next_seq", "live_bytes",
                                  "generation")} == dict(
        ready=3, in_flight=1, total=4, next_seq=7, generation=1,
        live_bytes=sum(len(body) + 33 for body in bodies[:4]))
    counters = tuple(stats[k + "_total"] for k in ("enqueued", "acked", "requeued", "dead"))
    assert counters == ((7, 2, 3, 1) if who == "compactor" else (5, 1, 4, 0))
    assert p.dequeue_batch(5, lease_ms=LONG_LEASE) == [
        (1, b"lapsed", 2, ts[1]), (2, b"twice", 3, ts[2]), (3, b"", 1, ts[3])]
    assert p.extend_lease(0, lease_ms=0)  # message 0 was still leased
    assert p.dequeue() == (0, BIG, 2, ts[0])
    assert p.enqueue(b"after") == 7


@pytest.mark.parametrize("n, acked, size, reloaded", [
    (0, [], 16, (0, 0, 0, 0)),
    (3, [0, 1, 2], 16 + 33 + 21, (1, 1, 0, 3)),  # the trace of id 2 only
    (3, [0, 1], 16 + 35 + 25 + 33, (1, 0, 1, 3)),  # id 2 in flight, no trace
])
def test_compaction_never_lets_ids_go_backwards(qdir, n, acked, size, reloaded):
    a, late = ferrow.FerrowCore(qdir), ferrow.FerrowCore(qdir)
    a.enqueue_batch([b"m%d" % i for i in range(n)])
    assert len(late.dequeue_batch(n, lease_ms=LONG_LEASE)) == n  # a consumer that acks late
    assert a.ack_batch(acked) == len(acked)
    a.compact()
    assert log_size(qdir) == size
    stats = a.stats()
    assert (stats["log_bytes"], stats["generation"], stats["next_seq"]) == (size, 1, n)
    stats = late.stats()
    assert tuple(stats[k] for k in ("enqueued_total", "acked_total", "total", "next_seq")) \
        == reloaded
    fresh = ferrow.FerrowCore(qdir)
    assert [p.enqueue(b"new") for p in (late, fresh, a)] == [n, n + 1, n + 2]
    assert not any(late.ack(seq) for seq in acked)
    for p in (a, late, fresh):
        assert p.stats()["total"] == n - len(acked) + 3


def test_compact_of_memory_queue_does_nothing():
    q = ferrow.FerrowCore(":memory:")
    q.enqueue(b"x")
    assert q.compact() is None
    assert (q.stats()["generation"], q.dequeue()[:2]) == (0, (0, b"x"))


def test_auto_compaction_off_never_rewrites(qdir):
    q = ferrow.FerrowCore(qdir, auto_compact_bytes=0)
    for _ in range(50):
        assert q.ack(q.enqueue(b"x" * 10))
    seqs = q.enqueue_batch([b"y"] * 10)
    assert q.ack_batch(seqs[:5]) == 5
    assert all(q.nack(seq, requeue=False) for seq in seqs[5:])
    stats = q.stats()
    assert (stats["generation"], stats["total"]) == (0, 0)
    assert stats["log_bytes"] == log_size(qdir) > 60 * 43


@pytest.mark.parametrize("body_len, threshold, compacts", [
    (36, 1, True),     # live 69 * 2 < log 139
    (37, 1, False),    # live 70 * 2 == log 140
    (36, 139, True),   # log reached the threshold
    (36, 140, False),  # log below it
])
def test_auto_compaction_condition(qdir, body_len, threshold, compacts):
    q = ferrow.FerrowCore(qdir, auto_compact_bytes=threshold)
    q.enqueue_batch([b"", b"k" * body_len])
    assert q.ack(0)
    stats = q.stats()
    assert stats["generation"] == int(compacts)
    assert stats["log_bytes"] == log_size(qdir)


@pytest.mark.parametrize("remove", ["ack", "ack_batch", "drop"])
def test_auto_compaction_follows_removals_only(qdir, remove):
    helper = ferrow.FerrowCore(qdir, auto_compact_bytes=0)
    helper.enqueue_batch([b"x" * 10] * 6)
    helper.ack_batch([2, 3, 4, 5])  # the log is mostly dead space now
    q = ferrow.FerrowCore(qdir, auto_compact_bytes=1)
    assert q.nack(0) and q.dequeue()[0] == 0 and q.extend_lease(0) and q.nack(0)
    assert q.ack(5) is False and q.nack(4, requeue=False) is False
    assert q.stats()["generation"] == 0
    do = {"ack": q.ack, "ack_batch": lambda seq: q.ack_batch([seq]),
          "drop": lambda seq: q.nack(seq, requeue=False)}[remove]
    for seq, generation in ((1, 1), (0, 2)):
        assert do(seq)
        stats = q.stats()
        assert (stats["generation"], stats["total"]) == (generation, seq)
        assert stats["log_bytes"] == log_size(qdir)
        assert helper.stats()["generation"] == generation
    assert sorted(os.listdir(qdir)) == [".proc_lock", "queue.log"]


# -- purge ---------------------------------------------------------------------

def test_purge_resets_every_process(qdir):
    a, b = ferrow.FerrowCore(qdir), ferrow.FerrowCore(qdir)
    a.enqueue_batch([b"x", b"y", b"z"])
    assert [m[0] for m in b.dequeue_batch(2, lease_ms=LONG_LEASE)] == [0, 1]
    assert a.purge() is None
    assert a.stats() == zero_stats(1)
    assert log_of(qdir) == b"FWFL" + struct.pack("<IQ", 1, 1)
    assert sorted(os.listdir(qdir)) == [".proc_lock", "queue.log"]
    assert (b.ack(0), b.nack(1), b.extend_lease(1), b.ack(2)) == (False,) * 4
    assert b.stats() == zero_stats(1)
    assert ferrow.FerrowCore(qdir).stats() == zero_stats(1)
    a.enqueue(b"gone")
    a.purge()
    assert log_of(qdir) == b"FWFL" + struct.pack("<IQ", 1, 2)
    assert b.enqueue(b"new") == 0
    assert a.dequeue()[:2] == (0, b"new")
    assert b.stats()["generation"] == a.stats()["generation"] == 2
    assert sorted(os.listdir(qdir)) == [".proc_lock", "queue.log"]
