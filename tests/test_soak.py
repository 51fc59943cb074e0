"""A bounded soak: four processes share one queue directory for
FERROW_SOAK_SECONDS (10 by default) and mix every operation but purge:
enqueues and batches, dequeues with short leases (that lapse and come back)
and long ones, acks, ack batches, nacks both ways, lease extensions, counts,
flushes, compactions (explicit and automatic) and integrity checks. Each
process logs what it did: the ids it was given, every ack and drop that
returned True, every ack batch with its count, every delivery.

Afterwards the queue is opened afresh and drained, and the logs are checked
against it: ids are unique across processes; every enqueued id was removed
exactly once (single acks and drops that returned True, plus ack batches whose
counts add up) or is still present; nothing present was never enqueued; every
body delivered or left is the one its producer wrote (a body encodes producer
and index); the counts agree and the log verifies.

This file is also the worker program."""
import collections
import json
import os
import random
import subprocess
import sys
import time

import pytest

import ferrow

SECONDS = float(os.environ.get("FERROW_SOAK_SECONDS", "10"))
PROCESSES = 4
WORKER_GRACE_S = 120  # beyond SECONDS, before a worker counts as hung
LONG_LEASE = 60_000
# Small enough that automatic compaction happens within a short soak.
AUTO_COMPACT_BYTES = 64 * 1024
# Relative frequency of each operation in a worker's loop.
WEIGHTS = {
    "enqueue": 10, "enqueue_batch": 4, "dequeue": 14, "dequeue_batch": 6, "ack": 14,
    "ack_batch": 5, "nack": 5, "extend_lease": 3, "stats": 3, "available": 1, "in_flight": 1,
    "flush": 1, "compact": 0.1, "verify_integrity": 0.3,
}


def make_body(producer, index):
    """Producer and index, then filler derived from both; every 200th body is
    larger than the 8 KiB staging buffer of compaction."""
    size = 9000 if index % 200 == 0 else index % 97
    head = b"%d:%d:" % (producer, index)
    return head + bytes((producer * 31 + index * 7 + k) % 251 for k in range(size))


def parse_body(body):
    """(producer, index) of a body that is exactly what make_body writes, else None."""
    try:
        producer, index, _ = body.split(b":", 2)
        producer, index = int(producer), int(index)
    except ValueError:
        return None
    return (producer, index) if make_body(producer, index) == body else None


# -- the worker -------------------------------------------------------------------

