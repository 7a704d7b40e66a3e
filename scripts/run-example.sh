#!/usr/bin/env bash
# The main job: sets up the machine and the Python environment, then simulates
# a run and prints its summary. Without arguments the run uses
# examples/background.yaml; arguments go to examples/run_background.py.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-python.sh
.venv/bin/python examples/run_background.py "$@"
