#!/usr/bin/env bash
# Demo of libquillonvarde_sdk: starts the HXA service simulator on 127.0.0.1 (a free port)
# serving a disk image made here, and runs the example host against it in plain TCP and in
# TLS: back the disk up to a file, restore another image into it, back it up again, and
# compare checksums. Everything it creates is removed at the end.
#
#   scripts/demo-sdk.sh <build-dir>
set -euo pipefail

build=${1:?usage: scripts/demo-sdk.sh <build-dir>}
sim="$build/hxa-simulator/hxa-simulator"
host="$build/host-example/host-example"
for p in "$sim" "$host"; do
    if [ ! -x "$p" ]; then
        echo "demo-sdk: $p not found; build the project first" >&2
        exit 1
    fi
done

work=$(mktemp -d /tmp/demo-sdk-XXXXXX)
sim_pid=""
stop_simulator() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        local status=0
        wait "$sim_pid" || status=$?
        sim_pid=""
        return "$status"
    fi
}
cleanup() {
    stop_simulator || true
    rm -rf "$work"
}
trap cleanup EXIT

size=$((16 * 1024 * 1024))
token="demo-token"
disk="/vm/demo/disk-0"
head -c "$size" /dev/urandom >"$work/original.img"
head -c "$size" /dev/urandom >"$work/replacement.img"

sum() { sha256sum "$1" | cut -c1-64; }

# Starts the simulator with the given extra options and sets $port.
start_simulator() {
    : >"$work/sim.out"
    "$sim" --token "$token" --disk "$disk=$work/disk.img" "$@" \
        >"$work/sim.out" 2>>"$work/simulator.log" &
    sim_pid=$!
    port=""
    for _ in $(seq 1 100); do
        port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/sim.out")
        [ -n "$port" ] && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "demo-sdk: the simulator did not start:" >&2
    cat "$work/simulator.log" >&2
    exit 1
}

failures=0
run_pass() {
    local name=$1
    shift
    cp "$work/original.img" "$work/disk.img"
    rm -f "$work/backup.img" "$work/check.img"
    start_simulator "$@"
    echo "== $name: simulator on 127.0.0.1:$port"
    local tls_flag=()
    if [ "$name" = "TLS" ]; then tls_flag=(--tls); fi
    "$host" --port "$port" --token "$token" --disk "$disk" --size "$size" "${tls_flag[@]}" \
        --backup "$work/backup.img" --restore "$work/replacement.img" --backup "$work/check.img" |
        sed 's/^/   /'
    stop_simulator || { echo "demo-sdk: the simulator did not stop cleanly" >&2; failures=$((failures + 1)); }
    local backup_ok=no restore_ok=no
    [ "$(sum "$work/backup.img")" = "$(sum "$work/original.img")" ] && backup_ok=yes
    [ "$(sum "$work/check.img")" = "$(sum "$work/replacement.img")" ] &&
        [ "$(sum "$work/disk.img")" = "$(sum "$work/replacement.img")" ] && restore_ok=yes
    echo "   backup equals the original image:        $backup_ok"
    echo "   restored image equals the source image:  $restore_ok"
    [ "$backup_ok" = yes ] && [ "$restore_ok" = yes ] || failures=$((failures + 1))
}

echo "libquillonvarde_sdk demo: a $((size / 1024 / 1024)) MiB disk served by hxa-simulator"
run_pass "LAN" 
run_pass "TLS" --tls
echo "== simulator log: $(grep -c ' LAN read ' "$work/simulator.log") reads, $(grep -c ' LAN write ' "$work/simulator.log") writes served, $(grep -c 'stopped' "$work/simulator.log") clean stops"
if [ "$failures" -ne 0 ]; then
    echo "demo-sdk: FAILED ($failures problem(s)); simulator log:" >&2
    cat "$work/simulator.log" >&2
    exit 1
fi
echo "demo-sdk: OK"
