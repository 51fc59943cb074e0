"""A damaged queue.log never crashes a reader. A small log holding records of every
kind is cut at every byte offset and has every bit of every byte flipped; each
variant is opened (replay) and, separately, caught up with by a queue that was
already open on an intact prefix. Each sweep runs in one child process that loops
over its variants, so that a crash fails the test with the variant named. What
the engine keeps is compared with an independent decoder of the same bytes: the
log is cut at the first damaged frame, with the right warning, and everything
before that frame is in effect."""
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile
import zlib

import pytest

import ferrow

ENQ, ACK, LEASE, REQUEUE, DEAD = 1, 2, 3, 4, 5
MAX_RECORD_LEN = 0x20000000
FRESH_HEADER = b"FWFL" + struct.pack("<IQ", 1, 0)
BAD_MAGIC = "Ferrow I/O error: queue.log has bad magic (not a Ferrow log)"
# Every lease in the sample log outlives the test, so no lapsed lease turns
# into a Requeue record while a variant is examined.
LONG_LEASE = 10**10
SWEEP_TIMEOUT_S = 180
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)),
                os.environ.get("PYTHONPATH")) if p))


# -- independent reading of the log bytes ---------------------------------------

def decode(payload):
    """(kind, fields) of one payload, or (None, decode text)."""
    n = len(payload)
    if n == 0:
        return None, "empty record"
    kind = payload[0]
    if kind not in (ENQ, ACK, LEASE, REQUEUE, DEAD):
        return None, f"unknown record type {kind}"
    if n < 9:
        return None, "short u64 field"
    seq = struct.unpack_from("<Q", payload, 1)[0]
    if kind in (ACK, DEAD):
        return kind, (seq,)
    if kind == REQUEUE:
        if n < 13:
            return None, "short u32 field"
        return kind, (seq, struct.unpack_from("<I", payload, 9)[0])
    if n < 17:
        return None, "short u64 field"
    if n < 21:
        return None, "short u32 field"
    second, third = struct.unpack_from("<QI", payload, 9)
    if kind == LEASE:
        return kind, (seq, second, third)
    if n - 21 < third:
        return None, "short body"
    return kind, (seq, second, payload[21:21 + third])


def scan(data):
    """Reads frames from offset 16 up to the first damaged one.

    Returns (records, end, damage): records as (offset, kind, fields), end the
    offset of the first damaged frame (or of the end of the data), damage None
    or (warning word, text)."""
    records, off = [], 16
    while off < len(data):
        if len(data) - off < 12:
            return records, off, ("corrupt", "truncated record header")
        magic, n, crc = struct.unpack_from("<4sII", data, off)
        if magic != b"FWR1":
            return records, off, ("corrupt", "bad record magic")
        if n > MAX_RECORD_LEN:
            return records, off, ("corrupt", f"record length {n} exceeds max {MAX_RECORD_LEN}")
        payload = data[off + 12:off + 12 + n]
        if len(payload) < n:
            return records, off, ("corrupt", "truncated record payload")
        if zlib.crc32(payload) != crc:
            return records, off, ("corrupt", "record CRC mismatch (silent corruption)")
        kind, fields = decode(payload)
        if kind is None:
            return records, off, ("undecodable", fields)
        records.append((off, kind, fields))
        off += 12 + n
    return records, off, None


class Model:
    """What applying the records in order leaves in a queue's index."""

    def __init__(self, records):
        self.messages = {}  # seq -> [ts, body, deliveries, in_flight]
        self.counts = dict.fromkeys(("enqueued", "acked", "requeued", "dead"), 0)
        self.next_seq = self.live_bytes = 0
        for _, kind, fields in records:
            self.apply(kind, fields)

    def apply(self, kind, fields):
        seq = fields[0]
        entry = self.messages.get(seq)
        if kind == ENQ:
            self.next_seq = max(self.next_seq, seq + 1)
            self.live_bytes += len(fields[2]) + 33
            self.messages[seq] = [fields[1], fields[2], 0, False]
            self.counts["enqueued"] += 1
        elif entry is None:
            return
        elif kind in (ACK, DEAD):
            del self.messages[seq]
            self.live_bytes = max(0, self.live_bytes - len(entry[1]) - 33)
            self.counts["acked" if kind == ACK else "dead"] += 1
        elif kind == LEASE:
            entry[2:] = [fields[2], True]
        else:
            entry[2:] = [fields[1], False]
            self.counts["requeued"] += 1

    def stats(self, log_bytes, generation):
        in_flight = sum(1 for e in self.messages.values() if e[3])
        return {"ready": len(self.messages) - in_flight, "in_flight": in_flight,
                "total": len(self.messages), "enqueued_total": self.counts["enqueued"],
                "acked_total": self.counts["acked"],
                "requeued_total": self.counts["requeued"],
                "dead_total": self.counts["dead"], "next_seq": self.next_seq,
                "live_bytes": self.live_bytes, "log_bytes": log_bytes,
                "generation": generation, "persistent": True}

    def ready_messages(self):
        """What dequeue_batch hands out next: (seq, body hex, deliveries, ts)."""
        return [[seq, e[1].hex(), e[2] + 1, e[0]]
                for seq, e in sorted(self.messages.items()) if not e[3]]


