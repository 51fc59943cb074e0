"""Failures of the operating system's file calls, injected by the LD_PRELOAD
shim of tests/fault_shim: what a failing operation reports, what it leaves in
the process that saw the failure, and what the log holds afterwards.

Each scenario runs in a child interpreter started with the shim preloaded; the
child reports the outcome of every step, and the parent reopens the queue
without the shim to see what reached the log."""
import ast
import errno
import os
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest

import ferrow

SHIM = os.environ.get("FERROW_FAULT_SHIM")
if not SHIM:
    pytest.skip("FERROW_FAULT_SHIM is not set (`make test` builds the fault shim "
                "in build/cpp and sets it)", allow_module_level=True)

CHILD_TIMEOUT_S = 60

# Runs in the child before each scenario. Every step disarms the shim when it
# ends, so a fault armed for one step never reaches the next.
PRELUDE = r'''
import ctypes, errno, os, sys
import ferrow

_shim = ctypes.CDLL(os.environ["FERROW_FAULT_SHIM"])
_shim.ferrow_fault_arm.argtypes = (ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int)
_shim.ferrow_fault_short_write.argtypes = (ctypes.c_int, ctypes.c_long)
_shim.ferrow_fault_calls.argtypes = (ctypes.c_char_p,)
steps = {}

def arm(call, err, skip=0, count=1):
    assert _shim.ferrow_fault_arm(call.encode(), skip, count, err) == 0

def short_write(max_bytes, skip=0):
    assert _shim.ferrow_fault_short_write(skip, max_bytes) == 0

def calls(call):
    return _shim.ferrow_fault_calls(call.encode())

def step(name, fn, *args, **kwargs):
    try:
        steps[name] = ("ok", fn(*args, **kwargs))
    except BaseException as exc:
        steps[name] = ("raised", type(exc).__module__ + "." + type(exc).__qualname__, str(exc))
    finally:
        _shim.ferrow_fault_disarm_all()

q = ferrow.FerrowCore(sys.argv[1])
'''
EPILOGUE = "\nprint(repr(steps))\n"


@pytest.fixture(scope="module")
def shim():
    if not os.path.isfile(SHIM):
        pytest.fail(f"FERROW_FAULT_SHIM={SHIM!r} names no file; build it with "
                    "`make test` or the ferrow_fault_shim CMake target")
    return SHIM


@pytest.fixture
def run(shim, tmp_path):
    """Runs a scenario in a child with the shim preloaded; returns its steps."""
    queue_dir = tmp_path / "queue"

    def run_scenario(script):
        env = dict(os.environ, LD_PRELOAD=shim, FERROW_FAULT_SHIM=shim)
        # The child must import the same module the parent tests.
        module_dir = os.path.dirname(os.path.abspath(ferrow.__file__))
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (module_dir, os.environ.get("PYTHONPATH")) if p)
        source = PRELUDE + textwrap.dedent(script) + EPILOGUE
        proc = subprocess.run([sys.executable, "-c", source, str(queue_dir)], env=env,
                              capture_output=True, text=True, timeout=CHILD_TIMEOUT_S)
        assert proc.returncode == 0, proc.stderr
        run_scenario.stderr = proc.stderr
        return ast.literal_eval(proc.stdout.strip().splitlines()[-1])

    run_scenario.queue_dir = queue_dir
    return run_scenario


def assert_io_error(step, err):
    assert step[0] == "raised", step
    _, kind, text = step
    assert kind == "builtins.OSError"
    assert text.startswith("Ferrow I/O error: "), text
    assert text.endswith(f"(os error {err})"), text


def reopen_clean(queue_dir):
    """Reopens the queue without the shim and checks the whole log."""
    q = ferrow.FerrowCore(str(queue_dir))
    report = q.verify_integrity()
    assert report["ok"] is True, report
    # Every byte of the file belongs to a valid record: no torn frame.
    assert report["bytes"] == os.path.getsize(queue_dir / "queue.log")
    assert q.stats()["log_bytes"] == report["bytes"]
    return q


def drain(q):
    return [(m[0], m[1], m[2]) for m in q.dequeue_batch(1000)]


