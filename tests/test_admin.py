"""ferrow-admin on real queue directories, run as its own process the way an
operator runs it: what each command prints and returns, that the read-only
commands change no file, that damage is reported with the texts and offsets
the engine itself uses, and that a stale process lock is cleared only once no
process has the queue open."""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib

import pytest

import ferrow

TIMEOUT_S = 120
LONG_LEASE = 600_000
try:
    import ferrow_tools
    TOOLS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(ferrow_tools.__file__)))
except ImportError:  # a run against a module build that was not installed
    TOOLS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")
# Children import the same ferrow module as this process, and the tool.
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)), TOOLS_DIR,
                os.environ.get("PYTHONPATH")) if p))
SCRIPT = os.path.join(os.path.dirname(sys.executable), "ferrow-admin")
COMMANDS = ["stats", "verify", "dump", "peek", "compact", "purge", "unlock"]


def admin(*args, stdin=subprocess.DEVNULL):
    return subprocess.run([sys.executable, "-m", "ferrow_tools", *map(str, args)],
                          stdin=stdin, capture_output=True, text=True, timeout=TIMEOUT_S,
                          env=CHILD_ENV)


def json_lines(out):
    return [json.loads(line) for line in out.splitlines()]


def frame(payload, crc=None):
    crc = zlib.crc32(payload) if crc is None else crc
    return struct.pack("<4sII", b"FWR1", len(payload), crc) + payload


def log_path(qdir):
    return os.path.join(str(qdir), "queue.log")


def files_of(qdir):
    """Every file of the queue directory with its bytes."""
    return {name: (qdir / name).read_bytes() for name in sorted(os.listdir(qdir))}


def lock_word(qdir):
    return int.from_bytes((qdir / ".proc_lock").read_bytes()[:8], "little")


def set_lock_word(qdir, value):
    with open(qdir / ".proc_lock", "r+b") as f:
        f.write(value.to_bytes(8, "little"))


@pytest.fixture
def qdir(tmp_path):
    """A queue with every kind of record: ids 0-5 enqueued and 0-2 leased;
    then 1 handed back, 2's lease renewed to lapse at once, 3 acknowledged, 4
    dropped, and a 40-byte body enqueued as id 6. No object of this process
    keeps it open."""
    path = tmp_path / "q"
    q = ferrow.FerrowCore(str(path))
    q.enqueue_batch([b"job %d" % i for i in range(6)])
    assert [m[0] for m in q.dequeue_batch(3, lease_ms=LONG_LEASE)] == [0, 1, 2]
    assert q.nack(1) and q.extend_lease(2, lease_ms=0)
    assert q.ack(3) and q.nack(4, requeue=False)
    q.enqueue(bytes(range(40)))
    del q
    return path


RECORDS = ([("enqueue", i) for i in range(6)]
           + [("lease", 0), ("lease", 1), ("lease", 2), ("requeue", 1), ("lease", 2),
              ("ack", 3), ("dead", 4), ("enqueue", 6)])


# -- help and entry points ------------------------------------------------------


@pytest.mark.skipif(not os.path.exists(SCRIPT), reason="ferrow is not installed in this venv")
def test_installed_console_script_runs_the_tool(qdir):
    r = subprocess.run([SCRIPT, "--help"], capture_output=True, text=True, timeout=TIMEOUT_S,
                       env=CHILD_ENV)
    assert r.returncode == 0, r.stderr
    for command in COMMANDS:
        assert command in r.stdout
    r = subprocess.run([SCRIPT, "verify", str(qdir)], capture_output=True, text=True,
                       timeout=TIMEOUT_S, env=CHILD_ENV)
    assert r.returncode == 0 and "clean" in r.stdout


def test_every_subcommand_has_help():
    for command in COMMANDS:
        r = admin(command, "--help")
        assert r.returncode == 0 and "DIR" in r.stdout, (command, r.stderr)
    r = admin()
    assert r.returncode == 2 and "Traceback" not in r.stderr


# -- commands through the ferrow module -----------------------------------------


