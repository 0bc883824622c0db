#!/usr/bin/env bash
# Installs what the build, the tests, the demo and the benchmark need on Debian 12.
# Does nothing when every package is already present.
set -euo pipefail

packages=(
    g++ make cmake pkg-config
    liblz4-dev libssl-dev openssl
    libgtest-dev libgmock-dev
    binutils util-linux file
    python3 python3-lz4
    valgrind clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
    "${sudo_cmd[@]}" apt-get update
    "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
