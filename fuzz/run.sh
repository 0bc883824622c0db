#!/usr/bin/env bash
# Builds the fuzz targets into build-fuzz/ (clang, libFuzzer, ASan, UBSan, LeakSanitizer) and
# runs one of them for a given time, starting from the committed seeds.
#   fuzz/run.sh TARGET SECONDS [libFuzzer options...]
# TARGET: replies, base64, argv, stream, manifest or journal. New inputs go to
# build-fuzz/corpus/TARGET (the committed seeds stay as they are); a crash, leak or time-out
# writes its input to build-fuzz/artifacts/ and ends the script with a nonzero status.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 replies|base64|argv|stream|manifest|journal SECONDS [libFuzzer options...]" >&2
    exit 2
fi
target=$1
seconds=$2
shift 2

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}

asan_extra=
case "$target" in
    replies) options=(-max_len=16384 -timeout=20) ;;
    base64) options=(-max_len=4096 -timeout=10) ;;
    stream) options=(-max_len=65536 -timeout=20) ;;
    manifest) options=(-max_len=65536 -timeout=20) ;;
    journal) options=(-max_len=8192 -timeout=10) ;;
    # Allocations above 256 MiB fail (null), so the largest block sizes take the tool's
    # allocation failure path instead of mapping gigabytes for every input.
    argv)
        options=(-max_len=512 -timeout=20 -malloc_limit_mb=16384)
        asan_extra=:allocator_may_return_null=1:max_allocation_size_mb=256
        ;;
    *)
        echo "unknown target: $target (replies, base64, argv, stream, manifest or journal)" >&2
        exit 2
        ;;
esac

if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target "fuzz_$target" >/dev/null

corpus=$build/corpus/$target
mkdir -p "$corpus" "$build/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1$asan_extra}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
"$build/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" "${options[@]}" "$@" \
    "$corpus" "$root/fuzz/corpus/$target"
