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
import time
import zlib

import pytest

import ferrow
from conftest import run_as_other_user
from logcodec import ENQ, LEASE, encode_log

TIMEOUT_S = 120
LONG_LEASE = 600_000
try:
    import ferrow_tools
    TOOLS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(ferrow_tools.__file__)))
except ImportError:  # a run against a module build that was not installed
    TOOLS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")
try:
    from ferrow_tools import deadletter
except ImportError:
    sys.path.insert(0, TOOLS_DIR)
    from ferrow_tools import deadletter
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
    assert reported.pop("dead_letters") == 0 and reported == q.stats()
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
    if command == "unlock":
        assert r.returncode == 2 and "no such directory" in r.stderr
    else:
        assert r.returncode == 2 and "no such queue: the directory does not exist" in r.stderr
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
        assert r.returncode == 2 and "no such queue: the directory has no queue.log" in r.stderr
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


ADMIN_AS_OTHER_USER = "import sys; from ferrow_tools.admin.cli import main; sys.exit(main())"


@pytest.mark.parametrize("user, argv, said", [
    ("this", ["stats", "redis://127.0.0.1:6379/0"], "a Redis URL must name the queue: add "
                                                    "?queue=NAME"),
    ("this", ["stats", "reddis://127.0.0.1:6379/0?queue=jobs"], "reddis: is not a Redis scheme"),
    ("this", ["peek", "redis:/127.0.0.1:6379/0?queue=jobs"], "starts with redis:// (two"),
    ("this", ["dump", " "], "empty queue target"),
    ("this", ["stats", "redis://127.0.0.1:6379/0?queue=x&bogus=1"], "unknown parameter 'bogus'"),
    ("this", ["dead", "list", "nope"], "nope: no such queue: the directory does not exist"),
    ("this", ["dead", "requeue", "jobs", "8"], "no dead letter has id 8, nor was one message 8"),
    ("this", ["migrate", "nope", "elsewhere"], "nope: no such queue"),
    ("this", ["stats", "plain/q"], "plain/q: Not a directory"),
    # A file of the queue that the engine cannot open is named, with the call.
    ("this", ["stats", "odd"], "odd/.proc_lock: open failed: Ferrow I/O error: "),
    ("this", ["stats", "dir_lock"], "Is a directory: 'dir_lock/.proc_lock'"),
    ("this", ["stats", "{redis}"], "no such queue: nothing was ever put in it on this server"),
    ("this", ["dead", "list", "{redis}"], "no such queue: nothing was ever put in it"),
    ("other", ["stats", "private/q"], "private/q: permission denied: this user cannot reach"),
    ("other", ["dead", "list", "private/q"], "private/q: permission denied"),
])
def test_each_user_mistake_is_one_line_and_status_2(request, shared_tmp, user, argv, said):
    """Nothing is created either: no queue for a mistyped name or URL."""
    base = shared_tmp
    ferrow.FerrowCore(os.path.join(base, "jobs")).enqueue(b"x")
    ferrow.FerrowCore(os.path.join(base, "jobs.dead")).enqueue(
        deadletter.encode(7, 5, 0, "E: x", b"y"))
    os.mkdir(os.path.join(base, "private"), 0o700)
    ferrow.FerrowCore(os.path.join(base, "private", "q")).enqueue(b"x")
    with open(os.path.join(base, "plain"), "w"):
        pass
    for name in ("odd", "dir_lock"):
        ferrow.FerrowCore(os.path.join(base, name)).enqueue(b"x")
        os.rename(os.path.join(base, name, ".proc_lock"), os.path.join(base, name + ".lock"))
    # A link the engine refuses to follow; a directory no reader can read.
    os.symlink(os.path.join(base, "odd.lock"), os.path.join(base, "odd", ".proc_lock"))
    os.mkdir(os.path.join(base, "dir_lock", ".proc_lock"))
    if any("{redis}" in a for a in argv):
        url = request.getfixturevalue("shared_redis").url()
        argv = [a.format(redis=url) for a in argv]
    before = sorted(os.listdir(base))
    if user == "this":
        r = subprocess.run([sys.executable, "-m", "ferrow_tools", *argv], capture_output=True,
                           text=True, timeout=TIMEOUT_S, env=CHILD_ENV, cwd=base)
    else:
        r = run_as_other_user(ADMIN_AS_OTHER_USER, *argv, cwd=base)
    assert r.returncode == 2, r.stderr
    assert r.stderr.startswith("ferrow-admin: error: ") and said in r.stderr
    assert r.stderr.count("\n") == 1 and r.stdout == ""
    assert sorted(os.listdir(base)) == before


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


