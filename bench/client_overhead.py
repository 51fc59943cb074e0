"""What `Queue`, `with msg:` and `aio.Queue` add to the engine they wrap.

    python bench/client_overhead.py [--seconds S] [--rounds N] [--dir DIR]
                                    [--before PYTHON_DIR]

One cycle is a put, a get and a settle of a 100-byte body, in one process
(for `Worker`: a put, then the worker's dequeue, job and ack; for "get+ack
in an empty with": `get` + `ack` with an empty `with` block beside them,
the least that any `with msg:` can cost in this interpreter),
on ":memory:", a directory with sync_interval_ms=1000 ("relaxed") and a
directory with the default policy (an fsync per record). The baseline, in
the same run, is `FerrowCore` itself: enqueue, dequeue, ack. Each variant
runs for S seconds in each of N rounds (4 S with the default policy, whose
fsyncs make few cycles), the variants one after the other within a round,
each round starting one variant further on;
a ratio is the median over the rounds of the two rates of the same round,
so that the machine's noise falls on both alike. Rates are per second of the
process's CPU time, except with the default policy, where waiting for the
disk is the cost and the wall clock counts.

`--before` names a directory holding another `ferrow_tools` package (say a
copy of an older checkout's python/ directory); it is loaded beside the
installed one, under another name, and measured in the same rounds, so the
table shows before and after side by side.
"""
import argparse
import asyncio
import importlib
import importlib.util
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from _common import BODY, DEFAULT_BENCH_DIR  # noqa: E402

import ferrow  # noqa: E402
import ferrow_tools  # noqa: E402
from ferrow_tools import aio  # noqa: E402


def load_package(python_dir, name):
    """The ferrow_tools package under `python_dir`, imported as `name`."""
    root = os.path.join(python_dir, "ferrow_tools")
    module_spec = importlib.util.spec_from_file_location(
        name, os.path.join(root, "__init__.py"), submodule_search_locations=[root])
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = module
    module_spec.loader.exec_module(module)
    return module, importlib.import_module(name + ".aio")


def core_cycles(target, options, deadline):
    q = ferrow.FerrowCore(target, **options)
    n = 0
    while time.perf_counter() < deadline:
        q.enqueue(BODY)
        q.ack(q.dequeue()[0])
        n += 1
    return n, q


def get_ack_cycles(package):
    def run(target, options, deadline):
        q = package.Queue(target, **options)
        n = 0
        while time.perf_counter() < deadline:
            q.put(BODY)
            q.get(timeout=0).ack()
            n += 1
        return n, q
    return run


def with_cycles(package):
    def run(target, options, deadline):
        q = package.Queue(target, **options)
        n = 0
        while time.perf_counter() < deadline:
            q.put(BODY)
            with q.get(timeout=0):
                pass
            n += 1
        return n, q
    return run


class EmptyBlock:
    """A context manager that does nothing: what any `with` costs."""

    def __enter__(self):
        return self

    def __exit__(self, et, ev, tb):
        return None


def empty_with_cycles(package):
    """get + ack around an empty `with`: what `with msg:` would cost if
    keeping a lease and settling in the block cost nothing."""
    def run(target, options, deadline):
        q = package.Queue(target, **options)
        block = EmptyBlock()
        n = 0
        while time.perf_counter() < deadline:
            q.put(BODY)
            msg = q.get(timeout=0)
            with block:
                pass
            msg.ack()
            n += 1
        return n, q
    return run


def aio_get_ack_cycles(aio_module):
    def run(target, options, deadline):
        async def cycles():
            q = aio_module.Queue(target, **options)
            n = 0
            while time.perf_counter() < deadline:
                await q.put(BODY)
                await (await q.get(timeout=0)).ack()
                n += 1
            await q.close()
            return n
        return asyncio.run(cycles()), None
    return run


def aio_with_cycles(aio_module):
    def run(target, options, deadline):
        async def cycles():
            q = aio_module.Queue(target, **options)
            n = 0
            while time.perf_counter() < deadline:
                await q.put(BODY)
                async with await q.get(timeout=0):
                    pass
                n += 1
            await q.close()
            return n
        return asyncio.run(cycles()), None
    return run


def worker_cycles(package):
    def run(target, options, deadline):
        worker = package.Worker(target, lambda message: None)
        if options:  # the worker opens its queue with the default options
            worker.q = ferrow.FerrowCore(target, **options)
        n = 0
        while time.perf_counter() < deadline:
            for _ in range(WORKER_CHUNK):
                worker.q.enqueue(BODY)
            worker.run(max_messages=WORKER_CHUNK)
            n += WORKER_CHUNK
        return n, None
    return run


# Messages put before each run() of the worker: run() itself starts and ends
# a thread, a watcher and signal handlers, which a long-running worker does
# once (with 100, starting them cost about as much as the messages did).
WORKER_CHUNK = 1000


