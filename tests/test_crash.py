"""Processes killed with SIGKILL: at random moments while they enqueue or
consume, and at each file step of compaction and purge. Whatever a killed
process reported as done must be in the log afterwards, whatever it had not
finished must be either fully there or not at all, and every other process
must carry on.

The number of random kills comes from FERROW_KILLS (20 by default, shared by
the three random tests). The seed comes from FERROW_CRASH_SEED, or is drawn
and printed in the summary line at the end of the module; the same summary is
written to crash.json in FERROW_RELIABILITY_DIR when that is set."""
import ast
import hashlib
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest

import ferrow
from conftest import report_summary
from logcodec import ACK, ENQ, parse_log

CHILD_TIMEOUT_S = 60
LONG_LEASE = 7 * 24 * 3600 * 1000  # outlives any run: such a lease never lapses by itself
KILLS = max(int(os.environ.get("FERROW_KILLS") or 20), 3)
SEED = int(os.environ.get("FERROW_CRASH_SEED") or random.SystemRandom().randrange(2**31))
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)),
                os.environ.get("PYTHONPATH")) if p))
SHIM = os.environ.get("FERROW_FAULT_SHIM")

# What was killed and checked, for the summary; `lost` counts every broken
# promise found (a reported message or lease missing, an ack undone), and is
# counted before the assertion that fails on it.
COUNTS = dict(kills=0, records_checked=0, lost=0, kills_inside_a_call=0, torn_tails_cut=0,
              step_kills=0, generations_seen=0, kills_inside_a_compaction=0)


@pytest.fixture(scope="module", autouse=True)
def crash_summary(request):
    yield
    report_summary(request, "crash", dict(COUNTS, seed=SEED, kills_requested=KILLS))


@pytest.fixture(autouse=True)
def reap_children():
    """No child outlives its test, even one that failed half-way."""
    yield
    while Child.started:
        proc = Child.started.pop()
        if proc.poll() is None:
            proc.kill()
        proc.communicate(timeout=CHILD_TIMEOUT_S)


def kills_for(share):
    return max(1, round(KILLS * share))


def digest(body):
    return "%d:%s" % (len(body), hashlib.sha256(body).hexdigest())


def note_lock_left(qdir):
    """A process killed inside a call leaves its token in the lock word. It
    is left there: the next call of any process must find the holder dead and
    take the word over (a wedge would time that call out). Returns whether
    the word was taken."""
    with open(os.path.join(qdir, ".proc_lock"), "rb") as f:
        held = f.read(8) != bytes(8)
    COUNTS["kills_inside_a_call"] += held
    return held


def reopen_checked(qdir, capfd):
    """Opens the queue as the next process would, and checks the whole log:
    after the open cut a torn tail, every byte belongs to a valid record."""
    capfd.readouterr()
    q = ferrow.FerrowCore(qdir)
    COUNTS["torn_tails_cut"] += "log tail at byte" in capfd.readouterr().err
    report = q.verify_integrity()
    assert report["ok"] is True, report
    assert report["bytes"] == os.path.getsize(os.path.join(qdir, "queue.log")), report
    return q


def snapshot(qdir, scratch, candidates=()):
    """Every message of the log in qdir as {seq: (digest, deliveries, in_flight)},
    read through a copy so that the queue itself is left as it is. Leases of
    `candidates` are cut short to tell which messages are in flight; then all
    messages are leased once more, which also proves that each one can be
    delivered (the reported deliveries are those recorded before that)."""
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    shutil.copyfile(os.path.join(qdir, "queue.log"), os.path.join(scratch, "queue.log"))
    q = ferrow.FerrowCore(scratch, sync_interval_ms=CHILD_TIMEOUT_S * 1000)  # a throwaway copy
    leased = q.in_flight()
    in_flight = {seq for seq in candidates if q.extend_lease(seq, lease_ms=0)}
    assert len(in_flight) == leased, "messages in flight that nobody leased"
    total = q.stats()["total"]  # reclaims the leases just cut short
    messages = q.dequeue_batch(total) if total else []
    assert len(messages) == total, (len(messages), total)
    return {seq: (digest(body), deliveries - 1, seq in in_flight)
            for seq, body, deliveries, _ in messages}


