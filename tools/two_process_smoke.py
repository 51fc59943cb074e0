"""Two processes share one durable queue: the parent enqueues, a forked child
dequeues everything, acks every other message and hands the rest back, the
parent takes those as redeliveries. Checks that every body arrives, in order,
and that nothing is lost or acked twice.

Run with an installed ferrow (tools/abi_check.sh, tools/emulated_smoke.sh). The
child is forked rather than started anew: under user-mode emulation a new
interpreter could not be executed without a binfmt handler.
"""
import os
import platform
import sys
import tempfile
import time

import ferrow

COUNT = 100
DEADLINE_S = 120.0  # emulation is slow; anything stuck fails well before CI gives up
HELD_LEASE_MS = 600_000  # the child's leases never lapse during the run


def child(path, report_fd):
    """Takes COUNT messages as they arrive, acks the even seqs; once all are in,
    hands the odd ones back."""
    q = ferrow.FerrowCore(path)
    seen = []
    deadline = time.monotonic() + DEADLINE_S
    while len(seen) < COUNT and time.monotonic() < deadline:
        message = q.dequeue(lease_ms=HELD_LEASE_MS)
        if message is None:
            time.sleep(0.001)
            continue
        seq, body, deliveries, _ = message
        seen.append("%d:%s:%d" % (seq, body.decode(), deliveries))
        if seq % 2 == 0 and not q.ack(seq):
            seen.append("ack-refused:%d" % seq)
    for seq in range(1, COUNT, 2):
        if not q.nack(seq):
            seen.append("nack-refused:%d" % seq)
    q.flush()
    os.write(report_fd, " ".join(seen).encode())


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "queue")
        read_fd, write_fd = os.pipe()
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.close(read_fd)
                child(path, write_fd)
                status = 0
            finally:
                os._exit(status)
        os.close(write_fd)

        q = ferrow.FerrowCore(path)
        for i in range(COUNT):
            assert q.enqueue(b"body-%d" % i) == i
        q.flush()
        report = b""
        while True:
            chunk = os.read(read_fd, 65536)
            if not chunk:
                break
            report += chunk
        _, status = os.waitpid(pid, 0)
        assert status == 0, "child exited with status %d" % status
        expected = ["%d:body-%d:1" % (i, i) for i in range(COUNT)]
        assert report.decode().split() == expected, report

        # The odd ones the child handed back: each comes once more, delivered twice.
        taken_back = []
        deadline = time.monotonic() + DEADLINE_S
        while len(taken_back) < COUNT // 2 and time.monotonic() < deadline:
            message = q.dequeue()
            if message is None:
                time.sleep(0.001)
                continue
            seq, body, deliveries, _ = message
            assert seq % 2 == 1 and deliveries == 2 and body == b"body-%d" % seq, message
            assert q.ack(seq)
            taken_back.append(seq)
        assert taken_back == list(range(1, COUNT, 2)), taken_back
        stats = q.stats()
        assert stats["total"] == 0 and stats["acked_total"] == COUNT, stats
        integrity = q.verify_integrity()
        assert integrity["ok"], integrity
    print(
        "%s CPython %d.%d: 2 processes, %d messages: the child took all and acked %d, "
        "the parent took back the %d handed back (2nd delivery), queue empty, log intact"
        % ((platform.machine(),) + sys.version_info[:2] + (COUNT, COUNT - len(taken_back), len(taken_back)))
    )


if __name__ == "__main__":
    main()
