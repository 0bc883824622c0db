#!/usr/bin/env bash
# The backup workflow end to end, on data made here: hxa-simulator serves a virtual disk on two
# LUN files; qv-disk fills it, takes a full backup, changes a few blocks and takes a second
# backup; zev-block-diff-tool streams the difference of the two backups and zev-block-apply
# applies the stream to a copy of the full backup, which must then equal the second backup.
# The SAN transport is used where a private mount namespace can give the LUN files names
# under /dev/disk/by-id (as root), the LAN transport otherwise. Everything runs in a temporary
# folder that is removed at the end (kept and named with --keep).
#   usage: scripts/demo-workflow.sh [build-dir] [--keep]
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
build_dir="" work="" keep="" # set by demo-lib.sh
# shellcheck source=demo-lib.sh disable=SC1091
. scripts/demo-lib.sh
demo_args "$@"

# SAN needs names under /dev/disk/by-id: run again in a private mount namespace when allowed.
if [ -z "${ZEV_DEMO_NAMESPACE:-}" ] && [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
    ZEV_DEMO_NAMESPACE=1 exec unshare --mount --propagation private -- "$self" "$@"
fi

sim="$build_dir/hxa-simulator/hxa-simulator"
qv="$build_dir/qv-disk/qv-disk"
diff_tool="$build_dir/tool/zev-block-diff-tool"
apply="$build_dir/zev-block-apply/zev-block-apply"
for p in "$sim" "$qv" "$diff_tool"; do demo_need "$p"; done

demo_workdir zev-demo
cd "$work"
sim_pid=""
mounted=()
demo_stop() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" || true
    fi
    local m
    for m in "${mounted[@]}"; do umount "$m" 2>/dev/null || true; done
}

size=$((64 << 20))
disk=/vm/demo/disk0
wwn_a=6000c29a1b2c3d4e5f60718293a4b5c6
wwn_b=6000c29a1b2c3d4e5f60718293a4b5c7
printf 'demo-token\n' >token
chmod 600 token

transport=(--san --lun "wwn-0x$wwn_a" --lun "wwn-0x$wwn_b")
how="SAN: the LUN files under /dev/disk/by-id in a private mount namespace"
if [ -n "${ZEV_DEMO_NAMESPACE:-}" ] && mkdir -p dev-upper dev-work &&
    mount -t overlay overlay -o "lowerdir=/dev,upperdir=$work/dev-upper,workdir=$work/dev-work" /dev 2>/dev/null &&
    mounted=(/dev) && mkdir -p /dev/disk/by-id && mount -t tmpfs tmpfs /dev/disk/by-id &&
    mounted=(/dev/disk/by-id /dev); then
    ln -s "$work/lun-a.img" "/dev/disk/by-id/wwn-0x$wwn_a"
    ln -s "$work/lun-b.img" "/dev/disk/by-id/wwn-0x$wwn_b"
else
    transport=()
    how="LAN: SAN needs a private mount namespace (as root) to name the LUN files under /dev/disk/by-id"
fi

"$sim" --tls --token demo-token --lun "$wwn_a=$work/lun-a.img:48M" --lun "$wwn_b=$work/lun-b.img:48M" \
    --san-disk "$disk=64M:$wwn_a,$wwn_b" >sim.out 2>simulator.log &
sim_pid=$!
port=""
for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' sim.out)
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "demo: the simulator did not start:" >&2
    cat simulator.log >&2
    exit 1
fi

# The disk's first content: text, executable bytes, random data and runs of zeros.
python3 - vm.img "$size" <<'PY'
import random, sys
rng = random.Random(11)
size = int(sys.argv[2])
img = bytearray(size)
words = b"backup virtual machine disk block change stream log record service node".split()
pos = 0
with open("/bin/bash", "rb") as f:
    exe = f.read()
while pos < size:
    n = rng.choice([4096, 65536, 262144, 1048576])
    kind = rng.random()
    if kind < 0.3:
        chunk = bytes(n)
    elif kind < 0.55:
        chunk = (b" ".join(rng.choice(words) for _ in range(n // 6)) * 2)[:n]
    elif kind < 0.85:
        start = rng.randrange(max(1, len(exe) - n))
        chunk = exe[start:start + n]
    else:
        chunk = rng.randbytes(n)
    img[pos:pos + len(chunk)] = chunk[: size - pos]
    pos += len(chunk)
open(sys.argv[1], "wb").write(img)
head = bytearray(rng.randbytes(300000))
open("patch-1.bin", "wb").write(head)
open("patch-2.bin", "wb").write(b"changed by the demo " * 500)
PY

short() { sed -E 's/(sha256 [0-9a-f]{12})[0-9a-f]+/\1.../; s/^/   /'; }
qv_disk() { "$qv" "$1" --server "127.0.0.1:$port" --tls --token-file token --disk "$disk" "${@:2}" | short; }
mib() { awk -v b="$1" 'BEGIN { printf "%.2f MiB", b / 1048576 }'; }

echo "zev demo: back up a virtual disk twice and rebuild the second backup from the first"
echo "   work folder $work; hxa-simulator on 127.0.0.1:$port (TLS), disk $disk of $(mib "$size")"
echo "   transport $how"
echo "1. the virtual machine writes its disk (qv-disk write)"
qv_disk write -i vm.img "${transport[@]}"
echo "2. full backup (qv-disk read)"
qv_disk read --size "$size" -o full.img --sha256 "${transport[@]}"
echo "3. the virtual machine changes some blocks (qv-disk write --offset)"
qv_disk write -i patch-1.bin --offset 5000000 "${transport[@]}"
qv_disk write -i patch-2.bin --offset 40M "${transport[@]}"
echo "4. second backup, over 4 connections (qv-disk read --connections 4)"
qv_disk read --size "$size" -o second.img --sha256 --connections 4 "${transport[@]}"

echo "5. change stream (zev-block-diff-tool full.img second.img --log-file diff.log)"
"$diff_tool" full.img second.img --log-file diff.log >changes.jsonl
changes=$(grep -c '"length":[1-9]' changes.jsonl || true)
beats=$(grep -c '"last":false' changes.jsonl || true)
echo "   $changes change records of 64 KiB blocks, $beats heartbeats; final record: $(tail -n 1 changes.jsonl)"

echo "6. apply it to a copy of the full backup (zev-block-apply restored.img --input changes.jsonl)"
if [ ! -x "$apply" ]; then
    echo "   zev-block-apply is not built in $build_dir (expected at $apply): the demo stops here" >&2
    exit 1
fi
cp --sparse=always full.img restored.img
"$apply" restored.img --input changes.jsonl | short
sum() { sha256sum "$1" | cut -c1-64; }
echo "7. result"
echo "   second backup $(sum second.img)"
echo "   restored      $(sum restored.img)"
echo "   image $(mib "$(stat -c %s second.img)"), change stream $(mib "$(stat -c %s changes.jsonl)")"
where="$work/simulator.log, $work/diff.log"
if [ "$keep" != yes ]; then where="$where (removed at the end; --keep keeps them)"; fi
echo "   full logs: $where"
if [ "$(sum restored.img)" != "$(sum second.img)" ]; then
    echo "demo: FAILED: the restored image differs from the second backup" >&2
    exit 1
fi
echo "demo: OK, the restored image equals the second backup"
