#!/usr/bin/env bash
# Sets up and runs every test: the native suite in the normal and in the
# sanitizer build, every fuzz target for FUZZ_SECONDS (default 60) seconds,
# then the Python suite against the installed module.
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
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
scripts/setup-python.sh
.venv/bin/python -m pytest
