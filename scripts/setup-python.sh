#!/usr/bin/env bash
# Sets up the Python 3.10 virtual environment in .venv and builds and installs
# the module into it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh
# The distribution's cmake, so that a pyenv shim cannot pick another one.
export PATH=/usr/bin:$PATH

root=$(pyenv root 2>/dev/null || echo /root/.pyenv)
python=$(ls -d "$root"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -V | tail -n 1 || true)
[[ -n $python ]] || python=$(command -v python3.10 || true)
if [[ -z $python ]]; then
  echo "no Python 3.10 interpreter found (looked in $root/versions and on PATH)" >&2
  exit 1
fi

venv=.venv
if ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi
# The module's start-up uses helpers of the binding library's 3.x series.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
  'pybind11>=3,<4' 'scikit-build-core>=0.10' 'pytest>=8' numpy
# The build tools are in the environment already; building against them keeps
# the build directory valid from one install to the next.
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation .
