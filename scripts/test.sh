#!/usr/bin/env bash
# Builds everything twice and runs the whole test suite on each build:
#   build/       release build with -Werror (the shipped configuration)
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer build
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DWERROR=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWERROR=ON -DSANITIZE=ON
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j "$jobs")

# Memcheck over the end-to-end tests of the tool (run dynamically linked, so that memcheck sees
# its heap) and of the library (the test process hosts the library; the simulator is not
# traced), and over the library's fault injection: no error and no definite leak. The two
# largest table tests of the tool, the 64 MiB copies of the library and the stalled peers are
# left to the runs above, to keep this to a few minutes.
memcheck_dir=$PWD/build/memcheck
rm -rf "$memcheck_dir"
mkdir -p "$memcheck_dir"
memcheck=(valgrind -q --error-exitcode=99 --errors-for-leak-kinds=definite --leak-check=full
    --suppressions="$PWD/tests/memcheck.supp")
"${memcheck[@]}" --trace-children=yes --trace-children-skip='/usr/bin/*,/bin/*,/usr/sbin/*,/sbin/*' \
    --log-file="$memcheck_dir/tool-%p.log" build/tests/tool/tool_e2e_tests_memcheck \
    --gtest_filter='-Stream.EveryChangeRecordDecodesToTheSecondFilesBlock:Heartbeat.MatchesTheModelForManySizesAndBlockSizes'
"${memcheck[@]}" --log-file="$memcheck_dir/sdk-%p.log" build/tests/sdk-simulator/sdk_end_to_end_test \
    --gtest_filter='-*ImageWrittenThroughSanReadsBackThroughLanAndTheReverse*:*TwoHostsCopyAtOnceInBothTransports*'
"${memcheck[@]}" --log-file="$memcheck_dir/faults-%p.log" build/tests/sdk/sdk_fault_injection_test \
    --gtest_filter='-Stall.*'
# Processes whose status nobody checks (children between fork and exec) report here.
if grep -l -E "^==[0-9]+== +(Invalid|Conditional|Use of uninitialised|Syscall param|Mismatched|Source and destination|.* definitely lost)" \
    "$memcheck_dir"/*.log; then
    echo "memcheck found errors or definite leaks (logs above)" >&2
    exit 1
fi

# Fuzz smoke: each target for a few seconds from its seeds, under ASan, UBSan and
# LeakSanitizer, so that the targets keep building and running (fuzz/README.md).
mkdir -p build-fuzz
for target in replies base64 argv; do
    FUZZ_BUILD_DIR=$PWD/build-fuzz fuzz/run.sh "$target" 7 >"build-fuzz/smoke-$target.log" 2>&1 ||
        { tail -n 60 "build-fuzz/smoke-$target.log" >&2; exit 1; }
    echo "fuzz_$target: $(grep -E "^#[0-9]+[[:space:]]+DONE" "build-fuzz/smoke-$target.log")"
done
