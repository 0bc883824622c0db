#!/usr/bin/env bash
# Runs the README's two set-up commands on a machine as fresh as a new user's: a minimal
# Debian 12 root (debootstrap minbase plus git and ca-certificates) into which the committed
# state of this repository is cloned; ./scripts/demo.sh and then ./scripts/test.sh run inside
# it as root, each timed. The root is bind-mounted on itself (and /dev, /proc, /sys are
# mounted) so that the tests can make private mount namespaces and loop devices.
# With CI set, the package test installs the packages into that root with dpkg -i.
# The Debian root comes from the package mirror of this machine's own APT sources (see
# apt_mirror below; APT_SOURCES_DIR replaces /etc/apt), or from the one given with --mirror;
# --print-mirror only names the mirror it would take and where it found it.
# Not part of the test command: it downloads a Debian root and takes several minutes.
# Usage (as root): scripts/fresh-machine-check.sh [--keep] [--mirror URL] [ROOT-DIR]
#                  scripts/fresh-machine-check.sh --print-mirror
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
apt_dir=${APT_SOURCES_DIR:-/etc/apt}

# apt_sources: one line "SUITE URI FILE" for every enabled binary ("deb") source with the main
# component, in the order APT reads them (sources.list, then sources.list.d by name): one-line
# entries of sources.list and *.list files ("deb [options] URI SUITE COMPONENT..."), deb822
# stanzas of *.sources files (Types, URIs, Suites, Components, Enabled fields).
apt_sources() {
    local f
    for f in "$apt_dir/sources.list" "$apt_dir"/sources.list.d/*; do
        [ -f "$f" ] || continue
        case $f in
        *.list) one_line_sources "$f" ;;
        *.sources) deb822_sources "$f" ;;
        esac
    done
}
one_line_sources() {
    awk -v file="$1" '
        { sub(/#.*/, "") }
        $1 != "deb" { next }
        {
            i = 2
            if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
            for (j = i + 2; j <= NF; j++) if ($j == "main") { print $(i + 1), $i, file; next }
        }' "$1"
}
deb822_sources() {
    awk -v file="$1" '
        function flush(nu, ns, u, s, k, l) {
            if (tolower(v["enabled"]) != "no" && (" " v["types"] " ") ~ / deb / &&
                (" " v["components"] " ") ~ / main /) {
                nu = split(v["uris"], u, " ")
                ns = split(v["suites"], s, " ")
                for (k = 1; k <= nu; k++) for (l = 1; l <= ns; l++) print s[l], u[k], file
            }
            split("", v)
            name = ""
        }
        /^#/ { next }
        /^[ \t]*$/ { flush(); next }
        /^[ \t]/ { if (name != "") v[name] = v[name] " " $0; next }
        {
            name = tolower(substr($0, 1, index($0, ":") - 1))
            v[name] = substr($0, index($0, ":") + 1)
            gsub(/^[ \t]+|[ \t\r]+$/, "", v[name])
        }
        END { flush() }' "$1"
}

# apt_mirror: "URI FILE" of the source debootstrap takes: the first for bookworm, or else the
# first for another Debian release (a Debian mirror carries bookworm too); only http, https,
# ftp and file URIs, which debootstrap fetches from. Fails when there is none.
apt_mirror() {
    apt_sources | awk '
        $2 !~ /^(https?|ftp|file):/ { next }
        $1 == "bookworm" && bookworm == "" { bookworm = $2 " " $3 }
        $1 ~ /^(buster|bullseye|trixie|forky|duke|sid|oldoldstable|oldstable|stable|testing|unstable)$/ && other == "" {
            other = $2 " " $3
        }
        END {
            if (bookworm == "") bookworm = other
            if (bookworm == "") exit 1
            print bookworm
        }'
}

keep=no
mirror=
print_mirror=no
root=
while [ $# -gt 0 ]; do
    case $1 in
    --keep) keep=yes ;;
    --mirror) mirror=$2; shift ;;
    --print-mirror) print_mirror=yes ;;
    *) root=$1 ;;
    esac
    shift
done
if [ -z "$mirror" ]; then
    if ! found=$(apt_mirror); then
        echo "fresh-machine-check: no Debian package mirror in this machine's APT sources" >&2
        echo "  (a deb entry with the main component in $apt_dir/sources.list," >&2
        echo "  $apt_dir/sources.list.d/*.list or $apt_dir/sources.list.d/*.sources);" >&2
        echo "  name one with --mirror URL" >&2
        exit 1
    fi
    mirror=${found%% *}
    echo "== package mirror $mirror (from ${found#* })"
else
    echo "== package mirror $mirror (given with --mirror)"
fi
if [ "$print_mirror" = yes ]; then
    exit 0
fi
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