class TestShim:
    """The shim itself: counting, skipping and failing calls."""

    def test_arms_counts_and_disarms(self, run, tmp_path):
        path = str(tmp_path / "plain")
        steps = run(f'''
            fd = os.open({path!r}, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            before = calls("fsync")
            arm("fsync", errno.EIO, skip=1, count=2)
            results = []
            for _ in range(4):
                try:
                    os.fsync(fd)
                    results.append("ok")
                except OSError as exc:
                    results.append(exc.errno)
            steps["fsyncs"] = ("ok", results)
            steps["counted"] = ("ok", calls("fsync") - before)
            writes = calls("write")
            print("to stdout, not counted", flush=True)
            steps["stdout_writes"] = ("ok", calls("write") - writes)
            step("write", os.write, fd, b"abc")
            steps["file_writes"] = ("ok", calls("write") - writes)
            short_write(1)
            step("short", os.write, fd, b"defg")
            arm("open", errno.ENOSPC)
            step("open", os.open, {path!r}, os.O_RDONLY)
            step("open_disarmed", lambda: os.close(os.open({path!r}, os.O_RDONLY)))
        ''')
        assert steps["fsyncs"] == ("ok", ["ok", 5, 5, "ok"])
        assert steps["counted"] == ("ok", 4)
        assert steps["stdout_writes"] == ("ok", 0)
        assert steps["write"] == ("ok", 3)
        assert steps["file_writes"] == ("ok", 1)
        assert steps["short"] == ("ok", 1)
        assert steps["open"][:2] == ("raised", "builtins.OSError")
        assert steps["open"][2].startswith(f"[Errno {errno.ENOSPC}]")
        assert steps["open_disarmed"] == ("ok", None)
        with open(path, "rb") as f:
            assert f.read() == b"abcd"


class TestFailedSync:
    """The write reached the file but the fsync of the sync policy failed: the
    call reports the error, yet the record counts, in the process and in the
    log, so that no id or lease is handed out twice."""

    def test_enqueue_keeps_its_id(self, run):
        steps = run('''
            arm("fsync", 5)
            step("first", q.enqueue, b"first")
            before = calls("fsync")
            step("second", q.enqueue, b"second")
            steps["second_fsyncs"] = ("ok", calls("fsync") - before)
            step("stats", q.stats)
        ''')
        assert_io_error(steps["first"], errno.EIO)
        assert steps["second"] == ("ok", 1)
        assert steps["second_fsyncs"] == ("ok", 1)
        stats = steps["stats"][1]
        assert (stats["total"], stats["ready"], stats["next_seq"]) == (2, 2, 2)

        q = reopen_clean(run.queue_dir)
        assert q.verify_integrity()["records"] == 2
        assert drain(q) == [(0, b"first", 1), (1, b"second", 1)]

    def test_dequeue_keeps_the_lease(self, run):
        steps = run('''
            q.enqueue_batch([b"a", b"b"])
            arm("fsync", 5)
            step("failed", q.dequeue)
            step("in_flight", q.in_flight)
            step("available", q.available)
            step("next", q.dequeue)
        ''')
        assert_io_error(steps["failed"], errno.EIO)
        assert steps["in_flight"] == ("ok", 1)
        assert steps["available"] == ("ok", 1)
        # The leased message is not handed out again while its lease runs.
        assert steps["next"][0] == "ok" and steps["next"][1][:3] == (1, b"b", 1)

        q = reopen_clean(run.queue_dir)
        assert (q.in_flight(), q.available()) == (2, 0)
        # The lease is in the log with its delivery counted: letting it lapse
        # makes the next delivery the second.
        assert q.extend_lease(0, lease_ms=0) is True
        assert q.dequeue()[:3] == (0, b"a", 2)

    def test_ack_removes_the_message(self, run):
        steps = run('''
            q.enqueue_batch([b"a", b"b"])
            q.dequeue()
            arm("fsync", 5)
            step("failed", q.ack, 0)
            step("again", q.ack, 0)
            step("stats", q.stats)
        ''')
        assert_io_error(steps["failed"], errno.EIO)
        assert steps["again"] == ("ok", False)
        stats = steps["stats"][1]
        assert (stats["total"], stats["in_flight"], stats["acked_total"]) == (1, 0, 1)

        q = reopen_clean(run.queue_dir)
        assert q.ack(0) is False
        assert (q.stats()["total"], q.in_flight()) == (1, 0)
        assert drain(q) == [(1, b"b", 1)]

    def test_batch_keeps_every_record_when_the_closing_sync_fails(self, run):
        steps = run('''
            arm("fsync", 5)
            step("batch", q.enqueue_batch, [b"x", b"y", b"z"])
            step("next", q.enqueue, b"w")
        ''')
        assert_io_error(steps["batch"], errno.EIO)
        assert steps["next"] == ("ok", 3)

        q = reopen_clean(run.queue_dir)
        assert drain(q) == [(0, b"x", 1), (1, b"y", 1), (2, b"z", 1), (3, b"w", 1)]


