#!/usr/bin/env bash
# Runs the Python suite (arguments go to pytest) against a module built with
# AddressSanitizer, UndefinedBehaviorSanitizer and library assertions. The
# module is installed into a prefix of the build tree, where the package
# folder rarovaredivar/ holds it beside its library as in site-packages. The
# interpreter is not instrumented, so the sanitizer runtimes are preloaded;
# the interpreter's own allocations at exit are not reported as leaks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-python.sh
export PATH=/usr/bin:$PATH
build=build/python-sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBACKGROUND_SANITIZE=ON -DBACKGROUND_BUILD_PYTHON=ON \
  -DBACKGROUND_BUILD_TESTS=OFF -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -Dpybind11_DIR="$(.venv/bin/python -c 'import pybind11; print(pybind11.get_cmake_dir())')"
cmake --build "$build" -j 2
prefix=$PWD/$build/install
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$prefix" .venv/bin/python -m pytest "$@"