def test_stats_reports_what_the_queue_reports(qdir):
    r = admin("stats", "--json", qdir)
    assert r.returncode == 0, r.stderr
    reported = json.loads(r.stdout)
    # Opening replays everything the tool's own open appended (it requeued
    # the lapsed lease), so a fresh open sees the same figures.
    q = ferrow.FerrowCore(str(qdir))
    assert reported == q.stats()
    assert reported["total"] == 5 and reported["in_flight"] == 1
    del q
    text = admin("stats", qdir)
    assert text.returncode == 0
    assert re.search(r"^total\s+5$", text.stdout, re.M)
    assert re.search(r"^persistent\s+True$", text.stdout, re.M)


def test_compact_rewrites_the_log_and_keeps_the_present_messages(tmp_path):
    path = tmp_path / "q"
    q = ferrow.FerrowCore(str(path))
    q.enqueue_batch([b"m%03d" % i for i in range(200)])
    q.ack_batch(range(190))
    del q
    before = os.path.getsize(log_path(path))
    r = admin("compact", path)
    assert r.returncode == 0, r.stderr
    after = os.path.getsize(log_path(path))
    assert after < before
    assert "{} -> {} bytes".format(before, after) in r.stdout
    assert "generation 1" in r.stdout
    q = ferrow.FerrowCore(str(path))
    assert [m[1] for m in q.dequeue_batch(100)] == [b"m%03d" % i for i in range(190, 200)]
    assert q.stats()["generation"] == 1


def test_purge_asks_and_refuses_without_a_terminal(qdir):
    before = files_of(qdir)
    r = admin("purge", qdir)  # standard input is not a terminal
    assert r.returncode == 1
    assert "--yes" in r.stderr and "Traceback" not in r.stderr
    assert files_of(qdir) == before

    r = admin("purge", "--yes", qdir)
    assert r.returncode == 0, r.stderr
    assert "5 messages removed" in r.stdout and "generation 1" in r.stdout
    q = ferrow.FerrowCore(str(qdir))
    assert q.stats()["total"] == 0
    assert q.enqueue(b"again") == 0


# -- read-only commands ----------------------------------------------------------


def test_dump_lists_every_record_in_file_order(qdir):
    size = os.path.getsize(log_path(qdir))
    r = admin("dump", "--json", "--bodies", qdir)
    assert r.returncode == 0, r.stderr
    lines = json_lines(r.stdout)
    header, records, end = lines[0], lines[1:-1], lines[-1]
    assert header == {"kind": "header", "offset": 0, "format_version": 1, "generation": 0,
                      "size": size}
    assert [(x["kind"], x["seq"]) for x in records] == RECORDS
    offset = 16
    for x in records:  # frames lie back to back from the header on
        assert x["offset"] == offset
        offset += x["size"]
    assert end == {"kind": "end", "offset": size, "records": len(RECORDS)}
    assert records[0]["body_hex"] == b"job 0".hex() and not records[0]["body_truncated"]
    assert records[-1]["body_len"] == 40 and records[-1]["body_truncated"]
    assert records[-1]["body_hex"] == bytes(range(32)).hex()
    assert records[6]["deliveries"] == 1 and records[6]["deadline_ms"] > records[0]["enqueued_ts_ms"]
    assert records[9]["deliveries"] == 1  # the requeue keeps the count

    text = admin("dump", qdir)
    assert text.returncode == 0
    lines = text.stdout.splitlines()
    assert len(lines) == len(RECORDS) + 2
    assert re.match(r"\s*16\s+enqueue\s+seq=0\s+enqueued_ts_ms=\d+ \(\d{4}-.*Z\)\s+body_len=5$",
                    lines[1])
    assert lines[-1] == "# end at byte {}: {} records".format(size, len(RECORDS))