class TestFailedWrite:
    """The frame did not reach the file: the call reports the error and
    nothing changes, in the process or in the log."""

    @pytest.mark.parametrize("err", [errno.EIO, errno.ENOSPC], ids=["EIO", "ENOSPC"])
    def test_enqueue_changes_nothing(self, run, err):
        steps = run(f'''
            step("first", q.enqueue, b"first")
            step("before", q.stats)
            arm("write", {err})
            step("failed", q.enqueue, b"lost")
            step("after", q.stats)
            step("verify", q.verify_integrity)
            step("next", q.enqueue, b"second")
        ''')
        assert steps["first"] == ("ok", 0)
        assert_io_error(steps["failed"], err)
        assert steps["after"] == steps["before"]
        assert steps["verify"][1]["ok"] is True
        assert steps["verify"][1]["bytes"] == steps["before"][1]["log_bytes"]
        # The id of the failed enqueue is given to the next one.
        assert steps["next"] == ("ok", 1)

        q = reopen_clean(run.queue_dir)
        assert q.verify_integrity()["records"] == 2
        assert drain(q) == [(0, b"first", 1), (1, b"second", 1)]

    def test_torn_frame_never_precedes_a_later_record(self, run):
        # A short write puts part of the frame in the file before the rest of
        # it fails; the next append must not land behind those bytes.
        steps = run('''
            step("first", q.enqueue, b"first")
            step("before", q.stats)
            short_write(10)
            arm("write", 28, skip=1)
            step("failed", q.enqueue, b"lost" * 10)
            step("after", q.stats)
            step("next", q.enqueue, b"second")
            step("verify", q.verify_integrity)
        ''')
        assert_io_error(steps["failed"], errno.ENOSPC)
        assert steps["after"] == steps["before"]
        assert steps["next"] == ("ok", 1)
        assert steps["verify"][1]["ok"] is True
        # Its own torn frame, cut silently: the failed call already said so.
        assert "log tail" not in run.stderr, run.stderr

        q = reopen_clean(run.queue_dir)
        assert q.verify_integrity()["records"] == 2
        assert drain(q) == [(0, b"first", 1), (1, b"second", 1)]

    def test_torn_frame_left_by_the_last_operation_is_cut_on_open(self, run, capfd):
        steps = run('''
            step("first", q.enqueue, b"first")
            step("before", q.stats)
            short_write(10)
            arm("write", 28, skip=1)
            step("failed", q.enqueue, b"lost" * 10)
        ''')
        assert_io_error(steps["failed"], errno.ENOSPC)
        end = steps["before"][1]["log_bytes"]
        assert os.path.getsize(run.queue_dir / "queue.log") == end + 10

        capfd.readouterr()
        q = reopen_clean(run.queue_dir)
        assert f"log tail at byte {end} " in capfd.readouterr().err
        assert q.stats()["next_seq"] == 1
        assert drain(q) == [(0, b"first", 1)]

    def test_failed_lease_and_ack_change_nothing(self, run):
        steps = run('''
            q.enqueue_batch([b"a", b"b"])
            arm("write", 5)
            step("dequeue", q.dequeue)
            step("in_flight", q.in_flight)
            step("leased", q.dequeue)
            arm("write", 5)
            step("ack", q.ack, 0)
            step("acked", q.ack, 0)
        ''')
        assert_io_error(steps["dequeue"], errno.EIO)
        assert steps["in_flight"] == ("ok", 0)
        # Still the first delivery of the smallest id.
        assert steps["leased"][1][:3] == (0, b"a", 1)
        assert_io_error(steps["ack"], errno.EIO)
        assert steps["acked"] == ("ok", True)

        q = reopen_clean(run.queue_dir)
        assert (q.stats()["total"], q.in_flight()) == (1, 0)
        assert drain(q) == [(1, b"b", 1)]

    def test_batch_keeps_what_it_wrote_before_the_failure(self, run):
        steps = run('''
            # The batch goes out in one write: let it hand over the first
            # frame (34 bytes) and part of the second, then fail.
            short_write(34 + 10)
            arm("write", 5, skip=1)
            step("batch", q.enqueue_batch, [b"x", b"y", b"z"])
            step("stats", q.stats)
            step("next", q.enqueue, b"w")
        ''')
        assert_io_error(steps["batch"], errno.EIO)
        assert steps["stats"][1]["total"] == 1
        assert steps["next"] == ("ok", 1)

        q = reopen_clean(run.queue_dir)
        assert drain(q) == [(0, b"x", 1), (1, b"w", 1)]

    @pytest.mark.parametrize("op, frame, expected", [
        # One lease reached the file; the failed batch handed it back.
        ("q.dequeue_batch(3, lease_ms=600000)", 33, (4, 0)),
        ("q.ack_batch([0, 1, 2])", 21, (3, 0)),               # one ack did
    ])
    def test_batch_applies_exactly_the_frames_that_reached_the_file(self, run, op, frame,
                                                                    expected):
        steps = run(f'''
            q.enqueue_batch([b"a", b"b", b"c"])
            short_write({frame} + 5)
            arm("write", errno.ENOSPC, skip=1)
            step("batch", lambda: {op})
            step("next", q.enqueue, b"d")
            step("state", lambda: (q.stats()["total"], q.in_flight()))
        ''')
        assert_io_error(steps["batch"], errno.ENOSPC)
        assert steps["next"] == ("ok", 3)
        assert steps["state"] == ("ok", expected)
        q = reopen_clean(run.queue_dir)
        assert (q.stats()["total"], q.in_flight()) == expected


