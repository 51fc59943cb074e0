#!/bin/sh
# Installs one abi3 wheel into a fresh venv of every CPython 3.8+ on this
# machine (pyenv versions and the system python3) and exercises it there.
set -eu
wheel="$1"
here=$(cd "$(dirname "$0")" && pwd)
ran=""
for py in "$HOME"/.pyenv/versions/3.*/bin/python3 $(command -v python3); do
  [ -x "$py" ] || continue
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  case " $ran " in *" $version "*) continue ;; esac
  "$py" -c 'import sys; sys.exit(sys.version_info < (3, 8))' || continue
  venv=$(mktemp -d)
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --no-index "$wheel"
  (cd "$venv" && "$venv/bin/python" "$here/abi_smoke.py" && "$venv/bin/python" "$here/two_process_smoke.py")
  rm -rf "$venv"
  ran="$ran $version"
done
echo "one wheel ($(basename "$wheel")) imported and exercised under CPython:$ran"
