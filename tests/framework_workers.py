"""Worker processes of a task framework for the integration suites: started
in a session of their own so that a SIGKILL takes the whole pool, and a log
of task runs ("start ID REDELIVERED" / "done ID" lines) that the tasks append
to and the tests read back.
"""
import collections
import os
import signal
import subprocess
import time

WAIT_S = 60


def wait_until(condition, what, procs=(), timeout=WAIT_S):
    """Polls `condition` until it holds; fails naming `what` after `timeout`
    seconds or as soon as one of `procs` exited."""
    deadline = time.monotonic() + timeout
    while not condition():
        for proc in procs:
            if proc.poll() is not None:
                raise AssertionError("{}: worker exited with {} (log {})".format(
                    what, proc.returncode, proc.log_path))
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def start_worker(argv, cwd, env, name):
    log_path = os.path.join(cwd, name + ".log")
    with open(log_path, "ab") as log:
        proc = subprocess.Popen(argv, cwd=cwd, env=dict(os.environ, **env), stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    proc.log_path = log_path
    return proc


def kill_pool(proc):
    """SIGKILL to the worker and every process of its pool."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait(timeout=WAIT_S)


def stop_worker(proc):
    """A warm shutdown (SIGTERM), waited for; SIGKILL if it hangs."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=WAIT_S)
        except subprocess.TimeoutExpired:
            kill_pool(proc)
    try:  # pool processes left behind by a worker that died
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


class FrameworkRun:
    """One test's worker set-up: the app module (from `app_source`) in the
    test's directory, its run log and hold file, and the environment that
    the app reads them from."""

    def __init__(self, tmp_path, app_name, app_source, broker, queue, target, **env):
        self.dir = str(tmp_path)
        self.queue = queue
        self.target = target
        with open(os.path.join(self.dir, app_name + ".py"), "w") as f:
            f.write(TASK_BODY + app_source)
        self.runs = RunLog(os.path.join(self.dir, "runs"))
        self.hold = os.path.join(self.dir, "hold")
        self.env = {"TEST_BROKER": broker, "TEST_QUEUE": queue, "TEST_RUNS": self.runs.path,
                    "TEST_HOLD": self.hold, **{k: str(v) for k, v in env.items()}}

    def stats(self):
        from ferrow_tools.targets import open_queue

        return open_queue(self.target).stats()


Runs = collections.namedtuple("Runs", "starts done flags started_at")


class RunLog:
    """What the tasks wrote: how often each id started, which finished, the
    redelivered flag of each start and the time of the first."""

    def __init__(self, path):
        self.path = path

    def read(self):
        runs = Runs(collections.Counter(), set(), collections.defaultdict(list), {})
        if os.path.exists(self.path):
            with open(self.path) as f:
                for line in f.read().splitlines():
                    kind, task_id, *rest = line.split()
                    task_id = int(task_id)
                    if kind == "start":
                        runs.starts[task_id] += 1
                        runs.flags[task_id].append(rest[0] == "1")
                        runs.started_at.setdefault(task_id, float(rest[1]))
                    else:
                        runs.done.add(task_id)
        return runs

    def running(self):
        runs = self.read()
        return set(runs.starts) - runs.done


# The task body both frameworks run: it notes its start, waits while the
# hold file holds a number no greater than its id (the tests use it to have
# tasks running at a kill, whatever the pace of the worker), and notes that
# it finished. Appends of one short line are atomic.
TASK_BODY = '''
import os, time

def held_from():
    try:
        with open(os.environ["TEST_HOLD"]) as f:
            return int(f.read())
    except (OSError, ValueError):
        return float("inf")

def run_task(task_id, redelivered):
    with open(os.environ["TEST_RUNS"], "a") as f:
        f.write("start {} {} {}\\n".format(task_id, int(bool(redelivered)), time.time()))
    deadline = time.monotonic() + 120
    while task_id >= held_from() and time.monotonic() < deadline:
        time.sleep(0.01)
    with open(os.environ["TEST_RUNS"], "a") as f:
        f.write("done {}\\n".format(task_id))
'''


def kill_in_the_middle(run, count, concurrency, acked_at_start):
    """Starts a worker (`run.start`) on `count` queued tasks whose second
    half is held: once `concurrency` of those run, waits until the queue has
    recorded every acknowledgement due by then (one per finished task, or per
    started one when tasks are acknowledged as they start) and kills the
    worker's whole pool. A second worker then finishes what is left.
    Returns the ids running at the kill and the run log."""
    runs, hold, start, stats = run.runs, run.hold, run.start, run.stats
    with open(hold, "w") as f:
        f.write(str(count // 2))
    first = start("first")
    try:
        def held_ones_run():
            running = runs.running()
            return len(running) == concurrency and min(running) >= count // 2

        wait_until(held_ones_run, "tasks held at the kill", [first])

        def acks_recorded():
            now = runs.read()
            return stats()["acked_total"] == len(now.starts if acked_at_start else now.done)

        wait_until(acks_recorded, "the acknowledgements before the kill", [first])
        running = runs.running()
    finally:
        kill_pool(first)
    os.remove(hold)
    expected = set(range(count)) - (running if acked_at_start else set())
    second = start("second")
    try:
        wait_until(lambda: runs.read().done >= expected and stats()["total"] == 0,
                   "the second worker to finish the rest", [second])
    finally:
        stop_worker(second)
    return running, runs.read()
