#!/usr/bin/env python3
"""Compares two builds of libquillonvarde_sdk with qv-sdk-bench, in one run.

The same benchmark program runs in turns against the library it was built with ("after")
and against another build of the library ("before", loaded through LD_LIBRARY_PATH; the
benchmark finds its library through RUNPATH, which LD_LIBRARY_PATH overrides). Which build
goes first changes every round. Each run measures its own baseline, so every figure is the
library's speed over the baseline of the same run; the table gives, per case, the median of
those ratios for each build and after / before.

    sudo bench/compare_library.py --bench build/bench/qv-sdk-bench \\
        --before-lib /tmp/before/build/sdk --rounds 3 -- --reps 3
"""
import argparse
import os
import re
import statistics
import subprocess
import sys

ROW = re.compile(r"^\| (TCP|TLS|SAN) \| (read|write) \| ([0-9]+ [KM]iB) \| ([0-9.]+) .*?\| ([0-9.]+) .*?\| ([0-9.]+) \|")


def run(bench, library_dir, options):
    env = dict(os.environ)
    if library_dir:
        env["LD_LIBRARY_PATH"] = library_dir
    out = subprocess.run([bench] + options, env=env, stdout=subprocess.PIPE, text=True)
    if out.returncode != 0:
        sys.exit(f"compare_library: {bench} failed with status {out.returncode}")
    figures = {}
    for line in out.stdout.splitlines():
        m = ROW.match(line)
        if m:
            figures[m.group(1, 2, 3)] = (float(m.group(4)), float(m.group(6)))
    if not figures:
        sys.exit(f"compare_library: no figures in the output of {bench}")
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bench", required=True, help="the qv-sdk-bench program")
    parser.add_argument("--before-lib", required=True,
                        help="folder holding the other build's libquillonvarde_sdk.so.1")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each build")
    parser.add_argument("options", nargs="*", help="options for qv-sdk-bench, after --")
    args = parser.parse_args()
    if not os.path.exists(os.path.join(args.before_lib, "libquillonvarde_sdk.so.1")):
        sys.exit(f"compare_library: no libquillonvarde_sdk.so.1 in {args.before_lib}")

    results = {"before": [], "after": []}
    for r in range(args.rounds):
        order = ["before", "after"] if r % 2 == 0 else ["after", "before"]
        for side in order:
            results[side].append(
                run(args.bench, args.before_lib if side == "before" else "", args.options))
            print(f"round {r + 1}: {side} done", file=sys.stderr)

    print("| mode | op | request | before MiB/s | after MiB/s | before ratio | after ratio "
          "| after / before (ratios) |")
    print("|---|---|---|---|---|---|---|---|")
    ratios = []
    for case in results["after"][0]:
        def med(side, i):
            return statistics.median(run[case][i] for run in results[side] if case in run)
        before, after = med("before", 1), med("after", 1)
        ratios.append(after / before)
        print(f"| {' | '.join(case)} | {med('before', 0):.0f} | {med('after', 0):.0f} "
              f"| {before:.2f} | {after:.2f} | {after / before:.2f} |")
    print(f"\nmedian of after / before over {len(ratios)} cases: "
          f"{statistics.median(ratios):.2f}")


if __name__ == "__main__":
    main()
