#!/usr/bin/env bash
# Installs from Debian 12's packages what is missing for one of two sets, and does nothing
# when every package of the set is already present:
#   demo  what ./scripts/demo.sh needs: the compiler and build tools, the libraries the
#         programs link, and what the demo scripts run. A build with only these leaves out
#         the tests (no GoogleTest) and the manual pages (no scdoc).
#   all   the demo set and the test set: what ./scripts/test.sh needs on top, to build and run
#         every test, the packages and their checks, the manual pages, the memcheck run, the
#         fuzz targets, the format and script checks.
#   usage: scripts/install-deps.sh [demo|all]   (default: all)
set -euo pipefail

set_name=${1:-all}

# package, then what it is needed for
demo_set=(
    g++ "compiler (C and C++)"
    make "build"
    cmake "build"
    liblz4-dev "diff tool (static liblz4), zev-block-apply, qv-disk"
    libssl-dev "library, simulator, block manifests"
    libcli11-dev "command lines of the programs and the benchmarks"
    python3 "demo data; documentation test"
    python3-lz4 "scripts/demo-tool.sh, which the demo names; benchmarks"
    util-linux "demo's SAN transport (unshare)"
    mount "demo's SAN transport (mount)"
)
test_set=(
    libgtest-dev "tests"
    libgmock-dev "tests"
    pkg-config "library install and package tests"
    binutils "library tests (readelf)"
    file "tool tests"
    openssl "incremental benchmark (openssl speed)"
    scdoc "manual pages"
    groff-base "manual page test"
    dpkg-dev "Debian packages"
    lintian "package test"
    valgrind "memcheck run"
    clang "fuzz targets"
    libclang-rt-14-dev "fuzz targets (libFuzzer)"
    clang-format-14 "format check"
    shellcheck "script check"
    bash-completion "completion test (the helpers the completion scripts use)"
)

case $set_name in
demo) packages=("${demo_set[@]}") ;;
all) packages=("${demo_set[@]}" "${test_set[@]}") ;;
*)
    echo "usage: $0 [demo|all]" >&2
    exit 2
    ;;
esac

missing=()
why=()
for ((i = 0; i < ${#packages[@]}; i += 2)); do
    p=${packages[i]}
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
        why+=("$p (${packages[i + 1]})")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing for the $set_name set: ${why[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# A fresh machine often has an empty package index: refresh it first, quietly.
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
