#!/usr/bin/env bash
# Installs what is missing, builds and installs the toolkit into downlink/, generates a
# synthetic sample stack in demo/ and runs the programs on it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DBUILD_TESTING=OFF -DDOWNLINK_BENCHMARKS=OFF >/dev/null
cmake --build build -j "$(nproc)"
cmake --install build >/dev/null
exec bash scripts/demo_run.sh "$PWD/demo"