def worker(qdir, me, seconds, out_path):
    rng = random.Random(1000 + me)
    # Half of the workers sync every record, half on a 20 ms interval.
    q = ferrow.FerrowCore(qdir, sync_interval_ms=None if me % 2 == 0 else 20,
                          auto_compact_bytes=AUTO_COMPACT_BYTES)
    log = {"enqueued": [], "acked": [], "dropped": [], "batches": [], "delivered": [],
           "errors": [], "ops": collections.Counter()}
    held = []   # ids this worker leased and has not let go of
    seen = []   # ids this worker has heard of, to ack out of turn now and then
    index = 0

    def bodies(n):
        nonlocal index
        out = []
        for _ in range(n):
            index += 1
            out.append((index, make_body(me, index)))
        return out

    def lease_ms():
        return rng.randint(1, 30) if rng.random() < 0.4 else LONG_LEASE

    def delivered(m):
        seq, body, deliveries, _ = m
        parsed = parse_body(body)
        if parsed is None or deliveries < 1:
            log["errors"].append(f"delivery of {seq}: deliveries {deliveries}, body {body[:40]!r}")
        else:
            log["delivered"].append([seq, parsed[0], parsed[1], deliveries])
        held.append(seq)
        seen.append(seq)

    def some_held():
        if held and rng.random() < 0.9:
            return held.pop(rng.randrange(len(held)))
        return rng.choice(seen) if seen else 0

    names, weights = list(WEIGHTS), list(WEIGHTS.values())
    # Every operation once, in a random order, then at random by weight.
    first_pass = rng.sample(names, len(names))
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and len(log["errors"]) < 20:
        op = first_pass.pop() if first_pass else rng.choices(names, weights)[0]
        log["ops"][op] += 1
        try:
            if op == "enqueue":
                (i, body), = bodies(1)
                seq = q.enqueue(body)
                log["enqueued"].append([seq, i])
                seen.append(seq)
            elif op == "enqueue_batch":
                batch = bodies(rng.randint(1, 5))
                seqs = q.enqueue_batch([b for _, b in batch])
                log["enqueued"] += [[seq, i] for seq, (i, _) in zip(seqs, batch)]
                seen += seqs
            elif op == "dequeue":
                m = q.dequeue(lease_ms=lease_ms())
                if m is not None:
                    delivered(m)
            elif op == "dequeue_batch":
                for m in q.dequeue_batch(rng.randint(1, 5), lease_ms=lease_ms()):
                    delivered(m)
            elif op == "ack":
                seq = some_held()
                if q.ack(seq):
                    log["acked"].append(seq)
            elif op == "ack_batch":
                seqs = [some_held() for _ in range(rng.randint(1, 4))]
                log["batches"].append([seqs, q.ack_batch(seqs)])
            elif op == "nack":
                seq, requeue = some_held(), rng.random() < 0.7
                if q.nack(seq, requeue=requeue) and not requeue:
                    log["dropped"].append(seq)
            elif op == "extend_lease":
                if held:
                    q.extend_lease(rng.choice(held), lease_ms=lease_ms())
            elif op == "stats":
                s = q.stats()
                if s["ready"] + s["in_flight"] != s["total"]:
                    log["errors"].append(f"stats do not add up: {s}")
            elif op == "verify_integrity":
                report = q.verify_integrity()
                if not report["ok"]:
                    log["errors"].append(f"verify_integrity: {report}")
            else:  # available, in_flight, flush, compact
                getattr(q, op)()
        except BaseException as exc:
            log["errors"].append(f"{op}: {type(exc).__qualname__}: {exc}")
        del seen[:-200]
    log["generation"] = q.stats()["generation"]
    with open(out_path, "w") as f:
        json.dump(log, f)


if __name__ == "__main__":
    qdir, me, seconds, out_path = sys.argv[1:]
    worker(qdir, int(me), float(seconds), out_path)
    sys.exit(0)


# -- the run and its checks ---------------------------------------------------------

CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)),
                os.environ.get("PYTHONPATH")) if p))


