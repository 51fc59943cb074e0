#!/bin/sh
# Installs the aarch64 wheel for Debian's arm64 python3 and exercises it there
# under user-mode emulation (qemu-aarch64-static from Debian's qemu-user-static).
# The interpreter and the libraries it needs come from Debian's arm64 packages,
# fetched with this machine's apt sources into a state of their own under
# build/, so the machine's own package setup is left as it is.
#
#   tools/emulated_smoke.sh WHEEL PYTHON   (PYTHON: a host interpreter with pip)
set -eu
wheel=$(readlink -f "$1")
host_py="$2"
here=$(cd "$(dirname "$0")" && pwd)
work=$(readlink -f "${ARM64_WORK:-build/arm64}")
root="$work/root"

if [ ! -x "$root/usr/bin/python3" ]; then
  rm -rf "$work" && mkdir -p "$work/state/lists/partial" "$work/cache/archives/partial" "$root"
  : > "$work/state/status"  # nothing counts as installed: apt fetches every dependency
  apt_private="-o Dir::State=$work/state -o Dir::State::status=$work/state/status
    -o Dir::Cache=$work/cache -o APT::Architecture=arm64 -o APT::Architectures::=arm64
    -o APT::Sandbox::User=root -o Debug::NoLocking=1"
  apt-get -qq $apt_private update
  apt-get -qq -y $apt_private install --download-only --no-install-recommends python3-minimal >/dev/null
  for deb in "$work"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done
fi

emulated() { qemu-aarch64-static -L "$root" "$root/usr/bin/python3" "$@"; }

# pip installs for another platform only into a target folder.
site="$work/site"
rm -rf "$site"
"$host_py" -m pip install -q --no-index --no-deps --only-binary=:all: \
  --platform manylinux2014_aarch64 --target "$site" "$wheel"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
PYTHONPATH="$site" emulated "$here/abi_smoke.py"
PYTHONPATH="$site" emulated "$here/two_process_smoke.py"