# -- dead letters ----------------------------------------------------------------------


def dead_queue_of(tmp_path):
    """A queue `jobs` holding one message, and `jobs.dead` holding two dead
    letters (ids 0 and 1 there) and one message that is not a dead letter."""
    qd = tmp_path / "jobs"
    q = ferrow.FerrowCore(str(qd))
    assert q.enqueue(b"live job") == 0
    d = ferrow.FerrowCore(deadletter.dead_letter_dir(str(qd)))
    assert d.enqueue(deadletter.encode(7, 5, 1_700_000_000_000, "bad\nimage", b"\x00\xffPNG\n" * 50,
                                       dead_ts_ms=1_700_000_100_000)) == 0
    assert d.enqueue(deadletter.encode(9, 3, 1_700_000_000_000, "timeout", b"mail bob",
                                       dead_ts_ms=1_700_000_200_000)) == 1
    assert d.enqueue(b"no header here") == 2
    del q, d
    return qd


def test_dead_list_and_show_read_the_dead_queue_without_changing_it(tmp_path):
    qd = dead_queue_of(tmp_path)
    dead = tmp_path / "jobs.dead"
    before = files_of(dead)
    r = admin("dead", "list", "--json", qd)
    assert r.returncode == 0, r.stderr
    assert json_lines(r.stdout) == [
        {"id": 0, "original_id": 7, "deliveries": 5, "enqueued_ts_ms": 1_700_000_000_000,
         "dead_ts_ms": 1_700_000_100_000, "reason": "bad\nimage", "body_len": 300},
        {"id": 1, "original_id": 9, "deliveries": 3, "enqueued_ts_ms": 1_700_000_000_000,
         "dead_ts_ms": 1_700_000_200_000, "reason": "timeout", "body_len": 8},
        {"id": 2, "error": "not a dead letter: no header line", "body_len": 14}]
    text = admin("dead", "list", qd)
    assert text.returncode == 0
    lines = text.stdout.splitlines()
    assert len(lines) == 3  # the reason's newline is escaped, one line each
    assert re.match(r"^\s+1\s+original_id=9\s+deliveries=3\s+dead=2023-11-14T22:\S+\s+"
                    r'reason="timeout"\s+body_len=8$', lines[1])

    r = admin("dead", "show", "--json", "--body-bytes", "6", qd, 0)
    assert r.returncode == 0, r.stderr
    shown = json.loads(r.stdout)
    assert shown["original_id"] == 7 and shown["reason"] == "bad\nimage"
    assert shown["body_hex"] == (b"\x00\xffPNG\n").hex() and shown["body_truncated"]
    r = admin("dead", "show", qd, 1)
    assert r.returncode == 0 and re.search(r"^body\s+b'mail bob'$", r.stdout, re.M)
    raw = subprocess.run([sys.executable, "-m", "ferrow_tools", "dead", "show", "--raw",
                          str(qd), "0"], capture_output=True, timeout=TIMEOUT_S, env=CHILD_ENV)
    assert raw.returncode == 0 and raw.stdout == b"\x00\xffPNG\n" * 50

    r = admin("stats", qd)  # dead letters are acked in the queue: stats shows them apart
    assert re.search(r"^dead_letters\s+3 \(in {}; see 'ferrow-admin dead list {}'\)$".format(
        re.escape(str(dead)), re.escape(str(qd))), r.stdout, re.M), r.stdout
    assert json.loads(admin("stats", "--json", qd).stdout)["dead_letters"] == 3
    r = admin("dead", "show", qd, 5)
    assert r.returncode == 2 and "no dead letter has id 5, nor was one message 5 of" in r.stderr
    r = admin("dead", "show", "--json", qd, 9)  # the id it had in the queue
    assert r.returncode == 0 and json.loads(r.stdout)["id"] == 1
    assert "taking dead letter 1, which was message 9 of" in r.stderr
    r = admin("dead", "show", qd, 2)
    assert r.returncode == 1 and "not a dead letter" in r.stderr
    assert files_of(dead) == before  # nothing leased, nothing written


