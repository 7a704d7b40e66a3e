#!/usr/bin/env bash
# Checks for the system packages the build uses (Debian) and installs those
# that are missing when it can: as root through apt-get. Without root, or
# without apt-get, it names the missing packages and stops; with all of them
# there it changes nothing and needs no root. With the argument "fuzz" it also
# asks for clang and its runtime, which the libFuzzer targets need.
set -euo pipefail
packages=(g++ cmake ninja-build libfmt-dev libyaml-cpp-dev libgtest-dev valgrind)
if [[ ${1:-} == fuzz ]]; then
  packages+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null; then
  echo "missing system packages: ${missing[*]}" >&2
  echo "install them as root, for example: apt-get install ${missing[*]}" >&2
  exit 1
fi
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
