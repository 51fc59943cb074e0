"""Celery and dramatiq on Ferrow next to the same frameworks on their Redis
brokers, in one run on one machine.

No-op tasks end to end: the clock runs from the first enqueue to the end of
the last task. One worker process running one task at a time (Celery's solo
pool, dramatiq with one process and one thread), each framework's default
prefetch, results ignored; Celery's worker with its remote control (mailbox,
mingle, gossip, heartbeats) and task events (-E) on, on both brokers. Tasks
run in order there, so the last one (it touches a file) marks the end. The
Ferrow queues live in a directory on the real filesystem (build/bench), with
an fsync per record put (the leases and acknowledgements of Celery's worker
written at once and synced with the next put, consumer_sync_interval_ms=1000),
with an fsync per lease and acknowledgement too (Celery's default,
consumer_sync_interval_ms=0), and
with sync_interval_ms=1000; the Redis server keeps an append-only file with
appendfsync everysec. Rounds alternate between the brokers; the table shows
medians. Needs redis-server, celery and dramatiq (`make compare`
installs the frameworks).
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, HERE)

from _common import DEFAULT_BENCH_DIR, filesystem_of  # noqa: E402
from conftest import RedisServer  # noqa: E402

JOBS = int(os.environ.get("FERROW_BENCH_JOBS", "2000"))
ROUNDS = int(os.environ.get("FERROW_BENCH_ROUNDS", "3"))
TIMEOUT_S = 300
RESULTS = os.path.join(HERE, "results", "frameworks.md")

# BENCH_BROKER: "ferrow:///dir", "ferrow+..." or "redis://...";
# BENCH_SYNC: the Ferrow queues' sync_interval_ms; BENCH_CONSUMER_SYNC: Celery's
# consumer_sync_interval_ms.
APPS = {
    "celery": '''
import os
import ferrow_tools.integrations.kombu_transport
from celery import Celery

app = Celery("bench", broker=os.environ["BENCH_BROKER"])
app.conf.task_ignore_result = True
app.conf.broker_transport_options = (
    {"sync_interval_ms": int(os.environ["BENCH_SYNC"]),
     "consumer_sync_interval_ms": int(os.environ["BENCH_CONSUMER_SYNC"])}
    if os.environ["BENCH_BROKER"].startswith("ferrow") else {})

@app.task(name="noop")
def noop():
    pass

@app.task(name="mark")
def mark(path):
    open(path, "w").close()
''',
    "dramatiq": '''
import os
import dramatiq

url = os.environ["BENCH_BROKER"]
if url.startswith("redis://"):
    from dramatiq.brokers.redis import RedisBroker
    broker = RedisBroker(url=url)
else:
    from ferrow_tools.integrations.dramatiq_broker import FerrowBroker
    broker = FerrowBroker(url, sync_interval_ms=int(os.environ["BENCH_SYNC"]))
dramatiq.set_broker(broker)

@dramatiq.actor
def noop():
    pass

@dramatiq.actor
def mark(path):
    open(path, "w").close()
''',
}

WORKERS = {
    # Remote control (mingle, gossip, heartbeats, the worker's mailbox) on, as
    # Celery runs by default, and task events on (-E).
    "celery": ["-m", "celery", "-A", "bench_celery_app", "worker", "--pool=solo",
               "--loglevel=WARNING", "-E"],
    "dramatiq": ["-m", "dramatiq", "bench_dramatiq_app", "--processes", "1", "--threads", "1"],
}

# The producer: sends a warm-up marker and waits for it (the worker is up),
# then times JOBS no-ops and a last marker.
PRODUCER = '''
import os, sys, time
framework, marker, jobs = sys.argv[1], sys.argv[2], int(sys.argv[3])
if framework == "celery":
    from bench_celery_app import noop, mark
    send_noop, send_mark = noop.delay, mark.delay
else:
    from bench_dramatiq_app import noop, mark
    send_noop, send_mark = noop.send, mark.send

def wait(path):
    deadline = time.monotonic() + {timeout}
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            sys.exit("the worker did not run the tasks in time")
        time.sleep(0.001)

send_mark(marker + ".ready")
wait(marker + ".ready")
start = time.perf_counter()
for _ in range(jobs):
    send_noop()
send_mark(marker)
wait(marker)
print(time.perf_counter() - start)
'''.replace("{timeout}", str(TIMEOUT_S))


def one_round(framework, broker, sync, workdir, n, consumer_sync=1000):
    env = dict(os.environ, BENCH_BROKER=broker, BENCH_SYNC=str(sync),
               BENCH_CONSUMER_SYNC=str(consumer_sync),
               PYTHONPATH=workdir + os.pathsep + os.environ.get("PYTHONPATH", ""))
    worker = subprocess.Popen([sys.executable, *WORKERS[framework]], cwd=workdir, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    marker = os.path.join(workdir, "done-{}".format(n))
    try:
        out = subprocess.run([sys.executable, "-c", PRODUCER, framework, marker, str(JOBS)],
                             cwd=workdir, env=env, capture_output=True, text=True,
                             timeout=TIMEOUT_S * 2)
        if out.returncode != 0:
            raise RuntimeError("{} on {}: {}".format(framework, broker, out.stderr[-2000:]))
        return JOBS / float(out.stdout.split()[-1])
    finally:
        worker.terminate()
        try:
            worker.wait(60)
        except subprocess.TimeoutExpired:
            os.killpg(worker.pid, 9)
            worker.wait()


def fsync_rate(directory, count=200):
    """Appends of 54 bytes, each forced to disk, per second: what an fsync
    costs on this machine right now (other processes' I/O changes it many
    times over), measured before and after the rounds."""
    path = os.path.join(directory, "fsync-probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        start = time.perf_counter()
        for _ in range(count):
            os.write(fd, b"x" * 54)
            os.fsync(fd)
        return count / (time.perf_counter() - start)
    finally:
        os.close(fd)
        os.remove(path)


def main():
    os.makedirs(DEFAULT_BENCH_DIR, exist_ok=True)
    workdir = tempfile.mkdtemp(prefix="framework-bench-", dir=DEFAULT_BENCH_DIR)
    for framework, app in APPS.items():
        with open(os.path.join(workdir, "bench_{}_app.py".format(framework)), "w") as f:
            f.write(app)
    server = RedisServer(os.path.join(workdir, "redis"),
                         {"appendonly": "yes", "appendfsync": "everysec"}).start()
    redis_url = "redis://127.0.0.1:{}/0".format(server.port)
    versions = {}
    for name in ("celery", "kombu", "dramatiq"):
        versions[name] = __import__(name).__version__
    rows = []
    fsyncs = [fsync_rate(workdir)]
    try:
        n = 0
        for framework in APPS:
            rates = {"default": [], "acks": [], "1000": [], "redis": []}
            if framework != "celery":
                del rates["acks"]
            for _ in range(ROUNDS):
                for column in rates:
                    n += 1
                    if column == "redis":
                        broker, sync = redis_url, 0
                    else:
                        base = os.path.join(workdir, "queues-{}".format(n))
                        broker = ("ferrow://" + base) if framework == "celery" else base
                        sync = 1000 if column == "1000" else 0
                    rates[column].append(one_round(framework, broker, sync, workdir, n,
                                                   0 if column == "acks" else 1000))
            rows.append((framework, {k: statistics.median(v) for k, v in rates.items()}))
        fsyncs.append(fsync_rate(workdir))
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    redis_version = subprocess.run(["redis-server", "--version"], capture_output=True,
                                   text=True).stdout.split()[2].replace("v=", "")
    mount, fstype = filesystem_of(DEFAULT_BENCH_DIR)
    lines = [
        "No-op tasks end to end, {} per round, median of {} rounds; one worker process running "
        "one task at a time, default prefetch. Celery {} (kombu {}), dramatiq {}, redis-server {} "
        "(appendfsync everysec); Ferrow queues on {} ({}); a 54-byte append with fsync ran "
        "{:,.0f}/s before the rounds and {:,.0f}/s after (the Ferrow columns with an fsync "
        "follow it).".format(
            JOBS, ROUNDS, versions["celery"], versions["kombu"], versions["dramatiq"],
            redis_version, fstype, mount, *fsyncs),
        "",
        "| framework | Ferrow, fsync per record put (tasks/s) | Ferrow, fsync per lease and "
        "acknowledgement too (tasks/s) | Ferrow, sync_interval_ms=1000 (tasks/s) "
        "| Redis broker (tasks/s) | ratio, fsync per put | ratio, fsync per lease and "
        "acknowledgement too | ratio, 1000 ms |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for framework, r in rows:
        acks = r.get("acks")
        lines.append("| {} | {:,.0f} | {} | {:,.0f} | {:,.0f} | {:.2f}x | {} | {:.2f}x |".format(
            framework, r["default"], "-" if acks is None else "{:,.0f}".format(acks), r["1000"],
            r["redis"], r["default"] / r["redis"],
            "-" if acks is None else "{:.2f}x".format(acks / r["redis"]), r["1000"] / r["redis"]))
    text = "\n".join(lines) + "\n"
    print(text)
    with open(RESULTS, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
