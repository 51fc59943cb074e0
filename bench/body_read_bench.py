"""Cost of reading bodies back: dequeues of 100-byte and 1 MiB bodies, this
build against another build of the module (the baseline) in the same run.

    python bench/body_read_bench.py BASELINE_MODULE_DIR [ROUNDS]

BASELINE_MODULE_DIR holds another build's `ferrow` module (for example one
installed with `pip install -t DIR`). Each round runs both builds, one after
the other in alternating order, in fresh interpreters; the table gives the
median dequeues per second of each and the median over the rounds of this
build's rate as a fraction of the baseline's in the same round (above 1:
faster). Dequeues take leases only: no fsync (a long
sync interval), no acknowledgement, no compaction, so the body read is a
large part of what is timed.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile

import ferrow

PROBE = r'''
import json, sys, time, ferrow
qdir, size, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
q = ferrow.FerrowCore(qdir, sync_interval_ms=3600000, auto_compact_bytes=0)
for start in range(0, count, 256):
    q.enqueue_batch([b"b" * size] * min(256, count - start))
began = time.perf_counter()
for _ in range(count):
    q.dequeue(lease_ms=3600000)
print(json.dumps(count / (time.perf_counter() - began)))
'''

CASES = [(100, 20000), (1 << 20, 128)]


def rate(module_dir, size, count, work):
    qdir = tempfile.mkdtemp(dir=work)
    out = subprocess.run([sys.executable, "-c", PROBE, qdir, str(size), str(count)],
                         env=dict(os.environ, PYTHONPATH=module_dir), capture_output=True,
                         text=True, check=True, timeout=600)
    return json.loads(out.stdout)


def main():
    baseline = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    this = os.path.dirname(os.path.abspath(ferrow.__file__))
    print("| body | this build (dequeues/s) | baseline (dequeues/s) | ratio |")
    print("|---|---|---|---|")
    with tempfile.TemporaryDirectory() as work:
        for size, count in CASES:
            rates = {this: [], baseline: []}
            ratios = []
            for r in range(rounds):
                order = (this, baseline) if r % 2 == 0 else (baseline, this)
                for module_dir in order:
                    rates[module_dir].append(rate(module_dir, size, count, work))
                # The two runs of a round are back to back, so the load of a
                # shared machine weighs on both alike: their ratio is steadier
                # than either rate.
                ratios.append(rates[this][-1] / rates[baseline][-1])
            mine, theirs = statistics.median(rates[this]), statistics.median(rates[baseline])
            label = "100 B" if size == 100 else "1 MiB"
            print(f"| {label} | {mine:,.0f} | {theirs:,.0f} | {statistics.median(ratios):.2f}x |")


if __name__ == "__main__":
    main()
