#!/bin/sh
# Builds the sdist into a fresh venv of PYTHON the way pip does for a user
# whom no wheel fits: in an isolated build environment that fetches the build
# requirements from PyPI, with nothing on PATH but the interpreter, a C/C++
# compiler and its assembler, linker and archiver (no make, no cmake, no
# ninja of the machine). Then exercises the result.
#
#   tools/sdist_check.sh SDIST PYTHON
set -eu
sdist=$(readlink -f "$1")
py="$2"
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$py" -m venv "$tmp/venv"
mkdir "$tmp/bin"
for tool in cc c++ as ld ar ranlib; do
  ln -s "$(command -v "$tool")" "$tmp/bin/$tool"
done
PATH="$tmp/venv/bin:$tmp/bin" CC=cc CXX=c++ \
  "$tmp/venv/bin/python" -m pip install -q "$sdist"
cd "$tmp"
"$tmp/venv/bin/python" "$here/abi_smoke.py"
"$tmp/venv/bin/python" "$here/two_process_smoke.py"
echo "$(basename "$sdist") built from source with $("$tmp/bin/c++" --version | head -1) only"
