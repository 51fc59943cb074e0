"""What the process lock costs and how it behaves when its holder dies.

    python bench/lock_bench.py [--baseline DIR] [--rounds N]

DIR holds another build of the ferrow module (for example an older one,
unpacked from its wheel); each figure is then measured for both in the same
run, rounds alternating, and the ratio printed. Figures: uncontended single-
process full cycles (enqueue + dequeue + ack) in relaxed mode and with the
default policy (an fsync per record); 2 producer +
2 consumer processes with the default policy; system calls per relaxed
operation (strace, when installed); the time from a holder's death to the
next successful call; the CPU a waiter burns while the lock stays taken."""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from _common import DEFAULT_BENCH_DIR

HERE = os.path.dirname(os.path.abspath(__file__))

CYCLES = r'''
import sys, time, ferrow
q = ferrow.FerrowCore(sys.argv[1], sync_interval_ms=int(sys.argv[3]))
n = int(sys.argv[2])
start = time.perf_counter()
for _ in range(n):
    q.enqueue(b"x" * 100)
    seq = q.dequeue()[0]
    q.ack(seq)
print(n / (time.perf_counter() - start))
'''

WORKER = r'''
import os, sys, time, ferrow
qdir, role, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
q = ferrow.FerrowCore(qdir)
sys.stdin.readline()
done = 0
while done < n:
    if role == "p":
        q.enqueue(b"x" * 100)
        done += 1
    else:
        m = q.dequeue()
        if m is not None and q.ack(m[0]):
            done += 1
print(time.monotonic())
'''

SYSCALLS = r'''
import sys, ferrow
q = ferrow.FerrowCore(sys.argv[1], sync_interval_ms=3600000)
for _ in range(200):
    q.enqueue(b"x")
print("MARK", flush=True)
for _ in range(1000):
    q.enqueue(b"x")
'''

WAITER = r'''
import sys, ferrow
q = ferrow.FerrowCore(sys.argv[1])
with open(sys.argv[1] + "/.proc_lock", "r+b") as f:
    f.write((1).to_bytes(8, "little"))
print("waiting", flush=True)
q.enqueue(b"x")
'''

VICTIM = r'''
import sys, ferrow
q = ferrow.FerrowCore(sys.argv[1])
print("ready", flush=True)
while True:
    q.enqueue(b"x" * 100)
'''


def env_for(module_dir):
    return dict(os.environ, PYTHONPATH=module_dir)


def run(module_dir, script, *args, timeout=600):
    out = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env_for(module_dir),
                         capture_output=True, text=True, timeout=timeout, check=True).stdout
    return out


def single_cycles(module_dir, scratch, n, sync_interval_ms):
    qdir = tempfile.mkdtemp(dir=scratch)
    return float(run(module_dir, CYCLES, qdir, n, sync_interval_ms))