class TestInterruptedCalls:
    """A signal arriving during a file call makes it fail with EINTR; the
    engine retries it, so no operation reports it and nothing is lost."""

    # pread skipping one: past the header probe, to the reads of the tail.
    @pytest.mark.parametrize("call, skip", [("write", 0), ("fsync", 0), ("open", 0),
                                            ("ftruncate", 0), ("pread", 0), ("pread", 1)])
    def test_every_operation_retries_and_succeeds(self, run, call, skip):
        steps = run(f'''
            other_dir = sys.argv[1]  # a second object on the same queue
            def interrupted(name, fn, *args, **kwargs):
                arm({call!r}, errno.EINTR, skip={skip}, count=3)
                step(name, fn, *args, **kwargs)
            interrupted("enqueue", q.enqueue, b"a")
            interrupted("enqueue_batch", q.enqueue_batch, [b"b", b"c", b"d"])
            interrupted("dequeue", q.dequeue, lease_ms=60_000)
            interrupted("ack", q.ack, 0)
            interrupted("nack", q.nack, 1, requeue=False)
            # a torn frame at the end: the next opener cuts it (ftruncate)
            with open(os.path.join(other_dir, "queue.log"), "ab") as f:
                f.write(b"torn")
            interrupted("open other", lambda: ferrow.FerrowCore(other_dir).stats()["total"])
            interrupted("compact", q.compact)
            interrupted("enqueue after compact", q.enqueue, b"e")
            interrupted("verify", q.verify_integrity)
            interrupted("flush", q.flush)
            interrupted("stats", q.stats)
        ''')
        failed = {name: got for name, got in steps.items() if got[0] != "ok"}
        assert not failed
        assert steps["enqueue_batch"] == ("ok", [1, 2, 3])
        assert steps["open other"] == ("ok", 2)
        assert steps["enqueue after compact"] == ("ok", 4)
        assert steps["verify"][1]["ok"] is True
        assert (steps["stats"][1]["ready"], steps["stats"][1]["total"]) == (3, 3)

        q = reopen_clean(run.queue_dir)
        assert drain(q) == [(2, b"c", 1), (3, b"d", 1), (4, b"e", 1)]

    def test_a_write_that_takes_no_bytes_is_an_error(self, run):
        steps = run('''
            step("first", q.enqueue, b"first")
            short_write(0)
            step("failed", q.enqueue, b"lost")
            step("next", q.enqueue, b"second")
        ''')
        assert steps["failed"] == ("raised", "builtins.OSError",
                                   "Ferrow I/O error: failed to write the buffered data")
        assert steps["next"] == ("ok", 1)
        q = reopen_clean(run.queue_dir)
        assert drain(q) == [(0, b"first", 1), (1, b"second", 1)]


