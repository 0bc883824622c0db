# shellcheck shell=bash
# Shared by the demo scripts (sourced): the command line "[build-dir] [--keep]" and one work
# folder per run under /tmp, removed at the end, or kept and named with --keep.
#
# A demo calls demo_args "$@", then demo_workdir NAME; it may define demo_stop, which runs
# first when the demo ends (to stop the processes it started).

demo_args() {
    build_dir=build
    keep=no
    local a
    for a in "$@"; do
        case "$a" in
        --keep) keep=yes ;;
        -h | --help)
            echo "usage: $0 [build-dir] [--keep]   (--keep: keep the work folder and name it)"
            exit 0
            ;;
        -*)
            echo "$0: unknown option $a (usage: $0 [build-dir] [--keep])" >&2
            exit 2
            ;;
        *) build_dir=$a ;;
        esac
    done
    local given=$build_dir
    build_dir=$(cd "$given" 2>/dev/null && pwd) || {
        echo "$0: no build folder $given: build first (cmake -S . -B build && cmake --build build)" >&2
        exit 1
    }
}

demo_workdir() {
    work=$(mktemp -d "/tmp/$1-XXXXXX")
    trap demo_end EXIT
}

demo_end() {
    local status=$?
    if declare -F demo_stop >/dev/null; then demo_stop || true; fi
    if [ "$keep" = yes ]; then
        echo "work folder kept: $work"
    else
        rm -rf "$work"
    fi
    return "$status"
}

# Checks that a program of the build exists.
demo_need() {
    if [ ! -x "$1" ]; then
        echo "$0: $1 not found: build the project first" >&2
        exit 1
    fi
}