@pytest.fixture(scope="module")
def soak(tmp_path_factory):
    """Runs the workers, then drains the queue: (worker logs, what was left)."""
    base = tmp_path_factory.mktemp("soak")
    qdir = str(base / "queue")
    ferrow.FerrowCore(qdir)  # created once, before the workers race for it
    outs = [str(base / f"worker{me}.json") for me in range(PROCESSES)]
    procs = [subprocess.Popen([sys.executable, os.path.abspath(__file__), qdir, str(me),
                               str(SECONDS), outs[me]],
                              env=CHILD_ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
             for me in range(PROCESSES)]
    failures = []
    try:
        for me, proc in enumerate(procs):
            try:
                _, err = proc.communicate(timeout=SECONDS + WORKER_GRACE_S)
            except subprocess.TimeoutExpired:
                proc.kill()
                _, err = proc.communicate()
                failures.append(f"worker {me} hung:\n{err[-2000:]}")
                continue
            if proc.returncode != 0:
                failures.append(f"worker {me} exited with {proc.returncode}:\n{err[-2000:]}")
    finally:
        for proc in procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    assert not failures, failures
    logs = []
    for out in outs:
        with open(out) as f:
            logs.append(json.load(f))

    with open(os.path.join(qdir, ".proc_lock"), "rb") as f:
        lock_word = f.read(8)
    q = ferrow.FerrowCore(qdir)
    end = {"lock_word": lock_word.hex(), "report": q.verify_integrity(),
           "log_size": os.path.getsize(os.path.join(qdir, "queue.log")), "stats": q.stats()}
    # Leases still running are cut short so that everything can be drained.
    enqueued = {seq for log in logs for seq, _ in log["enqueued"]}
    for seq in enqueued:
        q.extend_lease(seq, lease_ms=0)
    end["present"] = {m[0]: m[1] for m in q.dequeue_batch(len(enqueued) + 1,
                                                          lease_ms=LONG_LEASE)}
    end["after_drain"] = q.stats()

    out_dir = os.environ.get("FERROW_RELIABILITY_DIR")
    if out_dir:
        write_summary(out_dir, logs, end)
    return logs, end


def origins(logs):
    """seq -> (producer, index) from the enqueue logs."""
    return {seq: (me, index) for me, log in enumerate(logs) for seq, index in log["enqueued"]}


def accounting(logs, present):
    """Where every enqueued id went, by the workers' logs and the drained queue."""
    made = origins(logs)
    single = collections.Counter(seq for log in logs for seq in log["acked"] + log["dropped"])
    batch_ids = {seq for log in logs for seqs, _ in log["batches"] for seq in seqs}
    batch_count = sum(c for log in logs for _, c in log["batches"])
    # Gone, and not by a single ack or drop that said so: only an ack batch
    # can have removed it, and the batches' counts must add up to exactly these.
    by_batch = set(made) - set(present) - set(single)
    return {
        "duplicate_removals": sorted(seq for seq, n in single.items() if n > 1),
        "removed_but_present": sorted(set(single) & set(present)),
        "removed_never_enqueued": sorted(set(single) - set(made)),
        "gone_without_a_batch": sorted(by_batch - batch_ids),
        "gone_by_batch": len(by_batch),
        "batch_count": batch_count,
        "present_never_enqueued": sorted(set(present) - set(made)),
        "wrong_bodies": sorted(seq for seq, body in present.items()
                               if seq in made and body != make_body(*made[seq])),
        "misdelivered": [d for log in logs for d in log["delivered"]
                         if made.get(d[0]) != (d[1], d[2])],
    }


def write_summary(out_dir, logs, end):
    ops = collections.Counter()
    for log in logs:
        ops.update(log["ops"])
    found = accounting(logs, end["present"])
    summary = {
        "seconds": SECONDS, "processes": PROCESSES, "operations": sum(ops.values()),
        "by_operation": dict(ops),
        "enqueued": sum(len(log["enqueued"]) for log in logs),
        "acked": sum(len(log["acked"]) for log in logs),
        "dropped": sum(len(log["dropped"]) for log in logs),
        "batch_acked": found["batch_count"],
        "deliveries": sum(len(log["delivered"]) for log in logs),
        "redeliveries": sum(d[3] > 1 for log in logs for d in log["delivered"]),
        "present_at_end": len(end["present"]),
        # Each compaction, explicit or automatic, raised the generation by one.
        "automatic_compactions": end["stats"]["generation"] - ops["compact"],
        "operation_errors": sum(len(log["errors"]) for log in logs),
        # Ids gone without any removal that accounts for them.
        "lost": len(found["gone_without_a_batch"])
                + max(0, found["gone_by_batch"] - found["batch_count"]),
        "duplicate_removals": len(found["duplicate_removals"]),
        "wrong_or_foreign_bodies": len(found["wrong_bodies"]) + len(found["misdelivered"])
                                   + len(found["present_never_enqueued"]),
    }
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "soak.json"), "w") as f:
        json.dump(summary, f, indent=1)


class TestSoak:
    def test_every_operation_succeeded_and_the_workers_did_everything(self, soak):
        logs, end = soak
        assert [log["errors"] for log in logs] == [[]] * PROCESSES
        ops = collections.Counter()
        for log in logs:
            ops.update(log["ops"])
        assert set(ops) == set(WEIGHTS)
        # The run exercised what it is meant to: removals of every kind,
        # redeliveries and log replacement by compaction.
        assert all(len(log["enqueued"]) > 0 for log in logs)
        assert sum(len(log["acked"]) for log in logs) > 0
        assert sum(len(log["dropped"]) for log in logs) > 0
        assert sum(c for log in logs for _, c in log["batches"]) > 0
        assert any(d[3] > 1 for log in logs for d in log["delivered"])
        assert end["stats"]["generation"] >= ops["compact"] >= PROCESSES

    def test_ids_are_unique_across_processes(self, soak):
        logs, _ = soak
        seqs = [seq for log in logs for seq, _ in log["enqueued"]]
        assert len(seqs) == len(set(seqs))

    def test_every_id_was_removed_exactly_once_or_is_still_present(self, soak):
        logs, end = soak
        found = accounting(logs, end["present"])
        # No id acknowledged or dropped with True twice, by any process.
        assert found["duplicate_removals"] == []
        assert found["removed_but_present"] == []
        assert found["removed_never_enqueued"] == []
        assert found["gone_without_a_batch"] == []
        assert found["gone_by_batch"] == found["batch_count"]

    def test_nothing_present_was_never_enqueued_and_every_body_is_intact(self, soak):
        logs, end = soak
        found = accounting(logs, end["present"])
        assert found["present_never_enqueued"] == []
        assert found["wrong_bodies"] == []
        assert found["misdelivered"] == []

    def test_counts_agree_and_the_log_verifies(self, soak):
        _, end = soak
        assert end["lock_word"] == "00" * 8
        assert end["report"]["ok"] is True, end["report"]
        assert end["report"]["bytes"] == end["log_size"]
        s = end["stats"]
        assert s["ready"] + s["in_flight"] == s["total"] == len(end["present"])
        after = end["after_drain"]
        assert (after["ready"], after["in_flight"], after["total"]) == (0, s["total"], s["total"])


