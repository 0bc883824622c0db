#!/usr/bin/env bash
# The backup workflow end to end, on data made here: hxa-simulator serves a virtual disk on two
# LUN files; qv-disk fills it, takes a full backup with its block manifest and, after a few
# blocks change, an incremental backup: the change stream of the disk against that manifest,
# with no second image. zev-block-apply applies the stream to a copy of the full backup,
# checking the base before and the result after against the manifests, and refuses it onto
# the wrong base. A second night's stream is folded with the first by zev-block-merge and
# applied once; then the damaged disk is rolled back to the full backup with qv-disk write
# --only-changed, which writes only the blocks that differ.
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
apply="$build_dir/zev-block-apply/zev-block-apply"
merge="$build_dir/zev-block-merge/zev-block-merge"
manifest_tool="$build_dir/zev-block-manifest/zev-block-manifest"
for p in "$sim" "$qv" "$manifest_tool" "$merge"; do demo_need "$p"; done

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

# sim.out exists before the simulator's shell opens it, so that the first look below cannot
# find it missing (which would end the demo under set -e).
: >sim.out
"$sim" --tls --print-fingerprint --token demo-token --lun "$wwn_a=$work/lun-a.img:48M" --lun "$wwn_b=$work/lun-b.img:48M" \
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
# The simulator's throwaway certificate, pinned: qv-disk talks only to this service.
fingerprint=$(sed -n 's/^tls-fingerprint //p' sim.out)

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
open("patch-3.bin", "wb").write(rng.randbytes(200000))
open("damage.bin", "wb").write(b"encrypted by ransomware " * 40000)
PY

short() { sed -E 's/((sha256|list digest) [0-9a-f]{12})[0-9a-f]+/\1.../; s/^/   /'; }
qv_disk() {
    "$qv" "$1" --server "127.0.0.1:$port" --tls --tls-fingerprint "$fingerprint" --token-file token \
        --disk "$disk" "${@:2}" | short
}
mib() { awk -v b="$1" 'BEGIN { printf "%.2f MiB", b / 1048576 }'; }

echo "zev demo: a full backup, an incremental one without a second image, and a restore proven by manifests"
echo "   work folder $work; hxa-simulator on 127.0.0.1:$port (TLS, certificate pinned), disk $disk of $(mib "$size")"
echo "   transport $how"
echo "1. what the disk is: its size, found by asking the service, and the certificate pinned (qv-disk info)"
qv_disk info "${transport[@]}"
echo "2. the virtual machine writes its disk (qv-disk write)"
qv_disk write -i vm.img "${transport[@]}"
echo "3. full backup with its block manifest (qv-disk read --manifest full.manifest)"
qv_disk read -o full.img --sha256 --manifest full.manifest "${transport[@]}"
echo "4. the virtual machine changes some blocks (qv-disk write --offset)"
qv_disk write -i patch-1.bin --offset 5000000 "${transport[@]}"
qv_disk write -i patch-2.bin --offset 40M "${transport[@]}"
echo "5. incremental backup over 4 connections: the disk against the manifest, no second image"
echo "   (qv-disk diff --base-manifest full.manifest --manifest second.manifest > changes.jsonl)"
"$qv" diff --server "127.0.0.1:$port" --tls --tls-fingerprint "$fingerprint" --token-file token \
    --disk "$disk" --connections 4 \
    --base-manifest full.manifest --manifest second.manifest "${transport[@]}" \
    >changes.jsonl 2>diff.err || { cat diff.err >&2; exit 1; }
sed 's/^qv-disk: /   /' diff.err
changes=$(grep -c '"length":[1-9]' changes.jsonl || true)
beats=$(grep -c '"last":false' changes.jsonl || true)
echo "   $changes change records of 64 KiB blocks, $beats heartbeats; final record: $(tail -n 1 changes.jsonl)"

