#!/usr/bin/env bash
# Installs what is missing, builds and installs into downlink/, runs the whole suite, then
# builds again with AddressSanitizer and UndefinedBehaviorSanitizer and runs the suite again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

echo "=== plain build ==="
cmake -S . -B build -DDOWNLINK_WERROR=ON -DBUILD_TESTING=ON -DDOWNLINK_BENCHMARKS=ON \
      -DDOWNLINK_SANITIZE=OFF
cmake --build build -j "$jobs"
cmake --install build
ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs"

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer build ==="
cmake -S . -B build-asan -DDOWNLINK_WERROR=ON -DDOWNLINK_SANITIZE=ON -DBUILD_TESTING=ON \
      -DDOWNLINK_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_INSTALL_PREFIX="$PWD/build-asan/stage"
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$jobs"