GROWER = r'''
import os, random, sys, ferrow
qdir, role, mib, compact = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
q = ferrow.FerrowCore(qdir, sync_interval_ms=1000, auto_compact_bytes=compact)
rng, done, count, bad, largest, generation = random.Random(), os.path.join(qdir, "done"), 0, 0, 0, 0
if role == "producer":
    written = 0
    while written < mib << 20:
        sizes = [rng.choice((100, 1000, 8000, 60000)) for _ in range(50)]
        bodies = [b"%d:" % (n % 251) + bytes([n % 251]) * n for n in sizes]
        q.enqueue_batch(bodies)
        written, count = written + sum(sizes), count + len(bodies)
else:
    while True:
        messages = q.dequeue_batch(200)
        for _, body, _, _ in messages:  # a body read from outside its mapping would differ
            head, _, rest = body.partition(b":")
            bad += rest != bytes([int(head)]) * len(rest)
        count += q.ack_batch([m[0] for m in messages])
        stats = q.stats()
        largest, generation = max(largest, stats["log_bytes"]), stats["generation"]
        if not messages and os.path.exists(done) and q.stats()["total"] == 0:
            break
print(count, bad, largest, generation)
'''


@pytest.mark.parametrize("compact", [0, 67108864], ids=["no-compaction", "auto-compaction"])
def test_four_processes_grow_the_log_far_past_one_mapping(tmp_path, compact):
    """Two producers and two consumers move FERROW_GROW_MIB (160 by default)
    of bodies, so that the log grows several times past the 64 MiB that a
    body mapping reaches beyond the file, and past the automatic-compaction
    threshold, while the consumers read every body and check it."""
    mib = int(os.environ.get("FERROW_GROW_MIB") or 160)
    qdir = str(tmp_path / "q")
    ferrow.FerrowCore(qdir)
    procs = {role: subprocess.Popen([sys.executable, "-c", GROWER, qdir, role.rstrip("12"),
                                     str(mib // 2), str(compact)], env=CHILD_ENV,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for role in ("producer1", "producer2", "consumer1", "consumer2")}
    try:
        results = {}
        for role in ("producer1", "producer2", "consumer1", "consumer2"):
            if role == "consumer1":
                open(os.path.join(qdir, "done"), "w").close()
            out, err = procs[role].communicate(timeout=WORKER_GRACE_S + mib)
            assert procs[role].returncode == 0, err
            results[role] = [int(x) for x in out.split()]
    finally:
        for p in procs.values():
            if p.poll() is None:
                p.kill()
                p.communicate()
    produced = results["producer1"][0] + results["producer2"][0]
    consumed = results["consumer1"][0] + results["consumer2"][0]
    assert (consumed, results["consumer1"][1] + results["consumer2"][1]) == (produced, 0)
    largest = max(results["consumer1"][2], results["consumer2"][2])
    generation = max(results["consumer1"][3], results["consumer2"][3])
    if compact:  # compacted again and again as it reached the threshold
        assert generation >= 2 and largest > 48 << 20, (generation, largest)
    else:
        assert generation == 0 and largest > 128 << 20, largest
    assert ferrow.FerrowCore(qdir).verify_integrity()["ok"]
