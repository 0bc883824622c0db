#!/usr/bin/env bash
# Installs what is missing, builds the project and runs the backup workflow demo on data it
# makes itself (scripts/demo-workflow.sh). The demo works in a temporary folder that is
# removed at the end; --keep keeps it and names it.
#   usage: scripts/demo.sh [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
./scripts/demo-workflow.sh build "$@"
echo "(the block difference tool on its own: scripts/demo-tool.sh build)"