class Child:
    """A child interpreter running `script`. Its output is read while it runs,
    so that a full pipe never stalls it somewhere the test did not choose."""
    started = []

    def __init__(self, script, *args, env=CHILD_ENV):
        self.proc = subprocess.Popen([sys.executable, "-c", script, *map(str, args)], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        Child.started.append(self.proc)
        self.out, self.err = b"", b""
        self._open = [self.proc.stdout.fileno(), self.proc.stderr.fileno()]

    def _read(self, until):
        """Reads until the monotonic time `until` or the end of the output."""
        while self._open:
            left = until - time.monotonic()
            if left <= 0:
                return
            for fd in select.select(self._open, [], [], left)[0]:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    self._open.remove(fd)
                elif fd == self.proc.stdout.fileno():
                    self.out += chunk
                else:
                    self.err += chunk

    def wait_ready(self):
        deadline = time.monotonic() + CHILD_TIMEOUT_S
        while b"ready\n" not in self.out:
            assert self._open and time.monotonic() < deadline, self.err.decode()
            self._read(min(deadline, time.monotonic() + 0.01))

    def run_for(self, seconds):
        self._read(time.monotonic() + seconds)
        assert self.proc.poll() is None, f"child ended by itself: {self.err.decode()}"

    def kill(self):
        """SIGKILLs the child and returns the complete lines it wrote after
        'ready' (a line cut by the kill was never reported)."""
        os.kill(self.proc.pid, signal.SIGKILL)
        self._read(time.monotonic() + CHILD_TIMEOUT_S)
        assert self.proc.wait(timeout=CHILD_TIMEOUT_S) == -signal.SIGKILL, self.err.decode()
        COUNTS["kills"] += 1
        done = self.out[:self.out.rfind(b"\n") + 1].decode()
        return done.split("ready\n", 1)[1].splitlines()


# -- enqueues survive --------------------------------------------------------

PRODUCER = r'''
import hashlib, random, sys, ferrow
q = ferrow.FerrowCore(sys.argv[1])
rng = random.Random(int(sys.argv[2]))

def body(i):
    # Mostly small, sometimes large enough that a kill can tear its write.
    n = rng.choice((0, 1, 10, 100, 1000, 4096)) if rng.random() > 0.03 \
        else rng.randrange(100_000, 400_000)
    return b"%s:%d:" % (sys.argv[2].encode(), i) + \
        (rng.getrandbits(8 * n).to_bytes(n, "little") if n else b"")

print("ready", flush=True)
i = 0
while True:
    bodies = [body(i + j) for j in range(rng.randint(2, 6) if rng.random() < 0.1 else 1)]
    seqs = q.enqueue_batch(bodies) if len(bodies) > 1 else [q.enqueue(bodies[0])]
    for seq, b in zip(seqs, bodies):
        print(seq, "%d:%s" % (len(b), hashlib.sha256(b).hexdigest()), flush=True)
    i += len(bodies)
'''


def test_no_reported_enqueue_is_lost(tmp_path, capfd):
    """A producer is killed again and again on the same directory, so that
    each round builds on a log cut by the kills before it."""
    rng = random.Random(SEED)
    qdir, scratch = str(tmp_path / "q"), str(tmp_path / "copy")
    ferrow.FerrowCore(qdir)
    reported = {}     # seq -> digest of every id a producer was given back
    unreported = set()  # enqueued by a producer killed before it could say so
    rounds = []       # the seqs of each round, the oldest acknowledged later
    next_seq = 0
    for r in range(kills_for(0.4)):
        where = f"(seed {SEED}, round {r})"
        start = next_seq
        child = Child(PRODUCER, qdir, rng.randrange(2**31))
        child.wait_ready()
        child.run_for(rng.uniform(0, 0.25))
        lines = [line.split() for line in child.kill()]
        ids = [int(seq) for seq, _ in lines]
        # Ids only grow: within a round, and past everything in the log
        # when the round began (so no id is handed out twice).
        assert ids == sorted(set(ids)) and all(seq >= next_seq for seq in ids), where
        assert not reported.keys() & set(ids), where
        reported.update((int(seq), body) for seq, body in lines)
        note_lock_left(qdir)

        q = reopen_checked(qdir, capfd)
        present = {seq: body for seq, (body, _, _) in snapshot(qdir, scratch).items()}
        # What the producer had not reported yet may or may not be there, but
        # only after everything it did report.
        new = present.keys() - reported.keys() - unreported
        assert all(seq >= start and seq > max(ids, default=-1) for seq in new), (new, where)
        unreported |= new
        rounds.append(set(ids) | new)
        expected = {seq for rnd in rounds for seq in rnd}
        lost = [seq for seq in expected - unreported if present.get(seq) != reported[seq]]
        COUNTS["records_checked"] += len(expected)
        COUNTS["lost"] += len(lost)
        assert not lost, (f"reported enqueues lost or changed: {lost[:20]}", where)
        assert present.keys() == expected, where
        next_seq = q.stats()["next_seq"]
        assert next_seq > max(ids, default=-1), where

        # Keep the last rounds in the queue, so that later kills can damage
        # them; acknowledge older ones and compact now and then, so that
        # later rounds also build on rewritten logs.
        if len(rounds) > 3:
            old = sorted(rounds.pop(0))
            assert q.ack_batch(old) == len(old)
        if r % 4 == 3:
            q.compact()
        del q


# -- consumer operations survive ---------------------------------------------

CONSUMER = r'''
import hashlib, json, random, sys, ferrow
q = ferrow.FerrowCore(sys.argv[1], auto_compact_bytes=int(sys.argv[3]))
rng = random.Random(int(sys.argv[2]))
held = json.loads(sys.argv[4])  # leased by earlier rounds and still in flight
LONG = int(sys.argv[5])

def say(kind, value):
    print(kind, json.dumps(value), flush=True)

def lease_ms():
    return LONG if rng.random() < 0.85 else rng.choice((1, 10, 50))

def digest(body):
    return "%d:%s" % (len(body), hashlib.sha256(body).hexdigest())

print("ready", flush=True)
while True:
    r = rng.random()
    if r < 0.05:
        say("?", dict(op="compact"))
        say("=", q.compact())
        continue
    if r < 0.2:
        # A consumer that also produces keeps the queue from running dry.
        body = b"c" + bytes(rng.randrange(40))
        say("?", dict(op="enqueue", body=digest(body)))
        say("=", q.enqueue(body))
        continue
    if not held or r < 0.55:
        op = dict(op="dequeue", n=rng.choice((1, 1, 1, 4)), ms=lease_ms())
        say("?", op)
        got = q.dequeue_batch(op["n"], lease_ms=op["ms"]) if op["n"] > 1 else \
            [m for m in [q.dequeue(lease_ms=op["ms"])] if m]
        say("=", [[seq, d, digest(b)] for seq, b, d, _ in got])
        held += [m[0] for m in got if m[0] not in held]
        continue
    seq = rng.choice(held)
    kind = rng.choice(("ack", "ack", "nack", "drop", "extend", "ack_batch"))
    if kind == "ack_batch":
        seqs = rng.sample(held, min(len(held), rng.randint(1, 5)))
        say("?", dict(op=kind, seqs=seqs))
        say("=", q.ack_batch(seqs))
        held = [s for s in held if s not in seqs]
        continue
    op = dict(op=kind, seq=seq, ms=lease_ms())
    say("?", op)
    result = {"ack": lambda: q.ack(seq), "nack": lambda: q.nack(seq),
              "drop": lambda: q.nack(seq, requeue=False),
              "extend": lambda: q.extend_lease(seq, lease_ms=op["ms"])}[kind]()
    say("=", result)
    if kind != "extend" or not result:
        held.remove(seq)
'''

READY, LONG, SHORT, GONE = "ready", "long", "short", "gone"  # standing in the model


def lease_kind(ms):
    return LONG if ms == LONG_LEASE else SHORT


def matches(got, body, deliveries, standing):
    """Whether a snapshot entry (or None: absent) fits a model state."""
    if standing == GONE or got is None:
        return standing == GONE and got is None
    return got[:2] == (body, deliveries) and (standing == SHORT or got[2] == (standing == LONG))


class ConsumerModel:
    """What the log must say about each message after the reported
    operations: (digest, deliveries, standing). A SHORT lease may have lapsed
    and been reclaimed by the consumer's next dequeue, so it may read as
    ready; a LONG one never lapses during the test."""

    def __init__(self):
        self.msgs = {}

    def add(self, seqs, bodies):
        assert seqs[0] > max(self.msgs, default=-1), "an id was handed out twice"
        for seq, body in zip(seqs, bodies):
            self.msgs[seq] = [digest(body), 0, READY]

    def held(self):
        return sorted(s for s, m in self.msgs.items() if m[2] in (LONG, SHORT))

    def ready(self):
        return sum(m[2] in (READY, SHORT) for m in self.msgs.values())

    def apply(self, op, result, where):
        kind = op["op"]
        if kind == "compact":
            return
        if kind == "enqueue":
            assert result > max(self.msgs, default=-1), (op, result, where)  # ids only grow
            self.msgs[result] = [op["body"], 0, READY]
        elif kind == "dequeue":
            for seq, deliveries, body in result:
                m = self.msgs[seq]
                assert m[2] in (READY, SHORT), (op, seq, m, where)
                assert (body, deliveries) == (m[0], m[1] + 1), (op, seq, m, where)
                m[1:] = [deliveries, lease_kind(op["ms"])]
        elif kind == "ack_batch":
            present = {s for s in op["seqs"] if self.msgs[s][2] != GONE}
            assert result == len(present), (op, result, where)
            for s in op["seqs"]:
                self.msgs[s][2] = GONE
        else:
            m = self.msgs[op["seq"]]
            if kind == "extend" and not result:
                # Only a lease that lapsed and was reclaimed can refuse.
                assert m[2] in (SHORT, GONE), (op, m, where)
                m[2] = READY if m[2] == SHORT else GONE
                return
            assert result is (m[2] != GONE), (op, result, m, where)
            if result:
                m[2] = {"ack": GONE, "drop": GONE, "nack": READY,
                        "extend": lease_kind(op.get("ms"))}[kind]

    def check(self, seen, pending, where):
        """Compares a snapshot with the model; `pending` is the operation the
        consumer had announced but not reported, which may or may not have
        happened. Returns the broken promises; adopts what was seen."""
        broken = []
        for seq, m in self.msgs.items():
            body, deliveries, standing = m
            allowed = [(deliveries, standing)]
            if pending:
                kind = pending["op"]
                if kind == "dequeue" and standing in (READY, SHORT):
                    allowed.append((deliveries + 1, lease_kind(pending["ms"])))
                elif kind in ("ack", "drop") and pending["seq"] == seq or \
                        kind == "ack_batch" and seq in pending["seqs"]:
                    allowed.append((deliveries, GONE))
                elif kind == "nack" and pending["seq"] == seq and standing != GONE:
                    allowed.append((deliveries, READY))
                elif kind == "extend" and pending["seq"] == seq and standing in (LONG, SHORT):
                    allowed.append((deliveries, lease_kind(pending["ms"])))
            got = seen.get(seq)
            fits = [(d, st) for d, st in allowed if matches(got, body, d, st)]
            if not fits:
                broken.append((seq, m, got))
                continue
            # When both fit, a short lease is the safer guess: it may lapse.
            d, st = min(fits, key=lambda fit: fit[1] != SHORT)
            m[1:] = [d, READY if st == SHORT and not got[2] else st]
        phantoms = sorted(seen.keys() - self.msgs.keys())
        if pending and pending["op"] == "enqueue" and len(phantoms) == 1 and \
                seen[phantoms[0]] == (pending["body"], 0, False) and phantoms[0] > max(self.msgs):
            self.msgs[phantoms.pop()] = [pending["body"], 0, READY]
        assert not phantoms, (f"messages nobody enqueued: {phantoms}", where)
        return broken


def test_no_reported_consumer_operation_is_lost(tmp_path, capfd):
    """A consumer leases, acks, nacks, drops and extends until it is killed;
    with automatic compaction set low, some kills land inside a rewrite."""
    rng = random.Random(SEED + 1)
    qdir, scratch = str(tmp_path / "q"), str(tmp_path / "copy")
    model = ConsumerModel()
    generation = 0
    for r in range(kills_for(0.4)):
        where = f"(seed {SEED}, round {r})"
        q = ferrow.FerrowCore(qdir)
        if model.ready() < 50:
            bodies = [b"m%d-" % r + bytes(rng.randrange(40)) for _ in range(200)]
            model.add(q.enqueue_batch(bodies), bodies)
        del q
        # Compacting after (almost) every removal, or now and then.
        auto_compact = rng.choice((1, 64 << 10))
        child = Child(CONSUMER, qdir, rng.randrange(2**31), auto_compact,
                      json.dumps(model.held()), LONG_LEASE)
        child.wait_ready()
        child.run_for(rng.uniform(0, 0.25))
        pending = None
        for line in child.kill():
            kind, value = line[0], json.loads(line[2:])
            if kind == "?":
                pending = value
            else:
                model.apply(pending, value, where)
                pending = None
        note_lock_left(qdir)
        # A temporary file left behind: the kill interrupted a compaction.
        COUNTS["kills_inside_a_compaction"] += os.path.exists(qdir + "/queue.compact.tmp")

        q = reopen_checked(qdir, capfd)
        stats = q.stats()
        COUNTS["generations_seen"] += stats["generation"] - generation
        generation = stats["generation"]
        seen = snapshot(qdir, scratch, [s for s, m in model.msgs.items() if m[2] != GONE])
        broken = model.check(seen, pending, where)
        COUNTS["records_checked"] += len(model.msgs)
        COUNTS["lost"] += len(broken)
        assert not broken, (f"(seq, expected, seen) after {pending}: {broken[:10]}", where)
        del q


# -- unacknowledged messages come back ----------------------------------------

LEASER = r'''
import sys, time, ferrow
q = ferrow.FerrowCore(sys.argv[1])
lease_ms = int(sys.argv[2])
print("ready", flush=True)
while True:
    before = time.time_ns() // 1_000_000
    m = q.dequeue(lease_ms=lease_ms)
    if m is None:
        time.sleep(0.001)
    else:
        print(m[0], m[2], before, flush=True)
'''

# A participant that stays open across the kills of others: evaluates one
# expression per line of stdin, answers with the repr of ("ok", value) or
# ("raised", type, text).
DRIVER = r'''
import sys, time, ferrow
q = None

def open_queue(path):
    global q
    q = ferrow.FerrowCore(path)
    return q.stats()

def collect(n, timeout_s):
    """Dequeues until n messages came, noting the time each call returned."""
    got = {}
    deadline = time.monotonic() + timeout_s
    while len(got) < n and time.monotonic() < deadline:
        batch = q.dequeue_batch(n, lease_ms=600000)
        returned = time.time_ns() // 1_000_000
        got.update((seq, (body, d, returned)) for seq, body, d, _ in batch)
        time.sleep(0.005)
    return got

for line in sys.stdin:
    try:
        out = ("ok", eval(line, globals()))
    except Exception as exc:
        out = ("raised", type(exc).__name__, str(exc))
    print(repr(out), flush=True)
'''


@pytest.fixture
def participant():
    proc = subprocess.Popen([sys.executable, "-c", DRIVER], env=CHILD_ENV, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def call(expr):
        proc.stdin.write(expr.encode() + b"\n")
        proc.stdin.flush()
        ready = select.select([proc.stdout], [], [], CHILD_TIMEOUT_S)[0]
        assert ready, f"participant did not answer {expr!r} in time"
        line = proc.stdout.readline()
        assert line, f"participant died: {proc.stderr.read().decode()}"
        out = ast.literal_eval(line.decode())
        assert out[0] == "ok", (expr, out)
        return out[1]

    yield call
    try:
        proc.communicate(timeout=CHILD_TIMEOUT_S)  # closing stdin ends it
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()


def test_leases_of_a_killed_consumer_are_delivered_again(tmp_path, participant):
    lease_ms = 200
    rng = random.Random(SEED + 2)
    qdir = str(tmp_path / "q")
    participant(f"open_queue({qdir!r})")
    q = ferrow.FerrowCore(qdir)
    for r in range(kills_for(0.2)):
        where = f"(seed {SEED}, round {r})"
        seqs = q.enqueue_batch([b"job %d.%d" % (r, i) for i in range(50)])
        child = Child(LEASER, qdir, lease_ms)
        child.wait_ready()
        child.run_for(rng.uniform(0, 0.08))
        # The last lease reported for each message (it may have leased one
        # again if its own lease lapsed before the kill).
        leased = {int(seq): (int(d), int(before))
                  for seq, d, before in map(str.split, child.kill())}
        note_lock_left(qdir)

        got = participant(f"collect({len(seqs)}, {CHILD_TIMEOUT_S // 2})")
        missing = set(seqs) - got.keys()
        COUNTS["records_checked"] += len(seqs)
        COUNTS["lost"] += len(missing)
        assert not missing, (f"never delivered again: {sorted(missing)}", where)
        for seq, (d, before) in leased.items():
            # Not handed out again while the killed consumer's lease still ran.
            assert got[seq][2] >= before + lease_ms, (seq, before, got[seq], where)
        # Every reported lease counted; the lease the consumer was taking when
        # it died may be counted too, but only that one.
        counted = {seq: got[seq][1] - leased.get(seq, (0,))[0] for seq in seqs}
        extra = [seq for seq, n in counted.items() if n != 1]
        assert len(extra) <= 1 and all(counted[seq] == 2 for seq in extra), (extra, where)
        assert q.ack_batch(seqs) == len(seqs)
    assert participant("q.stats()['total']") == 0


# -- compaction and purge are atomic ------------------------------------------

STEP_CHILD = r'''
import ctypes, os, sys, ferrow
shim = ctypes.CDLL(os.environ["FERROW_FAULT_SHIM"])
for name in ("ferrow_fault_kill_at", "ferrow_fault_kill_after"):
    getattr(shim, name).argtypes = (ctypes.c_char_p, ctypes.c_int)
q = ferrow.FerrowCore(sys.argv[1])
arm = shim.ferrow_fault_kill_at if sys.argv[3] == "before" else shim.ferrow_fault_kill_after
assert arm(b"any", int(sys.argv[2])) == 0
getattr(q, sys.argv[4])()
shim.ferrow_fault_disarm_all()
print("done", flush=True)
'''

BIG = bytes(range(256)) * 400  # spans several staging writes



def without_trace_time(records):
    """The id trace that compaction writes for gone messages carries the time
    of the compaction; everything else must match byte for byte."""
    return [(k, (f[0], None, f[2]) if k == ENQ and (ACK, (f[0],)) in records else f)
            for k, f in records]


def make_template(qdir):
    q = ferrow.FerrowCore(qdir)
    q.enqueue_batch([b"acked", BIG, b"leased", b"nacked", b"dropped", b"ready", b"newest"])
    assert [m[0] for m in q.dequeue_batch(4, lease_ms=LONG_LEASE)] == [0, 1, 2, 3]
    assert q.ack(0) and q.nack(1) and q.nack(3)
    assert q.dequeue(lease_ms=LONG_LEASE)[:3] == (1, BIG, 2) and q.nack(1)
    assert q.nack(4, requeue=False) and q.ack(6)
    # Left: 1 ready (2 deliveries), 2 in flight, 3 ready (1), 5 ready (0).


OLD_VIEW = dict(ready=3, in_flight=1, total=4, next_seq=7, generation=0)
COMPACTED_VIEW = dict(OLD_VIEW, generation=1)
PURGED_VIEW = dict(ready=0, in_flight=0, total=0, next_seq=0, generation=1)
OLD_READY = [(1, BIG, 3), (3, b"nacked", 2), (5, b"ready", 1)]


def step_label(line, qdir):
    """'before rename queue.compact.tmp -> queue.log' from the shim's line."""
    when, call, *paths = line.split(" SIGKILL ", 1)[1].split()
    names = [p if p == "->" else "<dir>" if os.path.realpath(p) == os.path.realpath(qdir)
             else os.path.basename(p) for p in paths]
    return " ".join([when, call] + names)


needs_shim = pytest.mark.skipif(not SHIM, reason="FERROW_FAULT_SHIM is not set "
                                "(`make test` builds the fault shim and sets it)")


@needs_shim
@pytest.mark.parametrize("when, left", [("before", b"a"), ("after", b"ab")])
def test_shim_kills_before_or_after_the_chosen_call(tmp_path, when, left):
    path = str(tmp_path / "file")
    arm = "ferrow_fault_kill_at" if when == "before" else "ferrow_fault_kill_after"
    script = (f"import ctypes, os\n"
              f"shim = ctypes.CDLL(os.environ['FERROW_FAULT_SHIM'])\n"
              f"fd = os.open({path!r}, os.O_WRONLY | os.O_CREAT, 0o644)\n"
              f"assert shim.{arm}(b'write', 1) == 0\n"
              f"for byte in (b'a', b'b', b'c'):\n"
              f"    os.write(fd, byte)\n")
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           env=dict(CHILD_ENV, LD_PRELOAD=SHIM, FERROW_FAULT_SHIM=SHIM),
                           timeout=CHILD_TIMEOUT_S)
    assert child.returncode == -signal.SIGKILL, child.stderr
    assert child.stderr == f"ferrow_fault_shim: SIGKILL {when} write {os.path.realpath(path)}\n"
    with open(path, "rb") as f:
        assert f.read() == left


@needs_shim
@pytest.mark.parametrize("op", ["compact", "purge"])
def test_rewrite_killed_at_every_step_is_all_or_nothing(tmp_path, participant, capfd, op):
    """Kills a process before each file step of a rewrite in turn (and once
    after the last), while a second process has the queue open."""
    tmp_name = f"queue.{op}.tmp"
    template, reference = str(tmp_path / "template"), str(tmp_path / "reference")
    make_template(template)
    with open(os.path.join(template, "queue.log"), "rb") as f:
        old = f.read()
    shutil.copytree(template, reference)
    getattr(ferrow.FerrowCore(reference), op)()
    with open(os.path.join(reference, "queue.log"), "rb") as f:
        new_generation, new_records = parse_log(f.read())
    assert new_generation == 1
    env = dict(CHILD_ENV, LD_PRELOAD=SHIM, FERROW_FAULT_SHIM=SHIM)

    outcomes = []  # (step, "old" or "new"), in the order of the steps
    # Dies before each step in turn until the call gets through; then once
    # after the final step, before the call returns.
    k, when = 0, "before"
    while when:
        assert k < 100, "the call never got through"
        qdir = str(tmp_path / f"{when}{k}")
        shutil.copytree(template, qdir)
        # A second process has the queue open, and knows its content, before.
        assert participant(f"open_queue({qdir!r})")["generation"] == 0
        child = subprocess.run([sys.executable, "-c", STEP_CHILD, qdir, str(k), when, op],
                               env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT_S)
        if child.returncode == 0:
            assert (child.stdout, when) == ("done\n", "before") and k > 0, child.stderr
            k, when = k - 1, "after"
            continue
        assert child.returncode == -signal.SIGKILL, child.stderr
        k, when = (k + 1, "before") if when == "before" else (k, None)
        COUNTS["kills"] += 1
        COUNTS["step_kills"] += 1
        step = step_label(child.stderr.strip().splitlines()[-1], qdir)
        assert note_lock_left(qdir), step  # killed inside the call

        with open(os.path.join(qdir, "queue.log"), "rb") as f:
            now = f.read()
        if now == old:
            outcomes.append((step, "old"))
        else:
            generation, records = parse_log(now)  # no torn or foreign frame
            assert (generation, without_trace_time(records)) == (
                new_generation, without_trace_time(new_records)), step
            outcomes.append((step, "new"))

        # The other process carries on with what is on disk now, old or new:
        # it takes the dead holder's lock over and removes its temporary file.
        view = participant("q.stats()")
        assert not os.path.exists(os.path.join(qdir, tmp_name)), step
        expected = OLD_VIEW if outcomes[-1][1] == "old" else \
            COMPACTED_VIEW if op == "compact" else PURGED_VIEW
        assert {key: view[key] for key in expected} == expected, step
        ready = participant(f"[m[:3] for m in q.dequeue_batch(10, lease_ms={LONG_LEASE})]")
        assert ready == ([] if expected is PURGED_VIEW else OLD_READY), step
        first = participant("q.enqueue(b'after')")
        assert first == expected["next_seq"], step
        COUNTS["records_checked"] += expected["total"] + 1

        # A leftover temporary file disturbs neither an open nor the next
        # rewrite, which takes it over.
        q = reopen_checked(qdir, capfd)
        q.compact()
        assert q.stats()["total"] == expected["total"] + 1, step
        if op == "purge":
            q.purge()
            assert q.stats()["total"] == 0, step
        assert sorted(os.listdir(qdir)) == [".proc_lock", "queue.log"], step
        assert participant(f"q.ack({first})") is (op == "compact"), step
        del q

    steps = [step for step, _ in outcomes]
    kinds = [kind for _, kind in outcomes]
    # Old until the rename, new from the rename on: nothing in between.
    renamed = steps.index(f"before rename {tmp_name} -> queue.log") + 1
    assert kinds == ["old"] * renamed + ["new"] * (len(kinds) - renamed), outcomes
    # The old log is never written in place, the new file is synced before
    # it replaces the old one, and the rename is made durable after.
    assert not any(s.split()[1] in ("write", "ftruncate") and s.endswith(" queue.log")
                   for s in steps), steps
    order = [f"before open {tmp_name}", f"before write {tmp_name}", f"before fsync {tmp_name}",
             f"before rename {tmp_name} -> queue.log", "before open <dir>", "before fsync <dir>"]
    assert not [s for s in order if s not in steps], steps
    positions = [steps.index(s) for s in order]
    assert positions == sorted(positions), steps
    assert f"before write {tmp_name}" not in steps[positions[2]:], steps
