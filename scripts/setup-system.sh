#!/usr/bin/env bash
# Installs the system packages the build needs (Debian; run as root). With the
# argument "fuzz" also clang and its runtime for the libFuzzer targets.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config libfmt-dev libyaml-cpp-dev libgtest-dev libbenchmark-dev)
if [[ ${1:-} == fuzz ]]; then
  packages+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
