#!/usr/bin/env bash
# Installs what Torvik needs, builds it and runs every test; then builds the
# engine once more with AddressSanitizer and UBSan and runs its tests again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/packages.sh
jobs="$(nproc)"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 900)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTORVIK_SANITIZE=ON -DTORVIK_GUI=OFF -DTORVIK_NET=OFF -DTORVIK_BENCH=OFF
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs" --timeout 900)
