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
for preset in default sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
# The test programs of the layers, whose tests write and read files, under valgrind: the library in a
# user's program must give valgrind nothing to report (the tests mark alignment bytes that no writer may
# read as undefined).
for program in build/default/tests/test_*; do
  [[ -f $program && -x $program && $(basename "$program") != *.* ]] || continue
  log=$program.valgrind.log
  if valgrind --error-exitcode=1 --quiet "$program" >"$log" 2>&1; then
    echo "$(basename "$program") under valgrind: no reports"
  else
    tail -n 60 "$log"
    echo "$(basename "$program") under valgrind: FAILED (log: $log)"
    exit 1
  fi
done
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
scripts/setup-python.sh
.venv/bin/python -m pytest
