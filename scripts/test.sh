#!/usr/bin/env bash
# Builds everything twice and runs the whole test suite on each build:
#   build/       release build with -Werror (the shipped configuration)
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer build
# then checks the format of the C/C++ sources and the shell scripts, and lists every skipped
# test with its reason. Any failure makes the run fail, after everything has run.
set -euo pipefail
cd "$(dirname "$0")/.."
# Everything: the demo set and the test set of scripts/install-deps.sh.
./scripts/install-deps.sh all

jobs=$(nproc)
failed=()

# run_suite <build-dir> [environment...]: runs ctest there; its output is kept for the summary.
run_suite() {
    local dir=$1
    shift
    if ! (cd "$dir" && env "$@" ctest --output-on-failure -j "$jobs") 2>&1 | tee "$dir/ctest-output.txt"; then
        failed+=("tests in $dir")
    fi
}

# BUILD_TESTS=ON: GoogleTest is required, so that no test is left out.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DWERROR=ON -DBUILD_TESTS=ON
cmake --build build -j "$jobs"
run_suite build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWERROR=ON -DSANITIZE=ON -DBUILD_TESTS=ON
cmake --build build-asan -j "$jobs"
run_suite build-asan ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

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
    --gtest_filter='-Stream.EveryChangeRecordDecodesToTheSecondFilesBlock:Heartbeat.MatchesTheModelForManySizesAndBlockSizes' ||
    failed+=("memcheck of the tool's end-to-end tests")
"${memcheck[@]}" --log-file="$memcheck_dir/sdk-%p.log" build/tests/sdk-simulator/sdk_end_to_end_test \
    --gtest_filter='-*ImageWrittenThroughSanReadsBackThroughLanAndTheReverse*:*TwoHostsCopyAtOnceInBothTransports*' ||
    failed+=("memcheck of the library's end-to-end tests")
"${memcheck[@]}" --log-file="$memcheck_dir/faults-%p.log" build/tests/sdk/sdk_fault_injection_test \
    --gtest_filter='-Stall.*' || failed+=("memcheck of the library's fault injection tests")
# Processes whose status nobody checks (children between fork and exec) report here.
if grep -l -E "^==[0-9]+== +(Invalid|Conditional|Use of uninitialised|Syscall param|Mismatched|Source and destination|.* definitely lost)" \
    "$memcheck_dir"/*.log; then
    echo "memcheck found errors or definite leaks (logs above)" >&2
    failed+=("memcheck")
fi

# Fuzz smoke: each target for a few seconds from its seeds, under ASan, UBSan and
# LeakSanitizer, so that the targets keep building and running (fuzz/README.md).
mkdir -p build-fuzz
for target in replies base64 argv stream manifest journal; do
    FUZZ_BUILD_DIR=$PWD/build-fuzz fuzz/run.sh "$target" 7 >"build-fuzz/smoke-$target.log" 2>&1 ||
        { tail -n 60 "build-fuzz/smoke-$target.log" >&2; failed+=("fuzz smoke of $target"); continue; }
    echo "fuzz_$target: $(grep -E "^#[0-9]+[[:space:]]+DONE" "build-fuzz/smoke-$target.log")"
done

# Tracked sources (or, outside a git checkout, the files of the tree).
tracked() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files
    else
        find . -path './build*' -prune -o -path ./.git -prune -o -type f -print | sed 's|^\./||'
    fi
}

echo "== format check (clang-format-14, .clang-format)"
mapfile -t sources < <(tracked | grep -E '\.(c|cc|cpp|h|hpp)$')
if ! clang-format-14 --dry-run -Werror "${sources[@]}"; then
    failed+=("format check: run clang-format-14 -i on the files above")
fi

echo "== shellcheck"
# Scripts by their first line: an interpreter line, or the shell directive of the completion
# scripts, which bash-completion sources and which therefore carry no interpreter line.
mapfile -t shell_scripts < <(tracked | while read -r f; do
    head -n 1 "$f" 2>/dev/null | grep -qE '^#!.*(bash|/sh)|^# shellcheck shell=' && echo "$f"
done)
if ! shellcheck "${shell_scripts[@]}"; then
    failed+=("shellcheck")
fi

echo "== skipped tests"
python3 - build build-asan <<'PY'
import pathlib, re, sys
# ctest lists skipped tests at the end of its output; the reasons are in each test's output
# in the full log: a gtest skip message, or a line starting with "SKIPPED:".
for folder in map(pathlib.Path, sys.argv[1:]):
    summary = (folder / "ctest-output.txt").read_text(errors="replace")
    names = re.findall(r"^\s*\d+ - (\S+) \(Skipped\)$", summary, re.M)
    log = (folder / "Testing/Temporary/LastTest.log").read_text(errors="replace")
    for name in names:
        block = re.search(r"^\d+/\d+ Test: %s\n(.*?)^\"%s\" end time" % (re.escape(name), re.escape(name)),
                          log, re.M | re.S)
        text = block.group(1) if block else ""
        reason = re.search(r": Skipped\n(.*?)\n\[  SKIPPED \]", text, re.S)
        reason = reason.group(1) if reason else next(
            (l[len("SKIPPED:"):] for l in text.splitlines() if l.startswith("SKIPPED:")), "no reason given")
        print(f"{folder}: {name}: {' '.join(reason.split())}")
    if not names:
        print(f"{folder}: none")
PY

if [ ${#failed[@]} -ne 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "all tests and checks passed"
