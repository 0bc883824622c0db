#!/usr/bin/env bash
# Source coverage that the corpora reach in the project's own code: builds the targets with
# clang's coverage instrumentation into build-fuzz-cov/, runs every input of the committed
# seeds and of build-fuzz/corpus/TARGET (what fuzz/run.sh found) once, and prints the report
# of tool/ and sdk/ (needs llvm-profdata and llvm-cov, Debian package llvm).
#   fuzz/coverage.sh [TARGET...]      default: replies base64 argv
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz-cov
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(replies base64 argv)

CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -DFUZZ_COVERAGE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

rm -f "$build"/*.profraw
objects=()
for target in "${targets[@]}"; do
    corpora=("$root/fuzz/corpus/$target")
    [ -d "$root/build-fuzz/corpus/$target" ] && corpora+=("$root/build-fuzz/corpus/$target")
    LLVM_PROFILE_FILE="$build/$target.profraw" "$build/fuzz_$target" -runs=0 "${corpora[@]}" \
        >"$build/$target.log" 2>&1
    # The first binary is named alone, every further one after -object.
    [ ${#objects[@]} -gt 0 ] && objects+=(-object)
    objects+=("$build/fuzz_$target")
done
llvm-profdata merge -sparse "$build"/*.profraw -o "$build/all.profdata"
llvm-cov report "${objects[@]}" -instr-profile="$build/all.profdata" \
    "$root/zev-stream/base64.cpp" "$root/zev-block-diff-tool/zev-block-diff-tool.cpp" \
    "$root/zev-block-diff-tool/logging.cpp" "$root"/sdk/*.cpp
