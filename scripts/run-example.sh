#!/usr/bin/env bash
# The main job: sets up the machine and the Python environment, then simulates
# a run from the example settings and prints its summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-python.sh
.venv/bin/python examples/run_background.py examples/background.yaml "$@"