# -- the variants ---------------------------------------------------------------

def variants(sweep, data, start):
    """(label, bytes) of every variant of a sweep; bytes before `start` are intact."""
    if sweep.endswith("cut"):
        for at in range(start, len(data) + 1):
            yield f"cut at {at}", data[:at]
    else:
        for at in range(start, len(data)):
            for bit in range(8):
                flipped = bytearray(data)
                flipped[at] ^= 1 << bit
                yield f"bit {bit} of byte {at} flipped", bytes(flipped)


def digest(data):
    return hashlib.sha1(data).hexdigest()


# -- the child that runs a sweep ------------------------------------------------

def child_main(sweep, workdir, base_path, start):
    """Runs every variant of `sweep` and prints one JSON line per variant."""
    import faulthandler

    with open(base_path, "rb") as f:
        data = f.read()
    qdir = os.path.join(workdir, "q")
    log = os.path.join(qdir, "queue.log")
    os.makedirs(qdir)
    # The engine writes its warnings straight to descriptor 2; point that at a
    # file read back after each variant, and keep the real stderr for crashes.
    real_stderr = os.dup(2)
    capture = os.open(os.path.join(workdir, "stderr"), os.O_RDWR | os.O_CREAT | os.O_TRUNC)
    os.dup2(capture, 2)
    sys.stderr = os.fdopen(real_stderr, "w")
    faulthandler.enable(sys.stderr)

    def warnings():
        text = os.pread(2, 1 << 16, 0).decode()
        os.ftruncate(2, 0)
        os.lseek(2, 0, os.SEEK_SET)
        return text

    def file_bytes():
        with open(log, "rb") as f:
            return f.read()

    def ready_messages(q):
        return [[m[0], m[1].hex(), m[2], m[3]]
                for m in q.dequeue_batch(1000, lease_ms=LONG_LEASE)]

    for label, variant in variants(sweep, data, start):
        out = {"variant": label}
        if sweep.startswith("open"):
            with open(log, "wb") as f:
                f.write(variant)
            try:
                q = ferrow.FerrowCore(qdir)
            except OSError as e:
                q = None
                out["error"] = str(e)
            out["warnings"] = warnings()
            after = file_bytes()
            out["log"] = [len(after), digest(after)]
            if q is not None:
                out["stats"] = q.stats()
                out["messages"] = ready_messages(q)
        else:
            with open(log, "wb") as f:
                f.write(variant[:start])
            q = ferrow.FerrowCore(qdir)
            out["opening_warnings"] = warnings()
            # Another process appended the tail, and it was damaged on the way.
            with open(log, "r+b") as f:
                f.seek(start)
                f.write(variant[start:])
                f.truncate()
            out["stats"] = q.stats()
            out["warnings"] = warnings()
            after = file_bytes()
            out["log"] = [len(after), digest(after)]
            # The cut leaves a clean tail: looking again finds nothing new.
            out["stats_again"] = q.stats()
            out["warnings_again"] = warnings()
            out["messages"] = ready_messages(q)
        del q
        print(json.dumps(out), flush=True)


# -- the tests ------------------------------------------------------------------

@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """A log written by the engine holding frames of every kind; returns the bytes
    and the offset of its first Lease frame (where the catch-up tail begins)."""
    qdir = str(tmp_path_factory.mktemp("sample") / "q")
    q = ferrow.FerrowCore(qdir)
    assert q.enqueue_batch([b"alpha", b"", b"b", b"hello world", b""]) == [0, 1, 2, 3, 4]
    assert [m[0] for m in q.dequeue_batch(3, lease_ms=LONG_LEASE)] == [0, 1, 2]
    assert q.ack(0) and q.nack(1) and q.nack(2, requeue=False)
    assert q.enqueue(b"zz") == 5
    assert q.dequeue(lease_ms=LONG_LEASE)[0] == 1
    assert q.extend_lease(1, lease_ms=LONG_LEASE)
    assert q.nack(3)  # a Requeue of a message that is ready
    assert q.ack(4)
    del q
    with open(os.path.join(qdir, "queue.log"), "rb") as f:
        data = f.read()
    records, end, damage = scan(data)
    assert (end, damage) == (len(data), None)
    assert {kind for _, kind, _ in records} == {ENQ, ACK, LEASE, REQUEUE, DEAD}
    assert 300 <= len(data) <= 600
    first_lease = next(off for off, kind, _ in records if kind == LEASE)
    return data, first_lease


