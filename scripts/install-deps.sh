#!/usr/bin/env bash
# Installs what the build, the tests, the packages, the manual pages, the demo and the
# benchmark need on Debian 12. Does nothing when every package is already present.
set -euo pipefail

# package, then what it is needed for
packages=(
    g++ "compiler"
    make "build"
    cmake "build"
    pkg-config "library tests"
    liblz4-dev "diff tool"
    libssl-dev "library and simulator"
    openssl "TLS tests"
    libgtest-dev "tests"
    libgmock-dev "tests"
    binutils "library tests"
    util-linux "SAN tests"
    file "tool tests"
    python3 "demo and documentation test"
    python3-lz4 "demo and benchmark"
    scdoc "manual pages"
    groff-base "manual page test"
    dpkg-dev "Debian packages"
    lintian "package test"
    clang-format-14 "format check"
    shellcheck "script check"
    libcli11-dev "command lines of zev-block-apply and qv-disk"
    valgrind "memcheck run"
    clang "fuzz targets"
    libclang-rt-14-dev "fuzz targets (libFuzzer)"
)

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

echo "install-deps: installing ${why[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# A fresh machine often has an empty package index: refresh it first, quietly.
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
