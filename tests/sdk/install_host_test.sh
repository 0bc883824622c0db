#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds the install host (install_host/) twice, once with
# find_package and once with pkg-config; both must link (OpenSSL from the host) and run.
# Usage: install_host_test.sh <build-dir> <install-host-dir> <extra compiler/linker flags>
set -euo pipefail
build_dir=$1
host_src=$2
flags=${3:-}
work=$(mktemp -d /tmp/sdk-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

for component in sdk-runtime sdk-dev; do
    cmake --install "$build_dir" --component "$component" --prefix "$prefix" >/dev/null
done
lib=$(find "$prefix" -name 'libquillonvarde_sdk.so.1.*')
libdir=$(dirname "$lib")
test -f "$prefix/include/Quillonvarde_sdk.h"
test "$(readlink "$libdir/libquillonvarde_sdk.so")" = "libquillonvarde_sdk.so.1"
readelf -d "$lib" | grep -q 'Library soname: \[libquillonvarde_sdk.so.1\]'
if readelf -d "$lib" | grep -E 'NEEDED.*(libssl|libcrypto)'; then
    echo "the installed library must not depend on OpenSSL" >&2
    exit 1
fi
test -f "$libdir/pkgconfig/quillonvarde_sdk.pc"
test -f "$libdir/cmake/quillonvarde_sdk/quillonvarde_sdkConfig.cmake"

# A port on loopback where nothing listens: the host must report the refused connection.
port=1
check_run() {
    local out
    set +e
    out=$(LD_LIBRARY_PATH="$libdir" "$1" 127.0.0.1 "$port" token /disk 2>&1)
    local rc=$?
    set -e
    test "$rc" -eq 1 || { echo "host exited with $rc: $out" >&2; exit 1; }
    grep -q '^\[1\] enter CQuillonvardeSDKImpl::Initial...$' <<<"$out"
    grep -q '^\[5\] ConnectHXA: Connection refused  (line [0-9]*)$' <<<"$out"
    grep -q '^\[1\] leave CQuillonvardeSDKImpl::DisConnectHXA: OK$' <<<"$out"
}

cmake -S "$host_src" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
check_run "$work/cmake-host/install_host"

# shellcheck disable=SC2046,SC2086
PKG_CONFIG_PATH="$libdir/pkgconfig" g++ -std=c++17 $flags "$host_src/main.cpp" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs quillonvarde_sdk) \
    -o "$work/pkg-host"
check_run "$work/pkg-host"
echo "install and host builds OK"
