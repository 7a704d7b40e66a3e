#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each target in tests/fuzz/ for the given
# number of seconds (default: $FUZZ_SECONDS, else 60), starting from its seed
# corpus in tests/fuzz/corpus/<target>/. Inputs it finds go to
# build/fuzz/corpus/<target>/. A crash, a leak, an input that takes more than
# 10 s or a process above 2 GiB fails the run. Then it builds and runs the
# test programs of the core and engine layers in the same build, so that
# clang's build of the engine's fast paths is held to the reference draws too.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-60}}
scripts/setup-system.sh fuzz
# The distribution's cmake, so that a pyenv shim cannot pick another one.
export PATH=/usr/bin:$PATH
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for source in tests/fuzz/fuzz_*.cpp; do
  target=$(basename "$source" .cpp)
  corpus=build/fuzz/corpus/$target
  log=build/fuzz/$target.log
  # Files a target writes for its inputs go here; libFuzzer ends without running exit handlers.
  tmp=build/fuzz/tmp/$target
  rm -rf "$tmp"
  mkdir -p "$corpus" "$tmp"
  if TMPDIR=$PWD/$tmp build/fuzz/"$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: $runs executions in $seconds s, no failure"
  else
    tail -n 60 "$log"
    echo "$target: FAILED (log: $log)"
    status=1
  fi
  rm -rf "$tmp"
done

cmake --build --preset fuzz-tests
ctest --preset fuzz || status=1
exit $status