def run_sweep(tmp_path, sweep, data, start):
    """Runs a sweep in a child; returns [(label, variant bytes, observations)]."""
    base = tmp_path / "base.log"
    base.write_bytes(data)
    # Each variant syncs the log a few times: in memory where possible, so that
    # the sweep costs the same on a busy disk.
    memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="ferrow-damage-", dir=memory or tmp_path) as work:
        run = subprocess.run(
            [sys.executable, os.path.abspath(__file__), sweep, work, str(base), str(start)],
            capture_output=True, text=True, timeout=SWEEP_TIMEOUT_S, env=CHILD_ENV)
    results = [json.loads(line) for line in run.stdout.splitlines()]
    todo = list(variants(sweep, data, start))
    if run.returncode != 0 or len(results) != len(todo):
        where = todo[len(results)][0] if len(results) < len(todo) else "after the last variant"
        pytest.fail(f"{sweep} child exited with {run.returncode} at variant '{where}' "
                    f"({len(results)} of {len(todo)} done):\n{run.stderr[-4000:]}")
    assert [r["variant"] for r in results] == [label for label, _ in todo]
    return [(label, variant, r) for (label, variant), r in zip(todo, results)]


def compare(failures, label, expected, observed):
    """Notes each observation of a variant that differs from what was expected."""
    for key in expected:
        if observed.get(key) != expected[key]:
            failures.append(f"{label}: {key} is {observed.get(key)!r:.300}, "
                            f"expected {expected[key]!r:.300}")


def report(failures, total):
    shown = "\n".join(failures[:15])
    assert not failures, f"{len(failures)} wrong observations in {total} variants:\n{shown}"


def expect_open(variant):
    """What opening `variant` must give: error, warnings, log after, stats, messages."""
    if len(variant) < 16:
        # Cut inside the header: silently started afresh.
        return None, "", FRESH_HEADER, Model([]).stats(16, 0), []
    if variant[:4] != b"FWFL":
        return BAD_MAGIC, "", variant, None, None
    records, end, damage = scan(variant)
    warning = "" if damage is None else (
        f"Ferrow: truncating {damage[0]} log tail at byte {end} ({damage[1]})\n")
    model = Model(records)
    generation = struct.unpack_from("<Q", variant, 8)[0]
    return None, warning, variant[:end], model.stats(end, generation), model.ready_messages()


@pytest.mark.parametrize("sweep", ["open-cut", "open-flip"])
def test_opening_a_damaged_log(tmp_path, sample, sweep):
    data, _ = sample
    results = run_sweep(tmp_path, sweep, data, 0)
    failures = []
    for label, variant, got in results:
        error, warning, log, stats, messages = expect_open(variant)
        expected = {"error": error, "warnings": warning, "log": [len(log), digest(log)],
                    "stats": stats, "messages": messages}
        compare(failures, label, expected, got)
    report(failures, len(results))
    # The sweep reached the outcomes it is meant to reach.
    damage = {scan(v)[2] for _, v, r in results if "stats" in r and len(v) >= 16}
    texts = {d and d[1] for d in damage}
    if sweep == "open-cut":
        assert texts == {None, "truncated record header", "truncated record payload"}
    else:
        assert {None, "bad record magic", "truncated record payload",
                "record CRC mismatch (silent corruption)",
                f"record length {0x80000000 + 9} exceeds max {MAX_RECORD_LEN}"} <= texts
        # Header flips: 32 in the magic refuse the file, 64 in the generation
        # give 64 new generations, 32 in the format version change nothing.
        generations = {r["stats"]["generation"] for _, v, r in results if "stats" in r}
        assert len(generations) == 1 + 64
        assert sum(r.get("error") == BAD_MAGIC for _, _, r in results) == 32


@pytest.mark.parametrize("sweep", ["catch-up-cut", "catch-up-flip"])
def test_catching_up_over_a_damaged_tail(tmp_path, sample, sweep):
    data, start = sample
    results = run_sweep(tmp_path, sweep, data, start)
    failures = []
    cuts = 0
    for label, variant, got in results:
        records, end, damage = scan(variant)
        assert end >= start  # the intact prefix is never the damaged part
        model = Model(records)
        stats = model.stats(end, struct.unpack_from("<Q", data, 8)[0])
        warning = "" if damage is None else f"Ferrow: truncated corrupt log tail at byte {end}\n"
        cuts += damage is not None
        expected = {"opening_warnings": "", "warnings": warning,
                    "log": [end, digest(variant[:end])], "stats": stats,
                    "warnings_again": "", "stats_again": stats,
                    "messages": model.ready_messages()}
        compare(failures, label, expected, got)
    report(failures, len(results))
    if sweep == "catch-up-flip":
        assert cuts == len(results)  # no single flipped bit goes unnoticed
    else:
        assert 0 < cuts < len(results)


if __name__ == "__main__":
    child_main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]))
    sys.exit(0)
