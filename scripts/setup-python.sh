#!/usr/bin/env bash
# Sets up the Python 3.10 virtual environment in .venv and builds and installs
# the module into it. Any Python 3.10 will do: python3.10 or python3 on PATH,
# or one of pyenv's versions.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-system.sh

is_310() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null; }
python=
for candidate in python3.10 python3; do
  if command -v "$candidate" >/dev/null && is_310 "$candidate"; then
    python=$(command -v "$candidate")
    break
  fi
done
if [[ -z $python ]]; then
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  python=$(ls -d "$root"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -V | tail -n 1 || true)
fi
if [[ -z $python ]]; then
  echo "no Python 3.10 interpreter found (looked for python3.10 and python3 on PATH, and in pyenv's versions)" >&2
  exit 1
fi

# The distribution's cmake, so that a pyenv shim cannot pick another one.
export PATH=/usr/bin:$PATH
venv=.venv
if ! is_310 "$venv/bin/python"; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi
# The module's start-up is the binding library's module definition of its
# 3.1 series; numpy is used by the tests and the benchmarks.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
  'pybind11>=3.1,<4' 'scikit-build-core>=0.10' 'pytest>=8' numpy
# The build tools are in the environment already; building against them keeps
# the build directory valid from one install to the next.
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation .
