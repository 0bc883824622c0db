#!/usr/bin/env bash
# Builds everything twice and runs the whole test suite on each build:
#   build/       release build with -Werror (the shipped configuration)
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer build
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DWERROR=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWERROR=ON -DSANITIZE=ON
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")
