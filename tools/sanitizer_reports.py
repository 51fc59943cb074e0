#!/usr/bin/env python3
"""Verdict of a sanitized test run, from the report files the sanitizers left.

    sanitizer_reports.py --python-reports DIR --cpp-reports DIR
                         --tests-status N --sanitizers LIST --out FILE

Every process of the run writes its reports to a file of its own (log_path),
so a report from a child whose exit status no test looks at still counts.

Memory errors and undefined behaviour count wherever they happen. Leaks are
judged by who made them: the C++ test programs are all our code, so each of
their leaks counts. An interpreter leaves objects of its own and of other
extension modules unfreed at exit, and with them whatever they still held
(messages a test kept, say), so there only a direct leak (a block nothing else
leaked points to) whose allocation stack passes through the engine or the
binding counts. A leak check that could not run at all (LeakSanitizer stops
the process's threads with ptrace, which a process in a pid namespace of its
own may not use) is no report; such processes are counted apart.

Prints every report that counts, writes {"status", "sanitizers", "reports",
"foreign_leaks"} to FILE and exits 1 if anything counts or the tests failed.
"""
import argparse
import json
import os
import re
import sys

OUR_FRAME = re.compile(r"src/(queue|binding)/|/ferrow[^/ ]*\.so\b")
LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of ", re.M)
DIRECT = "Direct leak of "
LEAK_CHECK_FAILED = "LeakSanitizer has encountered a fatal error"


def report_files(directory):
    if not os.path.isdir(directory):
        return []
    return sorted(os.path.join(directory, name) for name in os.listdir(directory))


def leak_blocks(text):
    """The separate 'Direct/Indirect leak of ...' stacks of one LeakSanitizer report."""
    starts = [m.start() for m in LEAK_HEADER.finditer(text)]
    return [text[a:b] for a, b in zip(starts, starts[1:] + [len(text)])]


def judge(text, all_leaks_ours):
    """(counted report text or None, number of leak stacks not ours)."""
    if LEAK_CHECK_FAILED in text and "ERROR:" not in text and "runtime error:" not in text:
        return None, 0
    if "ERROR: LeakSanitizer" not in text or "ERROR: AddressSanitizer" in text \
            or "runtime error:" in text:
        # Not a pure leak report: a memory error or undefined behaviour.
        return text, 0
    blocks = leak_blocks(text)
    if all_leaks_ours:
        return text, 0
    ours = [b for b in blocks if b.startswith(DIRECT) and OUR_FRAME.search(b)]
    return ("".join(ours) if ours else None), len(blocks) - len(ours)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python-reports", required=True)
    parser.add_argument("--cpp-reports", required=True)
    parser.add_argument("--tests-status", type=int, required=True)
    parser.add_argument("--sanitizers", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    counted, foreign, unchecked = [], 0, 0
    for directory, all_ours in ((args.python_reports, False), (args.cpp_reports, True)):
        for path in report_files(directory):
            with open(path, errors="replace") as f:
                text = f.read()
            report, not_ours = judge(text, all_ours)
            foreign += not_ours
            unchecked += report is None and LEAK_CHECK_FAILED in text
            if report is not None:
                counted.append((path, report))

    for path, report in counted:
        print(f"== {path}\n{report}")
    if counted:
        status = f"{len(counted)} reports"
    elif args.tests_status != 0:
        status = "tests failed"
    else:
        status = "clean"
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump({"status": status, "sanitizers": args.sanitizers,
                   "reports": len(counted), "foreign_leaks": foreign,
                   "leak_checks_not_run": unchecked}, f)
        f.write("\n")
    note = f" ({foreign} leaks of the interpreter or other modules ignored)" if foreign else ""
    if unchecked:
        note += f" ({unchecked} processes whose leak check could not run)"
    print(f"sanitizers ({args.sanitizers}): {status}{note}")
    return 0 if status == "clean" else 1


if __name__ == "__main__":
    sys.exit(main())