def test_peek_shows_what_dequeue_would_deliver_without_leasing_it(qdir):
    before = files_of(qdir)
    r = admin("peek", "--json", qdir)
    assert r.returncode == 0, r.stderr
    shown = json_lines(r.stdout)
    # 0 is leased, 1 handed back, 2's lease has lapsed, 3 and 4 are gone.
    assert [m["seq"] for m in shown] == [1, 2, 5, 6]
    assert [(m["deliveries"], m["lease_lapsed"]) for m in shown] == [
        (1, False), (1, True), (0, False), (0, False)]
    assert bytes.fromhex(shown[0]["body_hex"]) == b"job 1"
    assert bytes.fromhex(shown[3]["body_hex"]) == bytes(range(32)) and shown[3]["body_truncated"]

    text = admin("peek", "-n", "2", qdir)
    assert text.returncode == 0
    lines = text.stdout.splitlines()
    assert lines[0].startswith("4 ready of 5 present") and len(lines) == 3
    assert "b'job 1'" in lines[1] and "lapsed" not in lines[1]
    assert "b'job 2'" in lines[2] and "(lease lapsed)" in lines[2]

    assert files_of(qdir) == before  # nothing written, no lease taken
    q = ferrow.FerrowCore(str(qdir))
    assert [m[0] for m in q.dequeue_batch(10)] == [1, 2, 5, 6]


def test_verify_of_a_clean_log_agrees_with_the_engine(qdir):
    r = admin("verify", "--json", qdir)
    assert r.returncode == 0, r.stderr
    q = ferrow.FerrowCore(str(qdir))
    assert json.loads(r.stdout) == q.verify_integrity()
    text = admin("verify", qdir)
    assert text.returncode == 0 and "clean" in text.stdout


ENQUEUE_HEAD = struct.pack("<BQQ", 1, 99, 0)
DAMAGE = {
    # Frame damage: the engine cuts a corrupt tail.
    "short header": (b"FWR1\x05", "corrupt", "truncated record header"),
    "bad magic": (b"FWR2" + frame(b"\x02" + bytes(8))[4:], "corrupt", "bad record magic"),
    "huge length": (struct.pack("<4sII", b"FWR1", 0x20000001, 0), "corrupt",
                    "record length 536870913 exceeds max 536870912"),
    "short payload": (frame(struct.pack("<BQ", 2, 1))[:-3], "corrupt",
                      "truncated record payload"),
    "bad crc": (frame(struct.pack("<BQ", 2, 1), crc=1), "corrupt",
                "record CRC mismatch (silent corruption)"),
    # Intact frames whose payload does not decode: the engine cuts there too.
    "empty": (frame(b""), "undecodable", "empty record"),
    "type 9": (frame(b"\x09" + bytes(8)), "undecodable", "unknown record type 9"),
    "short u64": (frame(b"\x02" + bytes(7)), "undecodable", "short u64 field"),
    "short u32": (frame(b"\x04" + bytes(11)), "undecodable", "short u32 field"),
    "short body": (frame(ENQUEUE_HEAD + struct.pack("<I", 100) + b"12345"), "undecodable",
                   "short body"),
}


@pytest.mark.parametrize("case", sorted(DAMAGE))
def test_damage_is_reported_where_and_as_the_engine_cuts_it(qdir, tmp_path, capfd, case):
    tail, how, text = DAMAGE[case]
    good = os.path.getsize(log_path(qdir))
    # An intact record after the damage: undecodable frames do not end the scan.
    after = frame(struct.pack("<BQ", 2, 0)) if how == "undecodable" else b""
    with open(log_path(qdir), "ab") as f:
        f.write(tail + after)
    before = files_of(qdir)

    r = admin("verify", "--json", qdir)
    assert r.returncode == 1, r.stderr
    report = json.loads(r.stdout)
    assert report["ok"] is False
    if how == "corrupt":
        assert report == {"ok": False, "records": len(RECORDS), "bytes": good,
                          "message": "corrupt tail at byte {}: {}".format(good, text)}
    else:
        assert report["message"].startswith("undecodable record at byte {}: {} (".format(good, text))
        assert report["records"] == len(RECORDS) + 2  # the CRC of every frame is right

    d = admin("dump", "--json", qdir)
    assert d.returncode == 1
    lines = json_lines(d.stdout)
    bad = [x for x in lines if x["kind"] in ("damage", "undecodable")]
    assert (bad[0]["offset"], bad[0]["error"]) == (good, text)
    assert admin("peek", qdir).returncode == 0
    assert files_of(qdir) == before  # none of the three wrote anything

    # The engine, opening a copy, cuts at the same byte with the same text.
    copy = tmp_path / "copy"
    shutil.copytree(qdir, copy)
    capfd.readouterr()
    q = ferrow.FerrowCore(str(copy))
    warning = capfd.readouterr().err
    kind = "corrupt" if how == "corrupt" else "undecodable"
    assert "truncating {} log tail at byte {} ({})".format(kind, good, text) in warning
    assert os.path.getsize(log_path(copy)) == good
    del q


