"""Single operations of this build next to another build of the module, in
the same run: durable enqueue (default policy, an fsync per call), cycles of
enqueue + dequeue + ack with sync_interval_ms=1000, and the same cycles in
memory. A change that must cost nothing measurable on the path of one call
is held to the build before it with these ratios.

Run: .venv/bin/python bench/build_baseline.py main build/baseline
     .venv/bin/python bench/single_ops_bench.py --baseline build/baseline

Every figure is taken in a fresh interpreter (bench/build_figures.py's rate
probe); rounds alternate which build goes first, and each figure is the
median of its rounds.
"""
import argparse
import os
import statistics
import sys

from _common import DEFAULT_BENCH_DIR, Scratch, filesystem_of
from build_figures import RATE_PROBE, RATES, remove_settled, run_probe

# Operations per probe: enough that the interpreter's start is not measured.
COUNTS = {"durable-enqueue": 1000, "relaxed-cycle": 20_000, "memory-cycle": 200_000}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", metavar="DIR", required=True,
                        help="another build of the ferrow module, unpacked in DIR")
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR)
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    builds = [("this build", None), ("baseline", os.path.abspath(args.baseline))]
    scratch = Scratch(args.dir, prefix="single-ops-bench-")
    mount, fstype = filesystem_of(scratch.root)
    samples = {}
    try:
        for r in range(args.rounds):
            for key in COUNTS:
                for build, module_dir in builds if r % 2 == 0 else builds[::-1]:
                    d = scratch.fresh()
                    try:
                        (rate,) = run_probe(RATE_PROBE, (key, COUNTS[key], d), module_dir)
                    finally:
                        remove_settled(scratch, d)
                    samples.setdefault((build, key), []).append(rate)
            print(f"  round {r + 1} of {args.rounds} done", file=sys.stderr, flush=True)
    finally:
        scratch.close()
    titles = {key: (title, unit) for key, title, unit in RATES}
    print(f"Median of {args.rounds} rounds on {fstype} ({mount}); baseline: {args.baseline}.")
    print()
    print("| measurement | this build | baseline | this / baseline |")
    print("|---|---:|---:|---:|")
    for key in COUNTS:
        title, unit = titles[key]
        mine = statistics.median(samples[("this build", key)])
        base = statistics.median(samples[("baseline", key)])
        print(f"| {title} | {mine:,.0f} {unit} | {base:,.0f} {unit} | {mine / base:.3f}x |")


if __name__ == "__main__":
    main()
