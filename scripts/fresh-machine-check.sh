#!/usr/bin/env bash
# Runs the README's two set-up commands on a machine as fresh as a new user's: a minimal
# Debian 12 root (debootstrap minbase plus git and ca-certificates) into which the committed
# state of this repository is cloned; ./scripts/demo.sh and then ./scripts/test.sh run inside
# it as root, each timed. The root is bind-mounted on itself (and /dev, /proc, /sys are
# mounted) so that the tests can make private mount namespaces and loop devices.
# With CI set, the package test installs the packages into that root with dpkg -i.
# Not part of the test command: it downloads a Debian root and takes several minutes.
# Usage (as root): scripts/fresh-machine-check.sh [--keep] [--mirror URL] [ROOT-DIR]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
keep=no
mirror=http://deb.debian.org/debian
root=
while [ $# -gt 0 ]; do
    case $1 in
    --keep) keep=yes ;;
    --mirror) mirror=$2; shift ;;
    *) root=$1 ;;
    esac
    shift
done
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-machine-check: needs root (debootstrap, chroot, mounts)" >&2
    exit 1
fi
if ! command -v debootstrap >/dev/null; then
    echo "fresh-machine-check: installing debootstrap (builds the Debian root)"
    apt-get update -qq && apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi
root=${root:-$(mktemp -d /var/tmp/fresh-machine-XXXXXX)}
mounted=()
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -lR "${mounted[i]}" || true
    done
    if [ "$keep" = no ]; then rm -rf --one-file-system "$root"; else echo "root kept in $root"; fi
}
trap cleanup EXIT

start=$SECONDS
echo "== debootstrap bookworm (minbase, git, ca-certificates) into $root"
debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -20 "$root.debootstrap.log" >&2; exit 1; }
rm -f "$root.debootstrap.log"
echo "   $((SECONDS - start)) s"

mount --bind "$root" "$root" && mounted+=("$root")
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --rbind /sys "$root/sys" && mounted+=("$root/sys")
mount --rbind /dev "$root/dev" && mounted+=("$root/dev")
cp /etc/resolv.conf "$root/etc/resolv.conf"

commit=$(git -C "$repo" rev-parse HEAD)
git clone -q --no-checkout "$repo" "$root/root/zev"
git -C "$root/root/zev" checkout -q "$commit"
echo "== cloned $commit"

status=0
for command in ./scripts/demo.sh ./scripts/test.sh; do
    echo "== $command"
    start=$SECONDS
    if chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" CI="${CI:-}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd /root/zev && $command"; then
        echo "== $command passed in $((SECONDS - start)) s"
    else
        echo "== $command FAILED after $((SECONDS - start)) s"
        status=1
    fi
done
exit "$status"