def test_dead_list_of_a_queue_without_dead_letters(tmp_path):
    qd = tmp_path / "jobs"
    ferrow.FerrowCore(str(qd)).enqueue(b"x")
    r = admin("dead", "list", qd)
    assert r.returncode == 0 and "no dead letters" in r.stdout
    assert admin("dead", "list", "--json", qd).stdout == ""
    assert not (tmp_path / "jobs.dead").exists()
    for action in (["show", qd, 0], ["requeue", qd, 0], ["purge", "--yes", qd]):
        r = admin("dead", *action)
        assert r.returncode == 2 and "no such directory" in r.stderr, action
        assert "Traceback" not in r.stderr
    assert not (tmp_path / "jobs.dead").exists()


def test_dead_requeue_moves_the_original_body_back(tmp_path):
    qd = dead_queue_of(tmp_path)
    r = admin("dead", "requeue", qd, 1)
    assert r.returncode == 0, r.stderr
    assert "dead letter 1 as id 1" in r.stdout
    q = ferrow.FerrowCore(str(qd))
    d = ferrow.FerrowCore(str(tmp_path / "jobs.dead"))
    assert q.stats()["total"] == 2 and d.stats()["total"] == 2
    del q, d
    # --all moves the remaining dead letter and leaves the undecodable one.
    r = admin("dead", "requeue", "--all", qd)
    assert r.returncode == 1 and "message 2 is not a dead letter" in r.stderr
    assert "dead letter 0 as id 2" in r.stdout
    q = ferrow.FerrowCore(str(qd))
    got = q.dequeue_batch(10, lease_ms=LONG_LEASE)
    assert [(m[0], m[1], m[2]) for m in got] == [
        (0, b"live job", 1), (1, b"mail bob", 1), (2, b"\x00\xffPNG\n" * 50, 1)]
    d = ferrow.FerrowCore(str(tmp_path / "jobs.dead"))
    assert d.stats()["total"] == 1 and d.dequeue()[1] == b"no header here"
    del q, d
    r = admin("dead", "requeue", qd, 0)  # already moved
    assert r.returncode == 2 and "no dead letter has id 0" in r.stderr


def test_dead_purge_asks_unless_yes(tmp_path):
    qd = dead_queue_of(tmp_path)
    r = admin("dead", "purge", qd)
    assert r.returncode == 1 and "refusing to purge" in r.stderr
    r = admin("dead", "list", "--json", qd)
    assert len(json_lines(r.stdout)) == 3
    r = admin("dead", "purge", "--yes", qd)
    assert r.returncode == 0 and "3 dead letters removed" in r.stdout, r.stderr
    assert "no dead letters" in admin("dead", "list", qd).stdout
    q = ferrow.FerrowCore(str(qd))
    assert q.stats()["total"] == 1  # the queue itself is untouched
    del q


# -- prometheus -------------------------------------------------------------------------