def test_progress_is_reported_on_stderr_for_a_large_log(tmp_path):
    path = tmp_path / "q"
    q = ferrow.FerrowCore(str(path))
    q.enqueue_batch([bytes([i]) * (1 << 20) for i in range(40)])
    del q
    for command in ("verify", "dump"):
        r = admin(command, "--progress", path)
        assert r.returncode == 0, r.stderr
        assert re.search(r"^{}: 16 MiB of 40 MiB \(\d+%\)$".format(command), r.stderr, re.M)
        assert re.search(r"^{}: done, 40 records, 40 MiB$".format(command), r.stderr, re.M)
        assert "MiB" not in r.stdout


# -- mistakes -----------------------------------------------------------------------


@pytest.mark.parametrize("command", COMMANDS)
def test_user_mistakes_end_in_one_line_not_a_traceback(tmp_path, command):
    missing = tmp_path / "missing"
    r = admin(command, missing)
    assert r.returncode == 2 and "no such directory" in r.stderr
    assert not missing.exists()

    plain_file = tmp_path / "file"
    plain_file.write_text("x")
    r = admin(command, plain_file)
    assert r.returncode == 2 and "Traceback" not in r.stderr

    empty = tmp_path / "empty"
    empty.mkdir()
    r = admin(command, empty)
    if command == "unlock":
        assert r.returncode == 0 and "nothing to do" in r.stdout
    else:
        assert r.returncode == 2 and "has no queue.log" in r.stderr
    assert os.listdir(empty) == []  # no queue was created

    alien = tmp_path / "alien"
    alien.mkdir()
    (alien / "queue.log").write_bytes(b"NOTALOG!" + bytes(40))
    r = admin(command, alien)
    if command == "verify":
        assert r.returncode == 1 and json.loads(admin("verify", "--json", alien).stdout) == {
            "ok": False, "records": 0, "bytes": 16, "message": "bad file magic"}
    elif command == "unlock":
        assert r.returncode == 0
    else:
        assert r.returncode == 2 and "bad magic" in r.stderr
    assert "Traceback" not in r.stderr
    assert (alien / "queue.log").read_bytes() == b"NOTALOG!" + bytes(40)


# -- unlock --------------------------------------------------------------------------


HOLDER = """
import sys, ferrow
q = ferrow.FerrowCore(sys.argv[1])
print("open", flush=True)
sys.stdin.read()   # holds the queue open until its stdin closes
"""


def test_unlock_refuses_while_a_process_has_the_queue_open(qdir):
    r = admin("unlock", qdir)
    assert r.returncode == 0 and "nothing to do" in r.stdout

    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(qdir)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=CHILD_ENV)
    try:
        assert holder.stdout.readline().strip() == "open"
        # The lock word of a process that died inside a call, while another
        # still has the queue open.
        set_lock_word(qdir, 1)
        r = admin("unlock", qdir)
        assert r.returncode == 1
        assert "refusing" in r.stderr and "pid {}".format(holder.pid) in r.stderr
        assert lock_word(qdir) == 1
        holder.stdin.close()
        assert holder.wait(timeout=TIMEOUT_S) == 0
    finally:
        if holder.poll() is None:
            holder.kill()
            holder.wait()

    r = admin("unlock", qdir)
    assert r.returncode == 0, r.stderr
    assert "was 1, now 0" in r.stdout
    assert lock_word(qdir) == 0
    # Would wait 30 s and raise TimeoutError on a lock still taken.
    q = ferrow.FerrowCore(str(qdir))
    assert q.enqueue(b"after unlock") == 7
