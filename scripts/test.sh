#!/usr/bin/env bash
# Sets up and runs every test: the native suite in the normal and in the
# sanitizer build, the normal build's test programs under valgrind, every fuzz
# target for FUZZ_SECONDS (default 60) seconds, then the Python suite against
# the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
# The distribution's cmake, so that a pyenv shim cannot pick another one.
export PATH=/usr/bin:$PATH
# Each test preset gives every test 600 s, several times the 2 minutes the slowest test takes under
# valgrind on a busy 2-core machine, so that a hang fails that test instead of holding the run.
for preset in default sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
# The test programs of the layers, whose tests write and read files, under valgrind: the library in a
# user's program must give valgrind nothing to report, no memory error and no leak, definite or possible
# (a block reached only through a pointer into it); blocks still reachable at the exit are not reported.
# The tests mark alignment bytes that no writer may read as undefined. A report of a forked child whose
# exit status nobody reads fails the step too: with --quiet every line valgrind writes is a report. Each
# program has VALGRIND_LIMIT seconds (default 900, several times the 4 minutes the slowest takes under
# valgrind on a busy 2-core machine), so that a hang fails the step with the program's name.
if ! command -v valgrind >/dev/null; then
  echo "valgrind is missing" >&2
  exit 1
fi
valgrind_limit=${VALGRIND_LIMIT:-900}
programs=0
step_start=$SECONDS
for program in build/default/tests/test_*; do
  [[ -f $program && -x $program && $(basename "$program") != *.* ]] || continue
  programs=$((programs + 1))
  name=$(basename "$program")
  log=$program.valgrind.log
  status=0
  start=$SECONDS
  # timeout runs the program in a process group of its own, which an interrupt at the terminal does not
  # reach: the trap passes it on.
  timeout --kill-after=30 "$valgrind_limit" valgrind --error-exitcode=1 --quiet --leak-check=full \
    --errors-for-leak-kinds=definite,possible "$program" </dev/null >"$log" 2>&1 &
  pid=$!
  trap 'kill -TERM "$pid" 2>/dev/null; exit 130' INT TERM
  wait "$pid" || status=$?
  trap - INT TERM
  if ((status == 0)) && ! grep -qE '^==[0-9]+== ' "$log"; then
    echo "$name under valgrind: no reports ($((SECONDS - start)) s)"
    continue
  fi
  tail -n 60 "$log"
  if ((status == 124 || (status == 137 && SECONDS - start >= valgrind_limit))); then
    echo "$name under valgrind: FAILED, not done after $valgrind_limit s (log: $log)"
  else
    echo "$name under valgrind: FAILED (log: $log)"
  fi
  exit 1
done
if ((programs == 0)); then
  echo "no test programs in build/default/tests to run under valgrind" >&2
  exit 1
fi
echo "valgrind step: $programs programs, $((SECONDS - step_start)) s"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
scripts/setup-python.sh
.venv/bin/python -m pytest