echo "6. restore: the stream onto a copy of the full backup, checked before and after"
echo "   (zev-block-apply restored.img --input changes.jsonl --base-manifest full.manifest --result-manifest second.manifest)"
if [ ! -x "$apply" ]; then
    echo "   zev-block-apply is not built in $build_dir (expected at $apply): the demo stops here" >&2
    exit 1
fi
cp --sparse=always full.img restored.img
"$apply" restored.img --input changes.jsonl --base-manifest full.manifest \
    --result-manifest second.manifest 2>&1 | short
echo "   exit status 0: the base matched full.manifest and the result matches second.manifest"
echo "   (zev-block-manifest --verify second.manifest restored.img)"
"$manifest_tool" --verify second.manifest restored.img | short

echo "7. the same stream onto the wrong base (the restored image, already changed) is refused"
before=$(sha256sum restored.img)
if "$apply" restored.img --input changes.jsonl --base-manifest full.manifest >apply-wrong.out 2>&1; then
    echo "demo: FAILED: the stream was applied onto the wrong base" >&2
    exit 1
fi
{ head -n 2 apply-wrong.out; echo "..."; tail -n 1 apply-wrong.out; } | short
if [ "$(sha256sum restored.img)" != "$before" ]; then
    echo "demo: FAILED: the refused apply changed the target" >&2
    exit 1
fi
echo "   exit status 1; restored.img is unchanged"

echo "8. the next night: more changes, and a second incremental against second.manifest"
qv_disk write -i patch-3.bin --offset 40M "${transport[@]}"
"$qv" diff --server "127.0.0.1:$port" --tls --tls-fingerprint "$fingerprint" --token-file token \
    --disk "$disk" --connections 4 \
    --base-manifest second.manifest --manifest third.manifest "${transport[@]}" \
    >night2.jsonl 2>diff2.err || { cat diff2.err >&2; exit 1; }
sed 's/^qv-disk: /   /' diff2.err

echo "9. the chain folded into one stream, applied once onto a copy of the full backup"
echo "   (zev-block-merge changes.jsonl night2.jsonl --base-manifest full.manifest -o merged.jsonl)"
"$merge" changes.jsonl night2.jsonl --base-manifest full.manifest -o merged.jsonl 2>&1 | short
cp --sparse=always full.img chain.img
"$apply" chain.img --input merged.jsonl --base-manifest full.manifest \
    --result-manifest third.manifest 2>&1 | short
echo "   $(grep -c '"length":[1-9]' merged.jsonl) change records in the merged stream, where the two nights hold $(cat changes.jsonl night2.jsonl | grep -c '"length":[1-9]');"
echo "   the result matches third.manifest"

echo "10. rollback: the disk is damaged, and only the blocks that differ from the full backup are written back"
echo "   (qv-disk write -i full.img --only-changed --connections 4)"
qv_disk write -i damage.bin --offset 20M "${transport[@]}"
qv_disk write -i full.img --only-changed --connections 4 "${transport[@]}"
qv_disk read -o /dev/null --manifest rolled.manifest "${transport[@]}"
if ! cmp -s rolled.manifest full.manifest; then
    echo "demo: FAILED: the rolled-back disk differs from the full backup" >&2
    exit 1
fi
echo "   the disk's manifest equals full.manifest: the blocks of both nights and of the damage went back,"
echo "   every other block was compared and not sent"

echo "11. what the incremental backup did not have to do"
echo "   a second image of $(mib "$size") was not written, and the diff read no local image"
echo "   (reading the disk into second.img and diffing two images writes $(mib "$size") and reads $(mib $((2 * size))))"
echo "   it wrote: change stream $(mib "$(stat -c %s changes.jsonl)"), manifest $(mib "$(stat -c %s second.manifest)"); it read the manifest of $(mib "$(stat -c %s full.manifest)")"
where="$work/simulator.log"
if [ "$keep" != yes ]; then where="$where (removed at the end; --keep keeps it)"; fi
echo "   full log: $where"
echo "demo: OK, the restored image equals the disk, block for block (SHA-256 of every 64 KiB block)"
