#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and demonstrates with, when missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libcfitsio-dev libgtest-dev libbenchmark-dev
          fitsverify clang binutils snakemake pybind11-dev python3-dev python3-numpy
          python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
