#!/usr/bin/env bash
# The bash completion scripts of completions/, each sourced in bash after bash-completion's
# helpers, as bash-completion loads them: a table of completions (a subcommand, options, fixed
# values, file names), and every option that a program's --help prints (for qv-disk the
# program's and every subcommand's, and its subcommands) offered by its completion, so that
# the two cannot drift apart. The check goes one way only: a completion may know options that
# a program gains later.
# Usage: completion_test.sh <completions-folder> <program>...
# (the programs built here; the completion of each is the file of its name)
set -euo pipefail
folder=$(realpath "$1")
shift
helpers=/usr/share/bash-completion/bash_completion
if [ ! -r "$helpers" ]; then
    echo "SKIPPED: bash-completion is not installed ($helpers; scripts/install-deps.sh installs it)"
    exit 77
fi
# bash-completion is written for interactive shells, without -e and -u.
set +eu
# shellcheck source=/dev/null
source "$helpers"
declare -A path
for program in "$@"; do
    name=$(basename "$program")
    path[$name]=$(realpath "$program")
    # shellcheck source=/dev/null
    source "$folder/$name" || { echo "FAIL: $folder/$name does not load"; exit 1; }
done

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# candidates <program> <word>... : what bash offers for the last word (which may be empty),
# sorted, one per line. A word "=" is joined to its neighbours in the command line, as bash
# splits "--option=value".
candidates() {
    local line="" word previous="" function
    for word in "$@"; do
        if [[ -z $line || $word == = || $previous == = ]]; then line+=$word; else line+=" $word"; fi
        previous=$word
    done
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    function=$(complete -p "$1" | sed -E 's/.* -F ([^ ]+) .*/\1/')
    "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

# check <expected, space-separated> <program> <word>...
check() {
    local expected=$1 got
    shift
    [ -n "${path[$1]:-}" ] || return 0
    got=$(candidates "$@" | paste -sd ' ')
    [ "$got" = "$expected" ] || fail "$* <TAB>: '$got', expected '$expected'"
}

# File names are completed in a folder of their own.
work=$(mktemp -d /tmp/qv-completion-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
touch disk.img
check "read" qv-disk re
check "diff" qv-disk di
check "--server" qv-disk read --ser
check "auto json none" qv-disk read --progress ""
check "json" qv-disk write --progress = j
check "--input" qv-disk write --inp
check "--json" qv-disk info --j
check "--sha256" qv-disk write --sha
check "disk.img" qv-disk diff -o d
check "disk.img" qv-disk read --manifest ""
check "" qv-disk read --server ""
check "--help --version" qv-disk --
check "--base-manifest" zev-block-apply --base
check "disk.img" zev-block-apply --input d
check "disk.img" zev-block-apply ""
check "--verify --version" zev-block-manifest --ver
check "disk.img" zev-block-manifest -o ""
check "disk.img" zev-block-merge --base-manifest ""
check "--output" zev-block-merge --ou
check "close reset" hxa-simulator --drop-mode ""
check "disk.img" hxa-simulator --cert ""
check "--read-only-token" hxa-simulator --read

# The options and subcommands of the programs' help.
help_options() {
    # Only the options' own lines: the examples after them name options of other subcommands.
    "$@" --help |
        sed -nE '/^(Options|Positionals):/,/^$/ s/^ +((-[A-Za-z0-9],)?--?[A-Za-z0-9][-A-Za-z0-9]*)( .*)?$/\1/p' |
        tr ',' '\n'
}
# known <program> <option or subcommand> <word>...: the completion of the words offers it.
known() {
    local program=$1 item=$2
    shift 2
    candidates "$program" "$@" | grep -qxF -- "$item" ||
        fail "$program $*<TAB> does not offer '$item' of the help"
}
checked=0
for name in "${!path[@]}"; do
    for option in $(help_options "${path[$name]}"); do
        known "$name" "$option" -
        checked=$((checked + 1))
    done
    if [ "$name" = qv-disk ]; then
        subcommands=$("${path[$name]}" --help | sed -nE '/^Subcommands:/,/^$/s/^  ([a-z-]+) .*/\1/p')
        [ -n "$subcommands" ] || fail "qv-disk --help lists no subcommands"
        for subcommand in $subcommands; do
            known qv-disk "$subcommand" ""
            for option in $(help_options "${path[$name]}" "$subcommand"); do
                known qv-disk "$option" "$subcommand" -
                checked=$((checked + 1))
            done
        done
    fi
done
echo "$# completion scripts, $checked options of the programs' help checked, $failures failures"
[ "$failures" -eq 0 ]
