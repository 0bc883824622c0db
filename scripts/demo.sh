#!/usr/bin/env bash
# Builds the project and runs the demos on data they make themselves.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
for demo in scripts/demo-tool.sh scripts/demo-sdk.sh; do
    if [ -x "$demo" ]; then
        "$demo" build
    fi
done
