#!/usr/bin/env bash
# Installs what the demo needs and is missing (the demo set of scripts/install-deps.sh),
# builds the programs and runs the backup workflow demo on data it makes itself
# (scripts/demo-workflow.sh). The demo works in a temporary folder that is removed at the end;
# --keep keeps it and names it.
#   usage: scripts/demo.sh [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh demo
# The build folder is the one of ./scripts/test.sh; without GoogleTest (not in the demo set)
# it leaves the tests out. Only the programs of the demos are built.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target zev-block-diff-tool zev-block-apply zev-block-manifest \
    zev-block-merge hxa-simulator qv-disk >/dev/null
./scripts/demo-workflow.sh build "$@"
echo "(the block difference tool on its own: scripts/demo-tool.sh build)"
