"""Builds the module of another revision into a directory of its own, for the
benchmarks' --baseline option: the build before a change, measured in the
same run as the change.

Run: .venv/bin/python bench/build_baseline.py main build/baseline
     .venv/bin/python bench/multiprocess_bench.py --baseline build/baseline

The revision is exported with `git archive` (the working tree is left alone)
and built with the venv's cmake and ninja, tests off, in Release mode.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_TIMEOUT_S = 1800


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("revision", help="a git revision, e.g. main")
    parser.add_argument("out_dir", help="where the module goes (created if missing)")
    args = parser.parse_args()
    bin_dir = os.path.dirname(sys.executable)
    cmake, ninja = os.path.join(bin_dir, "cmake"), os.path.join(bin_dir, "ninja")
    with tempfile.TemporaryDirectory(prefix="ferrow-baseline-") as tmp:
        source, build = os.path.join(tmp, "src"), os.path.join(tmp, "build")
        os.mkdir(source)
        archive = subprocess.run(["git", "-C", REPO, "archive", args.revision],
                                 check=True, capture_output=True, timeout=BUILD_TIMEOUT_S).stdout
        subprocess.run(["tar", "-x", "-C", source], input=archive, check=True,
                       timeout=BUILD_TIMEOUT_S)
        subprocess.run([cmake, "-S", source, "-B", build, "-G", "Ninja",
                        f"-DCMAKE_MAKE_PROGRAM={ninja}", "-DCMAKE_BUILD_TYPE=Release",
                        "-DFERROW_BUILD_TESTS=OFF", f"-DPython_EXECUTABLE={sys.executable}"],
                       check=True, timeout=BUILD_TIMEOUT_S)
        subprocess.run([cmake, "--build", build, "--parallel", "2"], check=True,
                       timeout=BUILD_TIMEOUT_S)
        modules = glob.glob(os.path.join(build, "ferrow*.so"))
        if len(modules) != 1:
            sys.exit(f"expected one module in {build}, found {modules}")
        os.makedirs(args.out_dir, exist_ok=True)
        shutil.copy2(modules[0], args.out_dir)
        print(os.path.join(args.out_dir, os.path.basename(modules[0])))


if __name__ == "__main__":
    main()
