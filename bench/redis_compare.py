"""The Redis queue next to what a user of the same server would do instead.

One run, one redis-server per append-only policy (everysec, then always),
100-byte bodies, every figure measured in this run on this server:

- full cycles, one message at a time: Ferrow's enqueue + dequeue + ack next
  to a list (LPUSH + LMOVE to a processing list + LREM, which keeps no lease,
  no delivery count and no order on redelivery) and a stream with a consumer
  group (XADD + XREADGROUP + XACK);
- batch cycles of 100: enqueue_batch + dequeue_batch + ack_batch next to the
  same idioms pipelined;
- end-to-end no-op jobs, one worker process each: ferrow_tools' Worker next
  to an RQ SimpleWorker and a Celery worker (solo pool, acks_late), from the
  first enqueue to the last job done.

Needs redis-server; RQ and Celery are optional (`make compare` installs them).
"""
import os
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from conftest import RedisServer  # noqa: E402

from ferrow_tools.targets import open_queue  # noqa: E402

BODY = b"x" * 100
CYCLES = int(os.environ.get("FERROW_BENCH_CYCLES", "5000"))
BATCH = 100
BATCH_ROUNDS = int(os.environ.get("FERROW_BENCH_BATCH_ROUNDS", "50"))
JOBS = int(os.environ.get("FERROW_BENCH_JOBS", "2000"))
DRAIN_TIMEOUT_S = 300

JOBS_MODULE = '''
import os
from celery import Celery

def noop(*args):
    return None

app = Celery("ferrow_bench", broker=os.environ["BENCH_REDIS"])
app.conf.task_acks_late = True
app.conf.worker_prefetch_multiplier = 1
app.conf.task_ignore_result = True
celery_noop = app.task(name="noop")(noop)
'''


def rate(n, seconds):
    return n / seconds if seconds > 0 else float("inf")


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def ferrow_cycles(url):
    q = open_queue(url, sync_interval_ms=0, accept_server_policy=True)

    def run():
        for _ in range(CYCLES):
            q.enqueue(BODY)
            q.ack(q.dequeue()[0])
    return rate(CYCLES, timed(run))


def list_cycles(r):
    def run():
        for _ in range(CYCLES):
            r.lpush("bench:list", BODY)
            body = r.lmove("bench:list", "bench:processing", "RIGHT", "LEFT")
            r.lrem("bench:processing", 1, body)
    return rate(CYCLES, timed(run))


def stream_cycles(r):
    r.xgroup_create("bench:stream", "g", id="0", mkstream=True)

    def run():
        for _ in range(CYCLES):
            r.xadd("bench:stream", {"b": BODY})
            (_, entries), = r.xreadgroup("g", "c", {"bench:stream": ">"}, count=1)
            r.xack("bench:stream", "g", entries[0][0])
    return rate(CYCLES, timed(run))


def ferrow_batches(url):
    q = open_queue(url, sync_interval_ms=0, accept_server_policy=True)
    bodies = [BODY] * BATCH

    def run():
        for _ in range(BATCH_ROUNDS):
            q.enqueue_batch(bodies)
            q.ack_batch([m[0] for m in q.dequeue_batch(BATCH)])
    return rate(BATCH * BATCH_ROUNDS, timed(run))


def list_batches(r):
    def run():
        for _ in range(BATCH_ROUNDS):
            r.lpush("bench:blist", *([BODY] * BATCH))
            pipe = r.pipeline(transaction=False)
            for _ in range(BATCH):
                pipe.lmove("bench:blist", "bench:bprocessing", "RIGHT", "LEFT")
            bodies = pipe.execute()
            pipe = r.pipeline(transaction=False)
            for body in bodies:
                pipe.lrem("bench:bprocessing", 1, body)
            pipe.execute()
    return rate(BATCH * BATCH_ROUNDS, timed(run))


def stream_batches(r):
    r.xgroup_create("bench:bstream", "g", id="0", mkstream=True)

    def run():
        for _ in range(BATCH_ROUNDS):
            pipe = r.pipeline(transaction=False)
            for _ in range(BATCH):
                pipe.xadd("bench:bstream", {"b": BODY})
            pipe.execute()
            (_, entries), = r.xreadgroup("g", "c", {"bench:bstream": ">"}, count=BATCH)
            r.xack("bench:bstream", "g", *[e[0] for e in entries])
    return rate(BATCH * BATCH_ROUNDS, timed(run))


def wait_until(done, what, worker):
    deadline = time.monotonic() + DRAIN_TIMEOUT_S
    while not done():
        if worker.poll() is not None:
            raise RuntimeError("{}: the worker exited with {}".format(what, worker.returncode))
        if time.monotonic() > deadline:
            raise RuntimeError("{}: the jobs were not done in {} s".format(what, DRAIN_TIMEOUT_S))
        time.sleep(0.005)


