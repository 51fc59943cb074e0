#!/bin/sh
# Builds the log fuzzers (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz/ and runs both side by side for
# SECONDS each, starting from the seed corpus in tests/fuzz/corpus/.
#
#   tests/fuzz/run.sh SECONDS
#
# Inputs that crash or break an invariant make the script exit non-zero and are
# copied to build/fuzz/crashes/<target>/, where those of earlier runs stay too;
# reproduce one with
#   build/fuzz/<target>_fuzzer build/fuzz/crashes/<target>/<file>
# Prints the executions per target; with FERROW_RELIABILITY_DIR set, also
# writes $FERROW_RELIABILITY_DIR/fuzz.json. Needs clang (Debian: clang).
set -eu

seconds=${1:?usage: tests/fuzz/run.sh SECONDS}
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build/fuzz
cxx=${CXX_FUZZ:-clang++}
targets="replay catch_up"

command -v "$cxx" >/dev/null || { echo "run.sh: $cxx not found (Debian: apt-get install clang)"; exit 2; }

sanitizers="address,undefined"
cxxflags="-std=c++20 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=undefined -I$root/src"
mkdir -p "$out/obj"

# The engine once, instrumented for coverage; each target links against it.
# An object is rebuilt when its source or any engine header is newer.
newest_header=$(ls -t "$root"/src/queue/*.h | head -n 1)
for src in "$root"/src/queue/*.cc; do
  obj=$out/obj/$(basename "$src" .cc).o
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
    echo "$src"
  fi
done | xargs -r -P "$(nproc)" -I{} sh -c \
  "$cxx $cxxflags -fsanitize=fuzzer-no-link,$sanitizers -c {} -o $out/obj/\$(basename {} .cc).o"
for target in $targets; do
  $cxx $cxxflags -fsanitize=fuzzer,$sanitizers "$root/tests/fuzz/${target}_fuzzer.cc" \
    "$out"/obj/*.o -o "$out/${target}_fuzzer"
done

# Scratch queue directories live in memory where possible. On exit the
# fuzzers started here are stopped (if still running) and the scratch removed.
scratch=$(mktemp -d /dev/shm/ferrow-fuzz.XXXXXX 2>/dev/null || mktemp -d)
pids=""
trap 'for pid in $pids; do kill "$pid" 2>/dev/null || true; done; rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM

for target in $targets; do
  rm -rf "$out/artifacts/$target"
  mkdir -p "$out/corpus/$target" "$out/crashes/$target" "$out/artifacts/$target"
  # New inputs go to the first directory; the seeds in the tree stay as they are.
  TMPDIR=$scratch UBSAN_OPTIONS=print_stacktrace=1 "$out/${target}_fuzzer" \
    -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/$target/" \
    "$out/corpus/$target" "$root/tests/fuzz/corpus/$target" \
    >"$out/$target.log" 2>&1 &
  pids="$pids $!"
  eval "${target}_pid=$!"
done

status=0
crashes=0
for target in $targets; do
  if ! eval wait "\$${target}_pid"; then status=1; fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$target.log" | tail -n 1)
  eval "${target}_execs=${execs:-0}"
  found=$(ls "$out/artifacts/$target" | wc -l)
  echo "$target: ${execs:-0} executions in ${seconds}s, $(ls "$out/corpus/$target" | wc -l) inputs found so far"
  if [ "$found" -ne 0 ]; then
    crashes=$((crashes + found))
    cp "$out/artifacts/$target"/* "$out/crashes/$target/"
    echo "$target: $found crashing input(s), copied to $out/crashes/$target:"
    ls "$out/artifacts/$target"
    grep -E 'ERROR|invariant violated|SUMMARY' "$out/$target.log" | head -n 5 || true
  fi
done
pids=""  # all waited for: nothing left to stop
if [ "$status" -ne 0 ] && [ "$crashes" -eq 0 ]; then
  echo "a fuzzer failed without leaving an input; see $out/*.log"
fi

if [ -n "${FERROW_RELIABILITY_DIR:-}" ]; then
  mkdir -p "$FERROW_RELIABILITY_DIR"
  printf '{"replay_execs": %s, "catch_up_execs": %s, "crashes": %s}\n' \
    "$replay_execs" "$catch_up_execs" "$crashes" >"$FERROW_RELIABILITY_DIR/fuzz.json"
fi
[ "$status" -eq 0 ] && [ "$crashes" -eq 0 ]
