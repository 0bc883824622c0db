#!/usr/bin/env bash
# Builds everything twice and runs the whole test suite on each build:
#   build/       release build with -Werror (the shipped configuration)
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer build
# then checks the format of the C/C++ sources and the shell scripts, and lists every skipped
# test with its reason. Any failure makes the run fail, after everything has run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

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

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DWERROR=ON
cmake --build build -j "$jobs"
run_suite build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWERROR=ON -DSANITIZE=ON
cmake --build build-asan -j "$jobs"
run_suite build-asan ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

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
mapfile -t shell_scripts < <(tracked | while read -r f; do
    head -n 1 "$f" 2>/dev/null | grep -qE '^#!.*(bash|/sh)' && echo "$f"
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
