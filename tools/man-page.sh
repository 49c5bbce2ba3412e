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

# The subcommands, as the "Subcommands:" block of --help lists them.
"$prog" --help | awk '/^[^ ].*:$/ { on = ($0 == "Subcommands:"); next }
                      on && /^  [^ ]/ { print $1 }' >"$tmp/subcommands"

# One subsection per subcommand: its summary, usage line and options, help's -h left out.
roff='function esc(s) { gsub(/\\/, "\\e", s); gsub(/-/, "\\-", s); sub(/^[.'"'"']/, "\\\\&&", s); return s }
NR == 1 { print ".SS \"" cmd "\""; print esc($0); next }
/^Usage: / { sub(/^Usage: /, ""); print ".PP"; print "\\fBUsage:\\fR " esc($0); next }
/^[^ ].*:$/ { next }
/^  [^ ]/ {
    line = substr($0, 3); text = ""
    if (match(line, /   */)) { text = substr(line, RSTART + RLENGTH); line = substr(line, 1, RSTART - 1) }
    skip = (line ~ /^-h,--help/)
    if (skip) next
    n = index(line, " "); name = n ? substr(line, 1, n - 1) : line; rest = n ? substr(line, n) : ""
    k = split(name, flag, ","); name = esc(flag[1])
    for (i = 2; i <= k; i++) name = name "\\fR, \\fB" esc(flag[i])
    print ".TP"; print "\\fB" name "\\fR" esc(rest)
    if (text != "") print esc(text)
    next
}
/^   *[^ ]/ { if (!skip) { sub(/^ +/, ""); print esc($0) } }'
includes=()
if [ -s "$tmp/subcommands" ]; then
    echo "[COMMANDS]" >"$tmp/commands.h2m"
    while read -r cmd; do
        "$prog" "$cmd" --help | awk -v cmd="$cmd" "$roff" >>"$tmp/commands.h2m"
    done <"$tmp/subcommands"
    includes+=(--include="$tmp/commands.h2m")
fi
includes+=(--include="$include")

# The hand-written parts hold the program's Chinese texts, in UTF-8.
LC_ALL=C.UTF-8 help2man --no-info --locale=C.UTF-8 "${includes[@]}" --output="$tmp/page.1" "$prog"
gzip -9n -c "$tmp/page.1" >"$out"
