#!/usr/bin/env bash
# Builds the Debian packages, checks their fields, contents and lintian verdict, installs
# them and builds the host example of docs/libquillonvarde_sdk.md against the installed
# development package, found with the README's CMake lines (find_package) and with pkg-config
# in the multiarch library folder, then runs it against the packaged simulator.
# Usage: package_test.sh <build-dir> <source-dir> <version> <sanitize ON|OFF> <library-folder>
#            <package>:<path>...
# <library-folder> is where the packages put the library, relative to the root
# (usr/lib/x86_64-linux-gnu).
# Exit 77 (skipped) in the sanitizer configuration, whose programs are not the shipped ones.
set -euo pipefail
build_dir=$1
source_dir=$2
version=$3
sanitize=$4
lib=$5
shift 5
if [ "$sanitize" = ON ]; then
    echo "SKIPPED: packages are made from the release build, not from the sanitizer build"
    exit 77
fi

work=$(mktemp -d /tmp/qv-package-XXXXXX)
installed=()
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    if [ ${#installed[@]} -gt 0 ]; then dpkg --purge "${installed[@]}" >/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack did not make the packages"; }
debs=("$work"/out/*.deb)

# Fields of every package.
declare -A depends=(
    [zev-block-diff-tool]=""
    [libquillonvarde-sdk1]="libc6"
    [libquillonvarde-sdk-dev]="libquillonvarde-sdk1 (= $version), libssl-dev"
    [qv-tools]="libquillonvarde-sdk1 (= $version)"
)
for pkg in "${!depends[@]}"; do
    deb="$work/out/${pkg}_${version}_amd64.deb"
    test -f "$deb" || fail "no package $pkg"
    test "$(dpkg-deb -f "$deb" Version)" = "$version" || fail "$pkg: wrong version"
    for field in Maintainer Section Description; do
        test -n "$(dpkg-deb -f "$deb" "$field")" || fail "$pkg: no $field"
    done
    grep -qF -- "${depends[$pkg]}" <<<"$(dpkg-deb -f "$deb" Depends)" ||
        fail "$pkg: Depends '$(dpkg-deb -f "$deb" Depends)' lacks '${depends[$pkg]}'"
    dpkg-deb -c "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}' >"$work/$pkg.list"
    echo "== $pkg: Depends: $(dpkg-deb -f "$deb" Depends)"
    grep -v '/$' "$work/$pkg.list" | sed 's/^/   /'
    grep -q "^\./usr/share/doc/$pkg/copyright$" "$work/$pkg.list" || fail "$pkg: no copyright file"
done
diff_tool_depends=$(dpkg-deb -f "$work/out/zev-block-diff-tool_${version}_amd64.deb" Depends)
test "$diff_tool_depends" = "" ||
    grep -qE '/usr/bin/zev-block-(apply|manifest|merge)$' "$work/zev-block-diff-tool.list" ||
    fail "zev-block-diff-tool: only zev-block-apply, zev-block-manifest and zev-block-merge may bring dependencies"
# zev-block-manifest takes SHA-256 from OpenSSL's libcrypto, which libssl3 ships.
if grep -q '/usr/bin/zev-block-manifest$' "$work/zev-block-diff-tool.list"; then
    grep -q 'libssl3' <<<"$diff_tool_depends" ||
        fail "zev-block-diff-tool: Depends '$diff_tool_depends' lacks libssl3 for zev-block-manifest"
fi

# Every expected file is in its package.
for entry in "$@"; do
    pkg=${entry%%:*}
    path=${entry#*:}
    grep -qE "^\./$path( |$)" "$work/$pkg.list" || fail "$pkg does not hold $path"
done

# lintian: no errors (its warnings are printed).
lintian --fail-on error "${debs[@]}" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "${debs[@]}" >/dev/null 2>&1 || fail "lintian reports errors"

# Install: into this machine when running as root in CI (purged afterwards), otherwise
# unpacked into a scratch root.
if [ "$(id -u)" -eq 0 ] && [ -n "${CI:-}" ]; then
    installed=(qv-tools libquillonvarde-sdk-dev libquillonvarde-sdk1 zev-block-diff-tool)
    dpkg -i "${debs[@]}" >/dev/null
    root=/
    usr=/usr
else
    root=$work/root
    for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
    usr=$root/usr
    export LD_LIBRARY_PATH=$root/$lib
fi
libdir=${root%/}/$lib
echo "installed into $root"
usage=$("$usr/bin/zev-block-diff-tool" 2>&1 || true)
grep -q '^Usage: ' <<<"$usage" || fail "installed diff tool does not run: $usage"
if [ -x "$usr/bin/zev-block-manifest" ]; then
    manifest_version=$("$usr/bin/zev-block-manifest" --version 2>&1 || true)
    test "$manifest_version" = "zev-block-manifest $version" ||
        fail "installed zev-block-manifest does not run: $manifest_version"
fi

# The host example, built against the installed development package both ways.
host=$work/host
mkdir -p "$host"
awk '/^```cpp$/{on=1; next} /^```$/{on=0} on' "$source_dir/docs/libquillonvarde_sdk.md" >"$host/main.cpp"
{
    echo "cmake_minimum_required(VERSION 3.25)"
    echo "project(host CXX)"
    echo "set(CMAKE_CXX_STANDARD 17)"
    awk '/^```cmake$/{on=1; next} /^```$/{on=0} on' "$source_dir/README.md"
    # Where the package was found, its version, the library of its imported target, and
    # whether the version file turns down another major version.
    cat <<'EOF'
get_target_property(qv_library quillonvarde_sdk::quillonvarde_sdk LOCATION)
message(STATUS "package: ${quillonvarde_sdk_DIR} ${quillonvarde_sdk_VERSION} ${qv_library}")
find_package(quillonvarde_sdk 2 QUIET)
message(STATUS "version 2 found: ${quillonvarde_sdk_FOUND}")
EOF
} >"$host/CMakeLists.txt"
grep -q 'InitialSDK' "$host/main.cpp" || fail "docs/libquillonvarde_sdk.md holds no host example"
grep -q 'find_package(quillonvarde_sdk' "$host/CMakeLists.txt" || fail "README.md holds no CMake lines"
cmake -S "$host" -B "$host/build" -DCMAKE_PREFIX_PATH="$usr" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >"$host/cmake.log" ||
    fail "find_package: $(cat "$host/cmake.log")"
found=$(sed -n 's/^-- package: //p' "$host/cmake.log")
test "$found" = "$libdir/cmake/quillonvarde_sdk $version $libdir/libquillonvarde_sdk.so.$version" ||
    fail "find_package found '$found', not the package in $libdir"
grep -qx -- '-- version 2 found: 0' "$host/cmake.log" || fail "find_package takes version 1 for 2"
cmake --build "$host/build" >/dev/null
export PKG_CONFIG_PATH=$libdir/pkgconfig
test "$(pkg-config --modversion quillonvarde_sdk)" = "$version" || fail "pkg-config: wrong version"
pc_libdir=$(realpath -m "$(pkg-config --variable=libdir quillonvarde_sdk)")
test "$pc_libdir" = "$libdir" || fail "pkg-config names the library folder $pc_libdir, not $libdir"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror "$host/main.cpp" \
    $(pkg-config --cflags --libs quillonvarde_sdk) -o "$host/pkg-host"

# Run both against the packaged simulator: the host prints the first 4 KiB of the disk.
head -c 65536 /dev/urandom >"$work/disk.img"
"$usr/bin/hxa-simulator" --token secret --disk /vm/disk0="$work/disk.img" \
    >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^listening on' "$work/sim.out" && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.out")
test -n "$port" || fail "the packaged simulator did not start: $(cat "$work/sim.log")"
for program in "$host/build/host" "$host/pkg-host"; do
    "$program" 127.0.0.1 "$port" secret /vm/disk0 >"$work/first.bin" 2>"$work/host.log" ||
        fail "$program: $(cat "$work/host.log")"
    cmp "$work/first.bin" <(head -c 4096 "$work/disk.img") || fail "$program read other bytes"
done
echo "packages made, checked, installed and used"
