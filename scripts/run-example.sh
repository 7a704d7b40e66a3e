#!/usr/bin/env bash
# The main job: sets up the machine and the Python environment, prepares the
# replay of examples/replay.yaml once (cosmic-ray showers drawn from the model
# "showers" of examples/background.yaml over [0 s, 10 s), stored as a model
# cache and a time-ordered shower directory in examples/replay/), then
# simulates a run on the replay and prints its summary. Arguments go to
# examples/run_background.py (a settings file among them replaces
# examples/replay.yaml).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-python.sh
replay=examples/replay
if [[ ! -f $replay/showers.evt || ! -f $replay/showers.cm || ! -f $replay/showers/OP_HINT.tmio ]]; then
  # The example programs travel with the installed module.
  examples=$(.venv/bin/python -c 'import pathlib, rarovaredivar; print(pathlib.Path(rarovaredivar.__file__).parent / "examples")')
  mkdir -p "$replay"
  "$examples/prepare_replay" examples/background.yaml showers 0 10 "$replay/showers.evt" "$replay/showers"
fi
.venv/bin/python examples/run_background.py "$@"