def test_a_queue_opened_at_the_empty_path_syncs_its_directory_too(run):
    # The empty path is the working directory; renaming a compacted log into
    # it must be made durable with a sync of "." like any other directory.
    steps = run('''
        os.chdir(sys.argv[1])
        here = ferrow.FerrowCore("")
        for name, obj in (("named", q), ("empty path", here)):
            obj.enqueue(b"x")
            obj.stats()
            before = calls("fsync"), calls("open")
            step(name, obj.compact)
            steps[name + " calls"] = ("ok", (calls("fsync") - before[0], calls("open") - before[1]))
    ''')
    assert steps["empty path"] == steps["named"] == ("ok", None)
    assert steps["empty path calls"] == steps["named calls"]
    assert steps["named calls"][1][0] == 2  # the new log, then its directory


def frame(payload):
    return struct.pack("<4sII", b"FWR1", len(payload), zlib.crc32(payload)) + payload


# Two kinds of damaged tail: a frame cut inside its header, and a whole frame
# with a good checksum whose record cannot be decoded.
DAMAGE = {"torn": b"FWR", "undecodable": frame(b"\x09" + bytes(8))}


class TestFailedCut:
    """Cutting a damaged tail off the log can fail as well. The call that
    found the damage reports the error and applies nothing past it; the next
    call cuts the tail and goes on."""

    # The calls of a cut, counted from the start of the call that makes it:
    # truncate, sync the log, open and sync its directory (opening the queue
    # first opens .proc_lock twice, for its mapping and its slot, and
    # queue.log; an operation opens nothing before it).
    @pytest.mark.parametrize("call, skip_at_open, skip_in_catch_up",
                             [("ftruncate", 0, 0), ("fsync", 0, 0), ("fsync", 1, 1),
                              ("open", 3, 0)])
    @pytest.mark.parametrize("damage", sorted(DAMAGE))
    @pytest.mark.parametrize("where", ["open", "catch-up"])
    def test_the_failure_is_reported_and_the_next_call_cuts(self, run, where, damage,
                                                            call, skip_at_open,
                                                            skip_in_catch_up):
        skip = skip_at_open if where == "open" else skip_in_catch_up
        act = ("lambda: ferrow.FerrowCore(sys.argv[1]).stats()['total']" if where == "open"
               else "lambda: q.stats()['total']")
        steps = run(f'''
            q.enqueue(b"kept")
            with open(os.path.join(sys.argv[1], "queue.log"), "ab") as f:
                f.write({DAMAGE[damage]!r})
            arm({call!r}, errno.EIO, skip={skip})
            step("failed", {act})
            step("again", {act})
            step("next", q.enqueue, b"next")
        ''')
        assert_io_error(steps["failed"], errno.EIO)
        assert steps["again"] == ("ok", 1)
        assert steps["next"] == ("ok", 1)
        assert drain(reopen_clean(run.queue_dir)) == [(0, b"kept", 1), (1, b"next", 1)]


@pytest.mark.parametrize("op", ["dequeue", "dequeue_batch", "stats"])
def test_a_failed_requeue_of_a_lapsed_lease_fails_the_call_and_keeps_the_message(run, op):
    call = {"dequeue": "lambda: q.dequeue()[:3]",
            "dequeue_batch": "lambda: [m[:3] for m in q.dequeue_batch(5)]",
            "stats": "lambda: (q.stats()['ready'], q.stats()['in_flight'])"}[op]
    steps = run(f'''
        q.enqueue(b"a")
        q.dequeue(lease_ms=600000)
        q.extend_lease(0, lease_ms=0)
        arm("write", errno.EIO)
        step("failed", {call})
        step("again", {call})
    ''')
    assert_io_error(steps["failed"], errno.EIO)
    assert steps["again"] == ("ok", {"dequeue": (0, b"a", 2), "dequeue_batch": [(0, b"a", 2)],
                                     "stats": (1, 0)}[op])


def test_an_ack_whose_automatic_compaction_fails_stands_and_says_so_once(run):
    steps = run('''
        small = ferrow.FerrowCore(sys.argv[1], auto_compact_bytes=1)
        small.enqueue_batch([b"x" * 200, b"b", b"c"])
        small.dequeue()
        small.dequeue()
        arm("rename", errno.EIO)
        step("ack", small.ack, 0)
        arm("rename", errno.EIO)
        step("ack again", small.ack, 1)  # no second attempt, no second line yet
        step("total", lambda: small.stats()["total"])
        step("generation", lambda: small.stats()["generation"])
        step("leftover", lambda: os.path.exists(sys.argv[1] + "/queue.compact.tmp"))
    ''')
    assert steps["ack"] == ("ok", True) and steps["ack again"] == ("ok", True)
    assert steps["total"] == ("ok", 1)
    assert steps["generation"] == ("ok", 0)
    assert steps["leftover"] == ("ok", False)
    assert run.stderr.count("Ferrow: automatic compaction failed") == 1, run.stderr
    assert drain(reopen_clean(run.queue_dir)) == [(2, b"c", 1)]


