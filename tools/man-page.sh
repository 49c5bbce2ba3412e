#!/usr/bin/env bash
# Writes a program's manual page from its own --help and --version (help2man) and the
# hand-written sections in INCLUDE (exit status, files, environment, examples), compressed
# for /usr/share/man. A program with subcommands (cpuctl) gets a COMMANDS section made from
# each subcommand's --help, so the page follows the program as commands and options change.
# Usage: tools/man-page.sh PROGRAM INCLUDE OUTPUT.gz
set -euo pipefail
prog=$1 include=$2 out=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Help is read as the shell completion reads it: one entry a line, name, tab, description.
source "$(dirname "$0")/../packaging/cpuctl.bash"

roff() { sed 's/\\/\\e/g; s/-/\\-/g; s/^[.'"'"']/\\\&&/'; }

# One subsection per subcommand: its summary, usage line, positionals and options (help's
# own -h left out), flags in bold.
command_section() { # subcommand
    local cmd=$1 name text flags block
    "$prog" "$cmd" --help >"$tmp/help"
    printf '.SS "%s"\n' "$cmd"
    head -n 1 "$tmp/help" | roff
    printf '.PP\n\\fBUsage:\\fR %s\n' "$(sed -n 's/^Usage: //p' "$tmp/help" | roff)"
    for block in Positionals Options; do
        while IFS=$'\t' read -r name text; do
            flags=${name%% *}
            [ "$flags" = -h,--help ] && continue
            flags=$(roff <<<"$flags")
            printf '.TP\n\\fB%s\\fR%s\n' "${flags//,/\\fR, \\fB}" "$(roff <<<"${name#"${name%% *}"}")"
            [ -z "$text" ] || roff <<<"$text"
        done < <(_cpuctl_help_block "$block" "$prog" "$cmd")
    done
}

includes=()
_cpuctl_help_block Subcommands "$prog" | cut -f1 >"$tmp/subcommands"
if [ -s "$tmp/subcommands" ]; then
    echo "[COMMANDS]" >"$tmp/commands.h2m"
    while read -r cmd; do
        command_section "$cmd" >>"$tmp/commands.h2m"
    done <"$tmp/subcommands"
    includes+=(--include="$tmp/commands.h2m")
fi
includes+=(--include="$include")

# The hand-written parts hold the program's Chinese texts, in UTF-8.
LC_ALL=C.UTF-8 help2man --no-info --locale=C.UTF-8 "${includes[@]}" --output="$tmp/page.1" "$prog"
gzip -9n -c "$tmp/page.1" >"$out"
