"""The programs in examples/: each one runs to completion in a child process
within a time bound, reports what a user is promised, and leaves behind a
queue that says the same when it is opened afresh. Without --dir an example
keeps its queues in a temporary directory that it removes again."""
import ast
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import ferrow

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
TIMEOUT_S = 300
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)),
                os.environ.get("PYTHONPATH")) if p))
TESTED = {"worker_pool.py", "crash_redelivery.py", "batch.py", "worker.py"}


def run_example(name, *args, env=CHILD_ENV):
    """Runs examples/<name> and returns (exit status, stdout, stderr). The
    example runs in a session of its own, so that on a timeout it is killed
    together with every process it started."""
    proc = subprocess.Popen([sys.executable, str(EXAMPLES / name), *map(str, args)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        out, err = proc.communicate(timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"{name} did not finish within {TIMEOUT_S} s:\n{out}\n{err}")
    return proc.returncode, out, err


def fresh_stats(qdir):
    q = ferrow.FerrowCore(str(qdir))
    report = q.verify_integrity()
    assert report["ok"] is True, report
    return q, q.stats()


def is_main_test(test):
    """Whether an if-statement's condition is `__name__ == "__main__"`."""
    return (isinstance(test, ast.Compare) and isinstance(test.left, ast.Name)
            and test.left.id == "__name__" and len(test.comparators) == 1
            and isinstance(test.ops[0], ast.Eq)
            and isinstance(test.comparators[0], ast.Constant)
            and test.comparators[0].value == "__main__")


def test_every_example_is_tested_and_runnable():
    names = {p.name for p in EXAMPLES.glob("*.py")}
    assert names == TESTED
    for name in names:
        tree = ast.parse((EXAMPLES / name).read_text())
        assert ast.get_docstring(tree), f"{name} has no module docstring"
        guards = [node for node in tree.body if isinstance(node, ast.If) and is_main_test(node.test)]
        assert len(guards) == 1, f"{name} has no `if __name__ == \"__main__\":`"


def test_worker_pool_processes_every_job_exactly_once(tmp_path):
    qdir = tmp_path / "queue"
    jobs, workers = 300, 3
    status, out, err = run_example("worker_pool.py", "--dir", qdir, "--jobs", jobs,
                                   "--workers", workers, "--producers", 2)
    assert status == 0, out + err
    assert "PROBLEM" not in out
    per_worker = {int(w): int(n) for w, n in re.findall(r"^  worker-(\d+): (\d+) jobs$", out, re.M)}
    assert sorted(per_worker) == list(range(workers)), out
    assert sum(per_worker.values()) == jobs, out
    assert f"processed {jobs} of {jobs} jobs" in out
    assert "every job was processed exactly once" in out

    # The log agrees: every id handed out was acknowledged once, none was
    # delivered twice, nothing is left.
    q, stats = fresh_stats(qdir)
    assert (stats["next_seq"], stats["enqueued_total"], stats["acked_total"]) == (jobs, jobs, jobs)
    assert (stats["total"], stats["requeued_total"], stats["dead_total"]) == (0, 0, 0)
    assert q.dequeue() is None


def test_crash_demo_redelivers_what_the_dead_worker_held(tmp_path):
    qdir = tmp_path / "queue"
    status, out, err = run_example("crash_redelivery.py", "--dir", qdir)
    assert status == 0, out + err
    assert "PROBLEM" not in out

    producer_line = re.search(r"^producer: enqueued (.*)$", out, re.M)
    assert producer_line, out
    enqueued = {int(s) for s in re.findall(r"#(\d+) b'", producer_line.group(1))}
    leased_by_a = {int(s): int(d) for s, d in
                   re.findall(r"^worker A \(pid \d+\): leased #(\d+) .*, delivery (\d+),", out, re.M)}
    acked_by_a = {int(s) for s in
                  re.findall(r"^worker A \(pid \d+\): finished #(\d+) and acked it: True$", out, re.M)}
    got_by_b = {int(s): int(d) for s, d in
                re.findall(r"^worker B \(pid \d+\): got #(\d+) .*, delivery (\d+)", out, re.M)}
    acked_by_b = {int(s) for s in
                  re.findall(r"^worker B \(pid \d+\): finished #(\d+) and acked it: True$", out, re.M)}
    assert enqueued == {0, 1, 2, 3}, out
    assert set(leased_by_a.values()) == {1} and len(leased_by_a) == 3, out
    assert len(acked_by_a) == 1 and acked_by_a < leased_by_a.keys(), out
    assert re.search(r"^parent: worker A died from SIGKILL \(exit code -9\)", out, re.M), out

    crashed = leased_by_a.keys() - acked_by_a
    # Exactly the jobs A held unacknowledged came back, each with its second
    # delivery; the job nobody had leased came with its first; the job A
    # acknowledged never came back.
    assert {seq for seq, d in got_by_b.items() if d == 2} == crashed, out
    assert {seq: d for seq, d in got_by_b.items() if d != 2} == \
        {seq: 1 for seq in enqueued - leased_by_a.keys()}, out
    assert acked_by_b == got_by_b.keys() == enqueued - acked_by_a, out
    assert "nothing lost" in out.splitlines()[-1]

    # The log agrees: four acks, the two lapsed leases counted as requeues.
    q, stats = fresh_stats(qdir)
    assert (stats["total"], stats["next_seq"], stats["acked_total"]) == (0, 4, 4)
    assert (stats["requeued_total"], stats["dead_total"]) == (len(crashed), 0)
    assert q.dequeue() is None


def test_batch_example_acks_the_good_and_dead_letters_the_bad(tmp_path):
    messages, batch, bad = 5000, 250, 5  # one in 1000 is bad
    status, out, err = run_example("batch.py", "--dir", tmp_path, "--messages", messages,
                                   "--batch", batch, "--consumers", 2)
    assert status == 0, out + err
    assert "PROBLEM" not in out
    assert f"producer: {messages} messages in {messages // batch} enqueue_batch calls" in out
    acked = [int(n) for n in re.findall(r"^  consumer-\d+: \d+ dequeue_batch calls, (\d+) "
                                        r"acknowledged with ack_batch", out, re.M)]
    assert len(acked) == 2 and sum(acked) == messages - bad, out

    q, stats = fresh_stats(tmp_path / "jobs")
    assert (stats["total"], stats["next_seq"]) == (0, messages)
    assert (stats["acked_total"], stats["dead_total"]) == (messages - bad, bad)
    # Each bad message was handed back twice before its third delivery dropped it.
    assert stats["requeued_total"] == 2 * bad
    dead, _ = fresh_stats(tmp_path / "dead")
    bodies = sorted(m[1] for m in dead.dequeue_batch(100))
    assert bodies == sorted(b"bad %d: " % i + b"x" * (i % 64)
                            for i in range(999, messages, 1000))


def test_worker_example_retries_dead_letters_and_stops_on_sigterm(tmp_path):
    jobs, workers = 30, 2
    status, out, err = run_example("worker.py", "--dir", tmp_path, "--jobs", jobs,
                                   "--workers", workers)
    assert status == 0, out + err
    assert "PROBLEM" not in out
    assert len(re.findall(r"^  worker \d+: stopped cleanly", out, re.M)) == workers, out
    assert re.search(r"^long job #0 .*: deliveries \[1\]$", out, re.M), out
    assert "every worker stopped cleanly on SIGTERM" in out

    # The logs agree: the long job and the good ones acknowledged, the poison
    # message (id 1) acknowledged after three deliveries and kept as a dead letter.
    q, stats = fresh_stats(tmp_path / "jobs")
    assert (stats["total"], stats["next_seq"], stats["acked_total"]) == (0, jobs + 2, jobs + 2)
    dead, dead_stats = fresh_stats(tmp_path / "jobs.dead")
    assert dead_stats["total"] == 1
    letter = dead.dequeue()[1]
    header, _, body = letter.partition(b"\n")
    assert b'"original_id": 1' in header and b'"deliveries": 3' in header
    assert body == b"poison: \x00\xff cannot be parsed"


@pytest.mark.parametrize("name, args", [
    ("worker_pool.py", ["--jobs", 20, "--workers", 2, "--producers", 1]),
    ("worker.py", ["--jobs", 5, "--workers", 1]),
    ("crash_redelivery.py", []),
    ("batch.py", ["--messages", 1200, "--batch", 100, "--consumers", 1]),
])
def test_examples_remove_their_temporary_directory(tmp_path, name, args):
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    status, out, err = run_example(name, *args, env=dict(CHILD_ENV, TMPDIR=str(scratch)))
    assert status == 0, out + err
    assert str(scratch) in out  # the queue did live there
    assert list(scratch.iterdir()) == []


@pytest.mark.parametrize("name, queue", [("worker_pool.py", ""), ("crash_redelivery.py", ""),
                                         ("batch.py", "jobs"), ("worker.py", "jobs")])
def test_examples_refuse_a_directory_holding_messages(tmp_path, name, queue):
    qdir = tmp_path / queue
    ferrow.FerrowCore(str(qdir)).enqueue(b"someone else's message")
    status, out, _ = run_example(name, "--dir", tmp_path)
    assert status == 1
    assert "already holds messages" in out
    q = ferrow.FerrowCore(str(qdir))
    assert q.stats()["enqueued_total"] == 1
    assert q.dequeue()[1] == b"someone else's message"


def readme_examples(heading):
    """The Python blocks of the README section under `heading`."""
    text = (EXAMPLES.parent / "README.md").read_text()
    section = text.split("\n" + heading + "\n", 1)[1].split("\n#", 1)[0]
    return re.findall(r"^```python\n(.*?)^```$", section, re.M | re.S)


@pytest.mark.parametrize("heading", ["## A first queue", "### asyncio"])
def test_readme_queue_examples_run_and_settle_every_message(tmp_path, heading):
    (code,) = readme_examples(heading)
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=CHILD_ENV,
                         capture_output=True, text=True, timeout=TIMEOUT_S)
    assert out.returncode == 0, out.stdout + out.stderr
    # one line per message taken: its id, its decoded body, its delivery count
    taken = [line.split(" {")[0] for line in out.stdout.splitlines() if " {" in line]
    assert taken == ["0", "1", "2"], out.stdout
    q, stats = fresh_stats(tmp_path / "jobs")
    assert (stats["total"], stats["acked_total"]) == (0, 3)