def parse_prometheus(text):
    """({family: type}, {(sample name, le or None): value, "queue": label}),
    read by prometheus_client's own parser."""
    from prometheus_client.parser import text_string_to_metric_families

    types, samples = {}, {}
    for family in text_string_to_metric_families(text):
        types[family.name] = family.type
        for sample in family.samples:
            le = sample.labels.get("le")
            samples[(sample.name, None if le is None else str(float(le)))] = sample.value
            samples.setdefault("queue", sample.labels["queue"])
    return types, samples


def test_stats_prometheus_matches_stats_and_the_replayed_log(tmp_path):
    qd = tmp_path / "q"
    q = ferrow.FerrowCore(str(qd))
    q.enqueue(b"old, leased")                       # 0: oldest, in flight
    time.sleep(0.5)
    t1 = time.time()
    q.enqueue_batch([b"a", b"b", b"c", b"d"])       # 1-4
    assert q.dequeue(lease_ms=LONG_LEASE)[0] == 0
    for i in range(3):                              # 1 ends ready with 3 deliveries
        seq, _, deliveries, _ = q.dequeue(lease_ms=LONG_LEASE)
        assert (seq, deliveries) == (1, i + 1) and q.nack(1)
    assert q.ack(4)
    expected = q.stats()
    del q
    r = admin("stats", "--prometheus", qd)
    t2 = time.time()
    assert r.returncode == 0, r.stderr
    types, s = parse_prometheus(r.stdout)
    assert s["queue"] == str(qd)
    assert types["ferrow_deliveries"] == "histogram"
    assert types["ferrow_acked"] == "counter" and types["ferrow_ready"] == "gauge"
    assert s[("ferrow_ready", None)] == expected["ready"] == 3
    assert s[("ferrow_in_flight", None)] == expected["in_flight"] == 1
    assert s[("ferrow_messages", None)] == expected["total"] == 4
    for key in ("enqueued_total", "acked_total", "requeued_total", "dead_total", "next_seq",
                "live_bytes", "log_bytes", "generation"):
        assert s[("ferrow_" + key, None)] == expected[key], key
    # Ready now: 1 (3 deliveries), 2 and 3 (none); 0 is leased.
    buckets = {le: s[("ferrow_deliveries_bucket", str(float(le)))]
               for le in ("0", "1", "2", "3", "5", "10", "+Inf")}
    assert buckets == {"0": 2, "1": 3, "2": 3, "3": 4, "5": 4, "10": 4, "+Inf": 4}
    assert s[("ferrow_deliveries_count", None)] == 4 and s[("ferrow_deliveries_sum", None)] == 4
    # The oldest ready message is 1, not the older leased 0.
    age = s[("ferrow_oldest_ready_age_seconds", None)]
    assert 0 <= age <= t2 - t1 + 0.01

    empty = tmp_path / "empty"
    ferrow.FerrowCore(str(empty)).enqueue(b"x")
    q = ferrow.FerrowCore(str(empty))
    assert q.ack(0)
    del q
    _, s = parse_prometheus(admin("stats", "--prometheus", empty).stdout)
    assert s[("ferrow_oldest_ready_age_seconds", None)] == 0
    assert s[("ferrow_deliveries_bucket", "inf")] == 0 and s[("ferrow_deliveries_count", None)] == 0


@pytest.mark.parametrize("command, shown", [
    ("dump", ["seq=18446744073709551615", "deliveries=4294967295"]),
    ("peek", ["18446744073709551614  deliveries=4294967295", "18446744073709551615  deliveries=0"]),
    ("stats", [r"next_seq\s+18446744073709551615"]),
])
def test_ids_and_counts_at_their_limits_are_shown_exactly(tmp_path, command, shown):
    top = 2**64 - 1
    tmp_path.joinpath("queue.log").write_bytes(encode_log([
        (ENQ, (top - 1, 1000, b"a")), (ENQ, (top, 1001, b"b")), (LEASE, (top - 1, 0, 2**32 - 1))]))
    r = admin(command, tmp_path)
    assert r.returncode == 0, r.stderr
    for text in shown:
        assert re.search(text, r.stdout), (text, r.stdout)