class TestLogReplacement:
    """Compaction and purge replace the log by renaming a finished temporary
    file over it: a failure before the rename leaves the old log in charge."""

    @pytest.mark.parametrize("call, err", [("rename", errno.EIO), ("fsync", errno.EIO),
                                           ("write", errno.ENOSPC)])
    def test_failed_compaction_changes_nothing_but_the_temporary_file(self, run, call, err):
        steps = run(f'''
            q.enqueue_batch([b"a", b"b", b"c"])
            q.ack(0)
            q.dequeue(lease_ms=600000)
            before = (q.stats(), open(sys.argv[1] + "/queue.log", "rb").read())
            arm({call!r}, {err})
            step("compact", q.compact)
            steps["same_stats"] = ("ok", q.stats() == before[0])
            steps["same_log"] = ("ok", open(sys.argv[1] + "/queue.log", "rb").read() == before[1])
            step("leftover", lambda: os.path.exists(sys.argv[1] + "/queue.compact.tmp"))
            step("dequeue", lambda: q.dequeue()[:2])
            step("compact_again", q.compact)
        ''')
        assert steps["leftover"] == ("ok", False)
        assert_io_error(steps["compact"], err)
        assert steps["same_stats"] == ("ok", True)
        assert steps["same_log"] == ("ok", True)
        assert steps["dequeue"] == ("ok", (2, b"c"))
        assert steps["compact_again"] == ("ok", None)
        q = reopen_clean(run.queue_dir)
        s = q.stats()
        assert (s["generation"], s["total"], s["in_flight"], s["next_seq"]) == (1, 2, 2, 3)

    def test_compaction_writes_nothing_more_after_a_failed_write(self, run):
        # 30 KiB of bodies take several staging flushes; the first one fails.
        steps = run('''
            q.enqueue_batch([bytes([i]) * 10_000 for i in range(3)])
            arm("write", errno.ENOSPC, skip=1)
            writes = calls("write")
            step("compact", q.compact)
            steps["writes"] = ("ok", calls("write") - writes)
            step("compact_again", q.compact)
        ''')
        assert_io_error(steps["compact"], errno.ENOSPC)
        assert steps["writes"] == ("ok", 2)  # the header, then the failed flush
        assert steps["compact_again"] == ("ok", None)
        q = reopen_clean(run.queue_dir)
        assert [m[1] for m in drain(q)] == [bytes([i]) * 10_000 for i in range(3)]

    def test_compaction_that_cannot_read_a_body_changes_nothing(self, run):
        # A fresh object has not mapped the log yet: compaction maps it to
        # copy the bodies.
        steps = run('''
            q.enqueue_batch([b"a", b"b"])
            fresh = ferrow.FerrowCore(sys.argv[1])
            before = open(sys.argv[1] + "/queue.log", "rb").read()
            arm("mmap", errno.ENOMEM)
            step("compact", fresh.compact)
            steps["same_log"] = ("ok", open(sys.argv[1] + "/queue.log", "rb").read() == before)
            step("compact_again", fresh.compact)
            step("dequeue", lambda: fresh.dequeue()[:2])
        ''')
        assert_io_error(steps["compact"], errno.ENOMEM)
        assert steps["same_log"] == ("ok", True)
        assert steps["compact_again"] == ("ok", None)
        assert steps["dequeue"] == ("ok", (0, b"a"))

    @pytest.mark.parametrize("call", ["rename", "fsync"])
    def test_failed_purge_keeps_every_message(self, run, call):
        steps = run(f'''
            q.enqueue_batch([b"a", b"b"])
            arm({call!r}, errno.EIO)
            step("purge", q.purge)
            step("stats", lambda: (q.stats()["total"], q.stats()["generation"]))
            step("dequeue", lambda: q.dequeue()[:2])
        ''')
        assert_io_error(steps["purge"], 5)
        # Neither emptied in memory while the log it follows is full.
        assert steps["stats"] == ("ok", (2, 0))
        assert steps["dequeue"] == ("ok", (0, b"a"))
        assert reopen_clean(run.queue_dir).stats()["total"] == 2
