"""What watching costs: the dashboard (`ferrow-admin serve`) beside a busy
queue, and how fast /metrics answers for many queues.

Run: python bench/dashboard_bench.py   (after `make install`)

(1) Two producer and two consumer processes move N messages through one
queue directory with the default policy (a sync per call), as in
multiprocess_bench.py, in rounds that alternate between no dashboard and a
dashboard serving the base directory with a viewer that loads the overview
(the page and its style sheet) every --refresh seconds: 1 s by default, five
times as often as the page refreshes itself. The dashboard is started before
and stopped after each of its rounds, outside the timed part; its own sampler
reads every queue every 10 s as usual. The ratio is the median rate with the
dashboard over the median rate without, from the same run.

The machine's other work makes single rounds vary widely; the dashboard
process's own CPU time over its rounds is printed too, as the share of one
core it took from the queue's processes. With --dir on a tmpfs (/dev/shm)
syncs cost nothing and the rounds are bound by the processor, which is where
that share weighs most.

(2) A base directory of 100 queues, each holding 200 messages of which 20
are leased, behind 200 acknowledged ones: /metrics is fetched once (the
first reads every log whole), then --scrapes times; the median and the 95th
percentile of the wall time per scrape are printed.
"""
import argparse
import multiprocessing
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import ferrow

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import DEFAULT_BENCH_DIR, Scratch  # noqa: E402
from multiprocess_bench import delivery_round  # noqa: E402

START_TIMEOUT_S = 15


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(url):
    with urllib.request.urlopen(url, timeout=30) as r:
        return r.read()


class Dashboard:
    """A `ferrow-admin serve` process, started and stopped by its pid."""

    def __init__(self, target):
        self.url = "http://127.0.0.1:{}".format(free_port())
        self.errors = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "ferrow_tools", "serve", target, "--port",
             self.url.rsplit(":", 1)[1]], stdout=subprocess.DEVNULL, stderr=self.errors)
        deadline = time.monotonic() + START_TIMEOUT_S
        while True:
            try:
                fetch(self.url + "/api/queues")
                return
            except OSError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    self.stop()
                    raise RuntimeError("the dashboard did not start")
                time.sleep(0.1)

    def cpu_seconds(self):
        """User and system time the server process has used so far."""
        with open("/proc/{}/stat".format(self.proc.pid)) as f:
            fields = f.read().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(START_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Viewer(threading.Thread):
    """Loads the overview every `period` seconds, as an open browser tab does."""

    def __init__(self, url, period):
        super().__init__(daemon=True)
        self.url, self.period = url, period
        self.stopping = threading.Event()
        self.loads = 0
        self.failures = []

    def run(self):
        while not self.stopping.is_set():
            try:
                fetch(self.url + "/")
                fetch(self.url + "/static/style.css")
            except OSError as e:
                self.failures.append(str(e))
            self.loads += 1
            self.stopping.wait(self.period)

    def stop(self):
        self.stopping.set()
        self.join(30)


def throughput(args):
    ctx = multiprocessing.get_context("spawn")
    scratch = Scratch(args.dir, prefix="dashboard-bench-")
    rates = {"without": [], "with": []}
    loads = 0
    cpu = busy = 0.0
    try:
        for _ in range(args.rounds):
            for mode in ("without", "with"):
                dash = viewer = None
                if mode == "with":
                    dash = Dashboard(scratch.root)
                    viewer = Viewer(dash.url, args.refresh)
                    viewer.start()
                    cpu_before = dash.cpu_seconds()
                    t0 = time.monotonic()
                try:
                    rate, _, problems = delivery_round(ctx, scratch, "ferrow", None, args.n,
                                                       "2+2")
                finally:
                    if viewer is not None:
                        viewer.stop()
                        loads += viewer.loads
                    if dash is not None:
                        cpu += dash.cpu_seconds() - cpu_before
                        busy += time.monotonic() - t0
                        dash.stop()
                if viewer is not None and viewer.failures:
                    dash.errors.seek(0)
                    raise RuntimeError("the overview failed to load: {}\n{}".format(
                        viewer.failures[0], dash.errors.read()[-3000:]))
                if problems:
                    raise RuntimeError("round failed: " + "; ".join(problems))
                rates[mode].append(rate)
                print("  {:<8} {:>8.0f} msg/s".format(mode, rate), flush=True)
    finally:
        scratch.close()
    without, with_ = statistics.median(rates["without"]), statistics.median(rates["with"])
    paired = statistics.median(w / o for w, o in zip(rates["with"], rates["without"]))
    print("2+2 default policy, {} messages, {} rounds each, in {}: without {:.0f} msg/s, with "
          "the overview loaded every {} s ({} loads) {:.0f} msg/s: {:.3f}x (median of the "
          "paired rounds' ratios {:.3f}x); the dashboard process used {:.1f}% of one core "
          "while its rounds ran".format(args.n, args.rounds, args.dir, without, args.refresh,
                                        loads, with_, with_ / without, paired,
                                        100 * cpu / busy))


def metrics_latency(args):
    scratch = Scratch(args.dir, prefix="dashboard-metrics-")
    try:
        for i in range(100):
            q = ferrow.FerrowCore(os.path.join(scratch.root, "q{:03d}".format(i)),
                                  sync_interval_ms=3_600_000)
            q.enqueue_batch([b"x" * 100] * 400)
            q.ack_batch([m[0] for m in q.dequeue_batch(200)])
            q.dequeue_batch(20, lease_ms=3_600_000)
            q.flush()
            del q
        dash = Dashboard(scratch.root)
        try:
            t0 = time.perf_counter()
            body = fetch(dash.url + "/metrics")
            first = time.perf_counter() - t0
            times = []
            for _ in range(args.scrapes):
                t0 = time.perf_counter()
                fetch(dash.url + "/metrics")
                times.append(time.perf_counter() - t0)
        finally:
            dash.stop()
        samples = sum(1 for line in body.decode().splitlines() if not line.startswith("#"))
        times.sort()
        print("/metrics of 100 queues ({} samples): first scrape {:.0f} ms, then median "
              "{:.1f} ms, 95th percentile {:.1f} ms over {} scrapes".format(
                  samples, first * 1000, statistics.median(times) * 1000,
                  times[int(len(times) * 0.95) - 1] * 1000, args.scrapes))
    finally:
        scratch.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR,
                        help="where the queues go (default: build/bench, on a real disk)")
    parser.add_argument("--n", type=int, default=20_000, help="messages per round")
    parser.add_argument("--rounds", type=int, default=5, help="rounds of each mode")
    parser.add_argument("--refresh", type=float, default=1.0,
                        help="seconds between overview loads (default 1)")
    parser.add_argument("--scrapes", type=int, default=50)
    args = parser.parse_args()
    metrics_latency(args)
    throughput(args)


if __name__ == "__main__":
    main()