def start_worker(argv, env, workdir):
    return subprocess.Popen(argv, cwd=workdir, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def stop_worker(proc):
    proc.terminate()
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def ferrow_jobs(url, env, workdir):
    q = open_queue(url, accept_server_policy=True)
    code = textwrap.dedent("""
        import sys
        from ferrow_tools.worker import Worker
        Worker(sys.argv[1], lambda m: None, lease_ms=30000).run()
    """)
    worker = start_worker([sys.executable, "-c", code, url], env, workdir)
    time.sleep(1.0)  # the worker imports and connects before the clock starts
    try:
        def run():
            for _ in range(JOBS):
                q.enqueue(BODY)
            wait_until(lambda: q.stats()["acked_total"] >= JOBS, "ferrow", worker)
        return rate(JOBS, timed(run))
    finally:
        stop_worker(worker)


def rq_jobs(r, env, workdir):
    import rq
    from rq.registry import FinishedJobRegistry

    from ferrow_bench_jobs import noop
    queue = rq.Queue("bench", connection=r)
    worker = start_worker([sys.executable, "-m", "rq.cli", "worker", "-w", "rq.worker.SimpleWorker",
                           "--url", env["BENCH_REDIS"], "bench"], env, workdir)
    time.sleep(2.0)
    registry = FinishedJobRegistry("bench", connection=r)
    try:
        def run():
            for _ in range(JOBS):
                queue.enqueue(noop, BODY)
            wait_until(lambda: registry.count >= JOBS, "rq", worker)
        return rate(JOBS, timed(run))
    finally:
        stop_worker(worker)


def celery_jobs(r, env, workdir):
    import importlib

    import ferrow_bench_jobs
    # A fresh app, so that the tasks go to this run's server.
    celery_noop = importlib.reload(ferrow_bench_jobs).celery_noop
    worker = start_worker([sys.executable, "-m", "celery", "-A", "ferrow_bench_jobs", "worker",
                           "--pool=solo", "--concurrency=1", "--loglevel=WARNING",
                           "--without-gossip", "--without-mingle", "--without-heartbeat"],
                          env, workdir)
    time.sleep(4.0)
    try:
        def run():
            for _ in range(JOBS):
                celery_noop.delay(BODY)
            wait_until(lambda: r.llen("celery") == 0 and r.hlen("unacked") == 0, "celery", worker)
        return rate(JOBS, timed(run))
    finally:
        stop_worker(worker)


def have(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def one_policy(policy, workdir):
    import redis
    server = RedisServer(os.path.join(workdir, "redis-" + policy),
                         {"appendonly": "yes", "appendfsync": policy}).start()
    try:
        r = redis.Redis(port=server.port)
        # Each run opens the server it was given, whatever its sync policy.
        url = server.url("bench", accept_server_policy=1)
        os.environ["BENCH_REDIS"] = "redis://127.0.0.1:{}/0".format(server.port)
        env = dict(os.environ,
                   PYTHONPATH=workdir + os.pathsep + os.environ.get("PYTHONPATH", ""))
        rows = {}
        rows["full cycles"] = {"ferrow": ferrow_cycles(server.url("cycles")),
                               "list": list_cycles(r), "stream": stream_cycles(r)}
        rows["batch cycles (100)"] = {"ferrow": ferrow_batches(server.url("batches")),
                                      "list": list_batches(r), "stream": stream_batches(r)}
        jobs = {"ferrow": ferrow_jobs(url, env, workdir)}
        if have("rq"):
            jobs["rq"] = rq_jobs(r, env, workdir)
        if have("celery"):
            jobs["celery"] = celery_jobs(r, env, workdir)
        rows["no-op jobs end to end"] = jobs
        return rows
    finally:
        server.stop()


def main():
    workdir = tempfile.mkdtemp(prefix="ferrow-redis-bench-")
    with open(os.path.join(workdir, "ferrow_bench_jobs.py"), "w") as f:
        f.write(JOBS_MODULE if have("celery") else "def noop(*args):\n    return None\n")
    sys.path.insert(0, workdir)
    version = subprocess.run(["redis-server", "--version"], capture_output=True,
                             text=True).stdout.split()[2].replace("v=", "")
    print("Redis queue comparison: redis-server {}, {}-byte bodies, {} cycles, {} batches of "
          "{}, {} jobs".format(version, len(BODY), CYCLES, BATCH_ROUNDS, BATCH, JOBS))
    print()
    print("| appendfsync | measure | Ferrow (msg/s) | baseline | baseline (msg/s) | ratio |")
    print("|---|---|---|---|---|---|")
    for policy in ("everysec", "always"):
        for measure, figures in one_policy(policy, workdir).items():
            ours = figures.pop("ferrow")
            for name, theirs in figures.items():
                label = {"list": "list idiom", "stream": "stream idiom", "rq": "RQ",
                         "celery": "Celery (acks_late)"}[name]
                if measure.startswith("batch") and name in ("list", "stream"):
                    label += ", pipelined"
                print("| {} | {} | {:,.0f} | {} | {:,.0f} | {:.2f}x |".format(
                    policy, measure, ours, label, theirs, ours / theirs))
    subprocess.run(["rm", "-rf", workdir], check=False)


if __name__ == "__main__":
    main()
