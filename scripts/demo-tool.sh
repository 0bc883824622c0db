#!/usr/bin/env bash
# Demo of zev-block-diff-tool: makes two small disk images that differ in a few blocks, runs the
# tool on them, shows the JSON-lines stream and proves that every change record decodes
# (Base64, then LZ4) to exactly the second image's bytes. Works in a temporary folder that is
# removed at the end (kept and named with --keep).
#   usage: scripts/demo-tool.sh [build-dir] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="" work="" keep="" # set by demo-lib.sh
# shellcheck source=demo-lib.sh disable=SC1091
. scripts/demo-lib.sh
demo_args "$@"
tool="$build_dir/zev-block-diff-tool/zev-block-diff-tool"
python=/usr/bin/python3
demo_need "$tool"
demo_workdir zev-demo-tool
out=$work

echo "== making two 1 MiB disk images in $out (block size 64 KiB, 16 blocks)"
"$python" - "$out/base.img" "$out/changed.img" <<'PY'
import os, random, sys
rng = random.Random(7)
words = b"the backup of a virtual machine disk image block data log file system \n".split(b" ")
def text(n):
    s = b" ".join(rng.choice(words) for _ in range(n // 3))
    return (s * (n // max(1, len(s)) + 1))[:n]
size = 1 << 20
img = bytearray(size)                                   # zeros
img[0:200000] = text(200000)                            # text
img[400000:500000] = rng.randbytes(100000)              # random data
with open("/bin/ls", "rb") as f:                        # executable bytes
    exe = f.read(150000)
img[600000:600000 + len(exe)] = exe
open(sys.argv[1], "wb").write(img)
changed = bytearray(img)
changed[70000:70011] = b"hello, demo"                  # block 1: a few bytes of text
changed[5 * 65536:6 * 65536] = rng.randbytes(65536)     # block 5: rewritten with random data
changed[size - 100:] = b"Z" * 100                       # block 15, the last block: its end
open(sys.argv[2], "wb").write(changed)
PY
ls -l "$out"/*.img

echo
echo "== running: zev-block-diff-tool base.img changed.img --log-file diff.log"
set +e
"$tool" "$out/base.img" "$out/changed.img" --log-file "$out/diff.log" >"$out/stream.jsonl"
status=$?
set -e
echo "exit status: $status"

echo
echo "== the stream (data shortened for display; the full stream is in $out/stream.jsonl)"
sed -E 's/("data":"[^"]{48})[^"]+"/\1..."/' "$out/stream.jsonl"

echo
echo "== summary"
"$python" - "$out/stream.jsonl" "$out/changed.img" <<'PY'
import base64, json, sys
import lz4.block
records = [json.loads(line) for line in open(sys.argv[1])]
second = open(sys.argv[2], "rb").read()
changes = [r for r in records if "last" not in r]
beats = [r for r in records if r.get("last") is False]
final = [r for r in records if r.get("last") is True]
print("change records: %d, heartbeat records: %d, final records: %d (offset %d)" %
      (len(changes), len(beats), len(final), final[-1]["offset"]))
for r in changes:
    packed = base64.b64decode(r["data"])
    block = lz4.block.decompress(packed, uncompressed_size=r["length"])
    ok = block == second[r["offset"]:r["offset"] + r["length"]]
    print("  block at offset %7d: %6d bytes -> %6d bytes LZ4 -> %6d Base64 characters: %s" %
          (r["offset"], r["length"], len(packed), len(r["data"]),
           "decodes to the second image's bytes" if ok else "MISMATCH"))
    if not ok:
        sys.exit(1)
PY

echo
where="$out/diff.log"
if [ "$keep" != yes ]; then where="$where (removed at the end; --keep keeps it)"; fi
echo "== the diagnostic log: $(grep -c . "$out/diff.log") lines, every block and record, in $where"
