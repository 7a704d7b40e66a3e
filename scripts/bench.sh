#!/usr/bin/env bash
# Builds the benchmark programs (Release) and runs them all: the engine on
# dark counts (1000 channels, and 64170) beside a plain loop, the chunk cost
# over a long example run, the memory of a large chunk and what stays after
# it, and the AutoMergeList cost natively; tagged-message files against
# plain write/read calls, the cosmic-ray job natively and in numpy on the same
# shower rates, and the dark-count job through the Python module, with a numpy
# view of every channel's times, against plain numpy.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-python.sh
export PATH=/usr/bin:$PATH
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

# OpenBLAS overrides set on some machines slow numpy down; unset for these runs only.
numpy_env=(env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE)

build/bench/bench_engine
build/bench/bench_tmio
rates=$(mktemp)
trap 'rm -f "$rates"' EXIT
build/bench/bench_cosmic_ray "$rates"
"${numpy_env[@]}" .venv/bin/python bench/bench_cosmic_ray_numpy.py "$rates"
"${numpy_env[@]}" .venv/bin/python bench/bench_python.py