def two_plus_two(module_dir, scratch, n):
    qdir = tempfile.mkdtemp(dir=scratch)
    procs = [subprocess.Popen([sys.executable, "-c", WORKER, qdir, role, str(n // 2)],
                              env=env_for(module_dir), stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for role in "ppcc"]
    time.sleep(0.5)  # every worker has opened the queue
    start = time.monotonic()
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    ends = [float(p.communicate(timeout=600)[0]) for p in procs]
    return (n // 2) * 2 / (max(ends) - start)


def syscalls_per_op(module_dir, scratch):
    if shutil.which("strace") is None:
        return None
    qdir = tempfile.mkdtemp(dir=scratch)
    trace = os.path.join(scratch, "trace")
    subprocess.run(["strace", "-f", "-o", trace, sys.executable, "-c", SYSCALLS, qdir],
                   env=env_for(module_dir), capture_output=True, check=True, timeout=600)
    with open(trace) as f:
        lines = f.read().splitlines()
    mark = next(i for i, line in enumerate(lines) if "MARK" in line and "write(" in line)
    calls = [line for line in lines[mark + 1:] if re.match(r"^\d+\s+\w+\(", line)
             and "exit_group" not in line]
    # The interpreter's own calls at exit come after the last write of a record.
    last = max(i for i, line in enumerate(calls) if " write(" in line)
    return (last + 1) / 1000


def recovery_ms(module_dir, scratch, kills):
    qdir = tempfile.mkdtemp(dir=scratch)
    probe = os.path.join(scratch, "probe.py")
    with open(probe, "w") as f:
        f.write(r'''
import os, random, signal, subprocess, sys, time, ferrow
qdir, kills, victim = sys.argv[1], int(sys.argv[2]), sys.argv[3]
q = ferrow.FerrowCore(qdir)
times, held = [], 0
for _ in range(kills):
    p = subprocess.Popen([sys.executable, "-c", victim, qdir], stdout=subprocess.PIPE)
    p.stdout.readline()
    time.sleep(random.uniform(0.005, 0.05))
    p.kill()
    p.wait()
    with open(qdir + "/.proc_lock", "rb") as f:
        held += f.read(8) != bytes(8)
    start = time.monotonic()
    q.in_flight()
    times.append((time.monotonic() - start) * 1e3)
times.sort()
print(held, times[len(times) // 2], times[int(len(times) * 0.99)], times[-1])
''')
    out = run(module_dir, open(probe).read(), qdir, kills, VICTIM).split()
    return int(out[0]), [float(x) for x in out[1:]]


def cpu_seconds(pid):
    # Nanoseconds on a CPU: finer than the clock ticks of /proc/PID/stat.
    with open("/proc/{}/schedstat".format(pid)) as f:
        return int(f.read().split()[0]) / 1e9


def waiter_cpu(module_dir, scratch, seconds=4.0):
    """CPU share of a process waiting for a lock word nobody releases,
    measured from its second second of waiting on."""
    qdir = tempfile.mkdtemp(dir=scratch)
    p = subprocess.Popen([sys.executable, "-c", WAITER, qdir], env=env_for(module_dir),
                         stdout=subprocess.PIPE, text=True)
    try:
        p.stdout.readline()
        time.sleep(1)
        before, start = cpu_seconds(p.pid), time.monotonic()
        time.sleep(seconds)
        return (cpu_seconds(p.pid) - before) / (time.monotonic() - start)
    finally:
        p.kill()
        p.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="directory holding another build of ferrow")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=DEFAULT_BENCH_DIR)
    args = parser.parse_args()
    import ferrow
    current = os.path.dirname(os.path.abspath(ferrow.__file__))
    builds = {"this build": current}
    if args.baseline:
        builds["baseline"] = os.path.abspath(args.baseline)
    os.makedirs(args.dir, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="lock-bench-", dir=args.dir)
    try:
        figures = {name: {"single": [], "durable": [], "2+2": []} for name in builds}
        for _ in range(args.rounds):
            for name, module_dir in builds.items():
                figures[name]["single"].append(single_cycles(module_dir, scratch, 20000, 1000))
                figures[name]["durable"].append(single_cycles(module_dir, scratch, 1000, 0))
                figures[name]["2+2"].append(two_plus_two(module_dir, scratch, 4000))
        print("| figure | " + " | ".join(builds) + (" | ratio |" if args.baseline else " |"))
        print("|---" * (len(builds) + 1 + bool(args.baseline)) + "|")
        for key, label in (("single", "1 process, relaxed, full cycles/s"),
                           ("durable", "1 process, default policy, full cycles/s"),
                           ("2+2", "2+2 processes, default policy, msgs/s")):
            medians = [statistics.median(figures[name][key]) for name in builds]
            row = "| {} (median of {}) | ".format(label, args.rounds) + " | ".join(
                "{:,.0f}".format(m) for m in medians)
            if args.baseline:
                row += " | {:.3f}x".format(medians[0] / medians[1])
            print(row + " |")
        calls = [syscalls_per_op(d, scratch) for d in builds.values()]
        print("| system calls per relaxed enqueue | " + " | ".join(
            "n/a" if c is None else "{:.2f}".format(c) for c in calls) +
            (" | |" if args.baseline else " |"))
        cpu = [waiter_cpu(d, scratch) for d in builds.values()]
        print("| CPU of a waiter behind a taken lock | " + " | ".join(
            "{:.2%}".format(c) for c in cpu) + (" | |" if args.baseline else " |"))
        held, (p50, p99, worst) = recovery_ms(current, scratch, 100)
        print("\nA busy producer killed 100 times (SIGKILL): {} times inside a call; the next call "
              "of another process succeeded after p50 {:.2f} ms, p99 {:.2f} ms, max {:.2f} ms."
              .format(held, p50, p99, worst))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
