#!/usr/bin/env python3
"""Every file and program the documentation names exists, and README.md's runnable blocks run.

Usage: docs_test.py <source-dir> <build-dir> <program>...

- Links of README.md and docs/*.md point at files of the tree.
- Paths of the tree (scripts/..., docs/..., build/...) named anywhere in them exist, build/
  paths in the build folder.
- Programs of this repository given on the command line that start a line of a shell block
  are built.
- Shell blocks of README.md preceded by the line "<!-- runnable -->" run with bash in an
  empty folder where build/ is the build folder; each must exit 0.
"""
import pathlib
import re
import subprocess
import sys
import tempfile

source = pathlib.Path(sys.argv[1])
build = pathlib.Path(sys.argv[2])
programs = set(sys.argv[3:])
top_dirs = sorted(p.name for p in source.iterdir() if p.is_dir() and not p.name.startswith("."))
path_re = re.compile(r"(?<![\w/.~-])(?:\./)?((?:build|%s)/[\w./-]*[\w/])" % "|".join(map(re.escape, top_dirs)))
link_re = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")
block_re = re.compile(r"^(<!-- runnable -->\n)?```(\w*)\n(.*?)^```$", re.M | re.S)

failures = []
docs = [source / "README.md"] + sorted((source / "docs").glob("*.md"))
for doc in docs:
    text = doc.read_text()
    name = doc.relative_to(source)
    for target in link_re.findall(text):
        if re.match(r"[a-z]+:", target):
            continue
        if not (doc.parent / target).exists():
            failures.append(f"{name}: link to missing {target}")
    for path in set(path_re.findall(text)):
        if path.startswith("build/"):
            if not (build / path[len("build/"):]).exists():
                failures.append(f"{name}: {path} is not in the build folder")
        elif not (source / path).exists():
            failures.append(f"{name}: {path} is not in the tree")
    for runnable, lang, body in block_re.findall(text):
        if lang not in ("sh", ""):
            continue
        for line in body.splitlines():
            words = line.replace("$ ", "", 1).split()
            first = pathlib.PurePath(words[0]).name if words else ""
            if first in programs and not any(build.rglob(first)):
                failures.append(f"{name}: program {first} is not built")
        if runnable and doc.name == "README.md":
            with tempfile.TemporaryDirectory() as tmp:
                (pathlib.Path(tmp) / "build").symlink_to(build.resolve())
                run = subprocess.run(["bash", "-euo", "pipefail", "-c", body], cwd=tmp,
                                     capture_output=True, text=True)
                if run.returncode != 0:
                    failures.append(f"{name}: runnable block failed ({run.returncode}):\n"
                                    f"{body}{run.stdout}{run.stderr}")

for f in failures:
    print(f)
print(f"{len(docs)} documents checked, {len(failures)} failures")
sys.exit(1 if failures else 0)