def variants(before):
    """(label, cycle runner) in the table's column order."""
    found = [("FerrowCore", core_cycles)]
    packages = [("", ferrow_tools, aio)]
    if before is not None:
        packages.insert(0, ("before: ",) + before)
    for prefix, package, aio_module in packages:
        found += [(prefix + "Queue get+ack", get_ack_cycles(package)),
                  (prefix + "Queue with msg", with_cycles(package)),
                  (prefix + "aio get+ack", aio_get_ack_cycles(aio_module)),
                  (prefix + "aio async with", aio_with_cycles(aio_module)),
                  (prefix + "Worker", worker_cycles(package))]
    # The floor of any `with msg:` in this interpreter, for the current package.
    found.append(("get+ack in an empty with", empty_with_cycles(ferrow_tools)))
    return found


def measure(run, target, options, seconds, clock):
    start, start_clock = time.perf_counter(), clock()
    n, q = run(target, options, start + seconds)
    rate = n / (clock() - start_clock)
    close = getattr(q, "close", None)
    if close is not None:
        close()
    return rate


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=0.5)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR,
                        help="where the directory queues go (default: %(default)s)")
    parser.add_argument("--before", help="a directory holding another ferrow_tools package")
    parser.add_argument("--only", choices=["memory", "relaxed", "default"], action="append",
                        help="measure this target only (may be repeated; default: all three)")
    args = parser.parse_args()
    before = load_package(args.before, "ferrow_tools_before") if args.before else None
    os.makedirs(args.dir, exist_ok=True)
    scratch = os.path.abspath(tempfile.mkdtemp(prefix="client-overhead-", dir=args.dir))
    # Whatever a variant makes in the working directory (an older Worker on
    # ":memory:" made a ":memory:.dead" directory there) goes with the rest.
    home = os.getcwd()
    os.chdir(scratch)
    # (label, subdirectory or None for ":memory:", options, share of the
    # round time, clock): an fsync per record makes few cycles, so they get
    # longer, and are timed by the wall clock, since waiting for the disk is
    # their cost; the others are timed by the CPU time of the process (all
    # its threads), which other processes on a busy machine do not inflate.
    targets = [(":memory:", None, {}, 1, time.process_time),
               ("directory, relaxed", "relaxed", {"sync_interval_ms": 1000}, 1,
                time.process_time),
               ("directory, default policy", "default", {}, 4, time.perf_counter)]
    if args.only:
        targets = [t for t in targets if (t[1] or "memory") in args.only]
    runners = variants(before)
    rates = {}  # (target label, variant) -> the rate of each round
    try:
        for round_number in range(args.rounds):
            for label, subdir, options, share, clock in targets:
                # Each round starts one variant further on, so that none is
                # always measured first or last (with the default policy a
                # variant's place in the round moved it by up to 0.1x).
                shift = round_number % len(runners)
                for name, run in runners[shift:] + runners[:shift]:
                    # A fresh queue each time: a long log is not what is measured.
                    target = ":memory:" if subdir is None else os.path.join(
                        scratch, "{}-{}-{}".format(subdir, round_number, len(rates)))
                    rate = measure(run, target, options, args.seconds * share, clock)
                    rates.setdefault((label, name), []).append(rate)
                    if subdir is not None:
                        shutil.rmtree(target, ignore_errors=True)
    finally:
        os.chdir(home)
        shutil.rmtree(scratch, ignore_errors=True)

    def ratio(label, name, base):
        """The median over the rounds of the two variants' rates in each:
        measured moments apart, they share whatever the machine was doing."""
        return statistics.median(a / b for a, b in zip(rates[(label, name)],
                                                       rates[(label, base)]))

    print("Cycles per second (put + get + settle, 100-byte bodies; median of {} rounds of "
          "{} s; CPU seconds but for the default policy), and the median ratio to FerrowCore "
          "in the same round".format(args.rounds, args.seconds))
    names = [name for name, _ in runners]
    print("| target | " + " | ".join(names) + " |")
    print("|---|" + "---:|" * len(names))
    for label, _, _, _, _ in targets:
        cells = ["{:,.0f}".format(statistics.median(rates[(label, "FerrowCore")]))]
        cells += ["{:,.0f} ({:.2f}x)".format(statistics.median(rates[(label, n)]),
                                             ratio(label, n, "FerrowCore"))
                  for n in names[1:]]
        print("| {} | {} |".format(label, " | ".join(cells)))
    print()
    print("aio.Queue to Queue (same package, median ratio in the same round):")
    for label, _, _, _, _ in targets:
        for prefix in (["before: "] if before else []) + [""]:
            print("  {}{}: get+ack {:.2f}x, with {:.2f}x".format(
                prefix, label, ratio(label, prefix + "aio get+ack", prefix + "Queue get+ack"),
                ratio(label, prefix + "aio async with", prefix + "Queue with msg")))

if __name__ == "__main__":
    main()
