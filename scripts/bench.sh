#!/usr/bin/env bash
# Builds the benchmark programs (Release) and runs them; the cosmic-ray job
# runs natively and, on the same shower rates, in numpy.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH=/usr/bin:$PATH
cmake --preset bench >/dev/null
cmake --build --preset bench -j2 >/dev/null

python=.venv/bin/python
if [[ ! -x $python ]]; then
  python3 -m venv .venv
  .venv/bin/pip install --quiet numpy
fi

rates=$(mktemp)
trap 'rm -f "$rates"' EXIT
build/bench/bench/bench_cosmic_ray "$rates"
# OpenBLAS overrides set on some machines slow numpy down; unset for this run only.
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" bench/bench_cosmic_ray_numpy.py "$rates"
