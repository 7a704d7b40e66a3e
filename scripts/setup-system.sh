#!/usr/bin/env bash
# Installs the system packages the build needs (Debian; run as root).
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config libfmt-dev libyaml-cpp-dev libgtest-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
