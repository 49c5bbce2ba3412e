#!/usr/bin/env bash
# Checks the .deb that `make package` made, as a machine without the build tree sees it:
# what it holds, lintian, the desktop entry, the unpacked programs, each subcommand in the
# manual page and the bash completion. With --install it also installs it with apt, uses it,
# removes it and looks for anything left behind; that changes the machine (CI runs it on a
# throwaway one), and it refuses to start when cpuconfig is installed already.
# Usage: tools/check-package.sh BUILD_DIR [--install]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
install=${2:-}

failures=0
pass() { echo "  ok   $*"; }
fail() {
    echo "  FAIL $*" >&2
    failures=$((failures + 1))
}
check() { # description, command...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

shopt -s nullglob
debs=("$build"/cpuconfig_*.deb)
shopt -u nullglob
if [ ${#debs[@]} -ne 1 ]; then
    echo "check-package: expected one cpuconfig_*.deb in $build, found ${#debs[@]}" >&2
    exit 1
fi
deb=$(realpath "${debs[0]}")
version=$(sed -n 's/^project(cpuconfig VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
tmp=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
echo "== $deb"

# --- What the package holds.
dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' >"$tmp/contents"
holds() { grep -qx "$1" "$tmp/contents"; }
check "file name carries the version $version" test "$(basename "$deb")" = \
    "cpuconfig_${version}_$(dpkg --print-architecture).deb"
for f in /usr/bin/cpuctl /usr/bin/cpuconfig /usr/share/applications/cpuconfig.desktop \
    /usr/share/man/man1/cpuctl.1.gz /usr/share/man/man1/cpuconfig.1.gz \
    /usr/share/bash-completion/completions/cpuctl /usr/share/doc/cpuconfig/copyright \
    /usr/share/doc/cpuconfig/changelog.gz /usr/share/icons/hicolor/scalable/apps/cpuconfig.svg \
    /usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/cpuconfig.png; do
    check "holds $f" holds "$f"
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6multimedia6 libssl3 libc6 \
    qt6-translations-l10n; do
    check "Depends names $lib" grep -q "\b$lib\b" <<<"$depends"
done
check "Section is electronics" test "$(dpkg-deb -f "$deb" Section)" = electronics

# --- lintian: errors fail, warnings are listed (README, packaging section).
if lintian --fail-on error --tag-display-limit 0 "$deb" >"$tmp/lintian" 2>&1; then
    pass "lintian: no error"
else
    fail "lintian reports errors"
fi
sed 's/^/       /' "$tmp/lintian"

# --- The unpacked programs.
root=$tmp/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin
check "desktop-file-validate" desktop-file-validate "$root/usr/share/applications/cpuconfig.desktop"
check "cpuctl --version is $version" test "$("$bin/cpuctl" --version)" = "cpuctl $version"
check "cpuconfig --version is $version" test "$("$bin/cpuconfig" --version)" = "cpuconfig $version"
printf '\x12\x34' >"$tmp/two.bin"
(cd "$tmp" && "$bin/cpuctl" pack two.bin -o two.cpu >/dev/null 2>&1)
check "cpuctl pack: a 2-byte image gives 18 bytes" test "$(stat -c %s "$tmp/two.cpu")" -eq 18

# --- Manual pages: the version, and every subcommand cpuctl has with each of its options.
manpage() { zcat "$root/usr/share/man/man1/$1.1.gz" | sed 's/\\-/-/g; s/\\f[BIRP]//g'; }
for p in cpuctl cpuconfig; do
    check "$p(1) carries version $version" grep -q "^\.TH .*\"$p $version\"" <(manpage "$p")
done
manpage cpuctl >"$tmp/cpuctl.1"
subcommands=$("$bin/cpuctl" --help | awk '/^[^ ].*:$/ { on = ($0 == "Subcommands:"); next }
                                           on && /^  [^ ]/ { print $1 }')
check "cpuctl --help lists subcommands" test -n "$subcommands"
# The manual page and the completion split each help entry at a gap of two spaces or more.
run_together() { "$bin/cpuctl" "$@" --help | grep -E '^  [^ ]' | grep -vE '^  [^ ]+( [^ ]+)*  +[^ ]'; }
check "cpuctl --help: every name stands apart from its description" test -z "$(run_together)"
for s in $subcommands; do
    check "cpuctl $s --help: every name stands apart from its description" \
        test -z "$(run_together "$s")"
    missing=""
    for o in $("$bin/cpuctl" "$s" --help | grep -oE '^  (-[a-z],)?--[a-z-]+' | sed 's/.*--/--/'); do
        [ "$o" = --help ] || sed -n "/^\.SS \"$s\"/,/^\.S[SH]/p" "$tmp/cpuctl.1" | grep -q -- "$o" ||
            missing+=" $o"
    done
    check "cpuctl(1) has $s with its options${missing:+ (missing:$missing)}" \
        test -z "$missing" -a -n "$(grep -x "\.SS \"$s\"" "$tmp/cpuctl.1")"
done
for section in "EXIT STATUS" FILES ENVIRONMENT EXAMPLES; do
    check "cpuctl(1) has $section" grep -qx "\.SH \"\?$section\"\?" "$tmp/cpuctl.1"
done

# --- Bash completion, driven as readline would, against the unpacked cpuctl and a running
# simulated card of our own.
export XDG_RUNTIME_DIR=$tmp/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$bin/cpuctl" simulate --name CHECK >"$tmp/sim.out" 2>/dev/null &
sim_pid=$!
for _ in $(seq 50); do [ -s "$tmp/sim.out" ] && break; sleep 0.1; done
sim_port=$(head -n 1 "$tmp/sim.out")
check "a simulated card runs" test -n "$sim_port"
mkdir "$tmp/files" && touch "$tmp/files/a.cpu" "$tmp/files/b.bin"
complete_line() { # words... (the last one is being completed) -> the candidates, sorted
    (cd "$tmp/files" && PATH=$bin:$PATH bash -c '
        source "$0"
        complete -p cpuctl | grep -q -- "-F _cpuctl" || exit 1
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        _cpuctl
        printf "%s\n" "${COMPREPLY[@]}" | sort | xargs' \
        "$root/usr/share/bash-completion/completions/cpuctl" "$@")
}
check "completion: cpuctl up -> upgrade" test "$(complete_line cpuctl up)" = upgrade
check "completion: upgrade --port -> $sim_port" \
    grep -qxF -- "${sim_port:-none}" <(complete_line cpuctl upgrade --port "" | tr ' ' '\n')
check "completion: upgrade --pa -> --package" test "$(complete_line cpuctl upgrade --pa)" = --package
check "completion: pack IMAGE -> *.bin" test "$(complete_line cpuctl pack "")" = b.bin
check "completion: info PACKAGE -> *.cpu" test "$(complete_line cpuctl info "")" = a.cpu
check "completion: simulate --fault n -> listed values" \
    test "$(complete_line cpuctl simulate --fault n)" = "nak no-ack no-final none"
kill "$sim_pid" && wait "$sim_pid" 2>/dev/null || true
sim_pid=""

# --- Installed with apt, used, removed.
if [ "$install" = --install ]; then
    if dpkg-query -W -f='${Status}' cpuconfig 2>/dev/null | grep -q 'install ok installed'; then
        echo "check-package: cpuconfig is installed on this machine already; not touching it" >&2
        exit 1
    fi
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >"$tmp/apt.log" 2>&1 ||
        { cat "$tmp/apt.log"; exit 1; }
    home=$tmp/home
    mkdir -p "$home"
    check "installed: cpuctl --version" test "$(cd / && cpuctl --version)" = "cpuctl $version"
    check "installed: man -w cpuctl" test "$(man -w cpuctl)" = /usr/share/man/man1/cpuctl.1.gz
    (cd "$tmp" && cpuctl pack two.bin -o installed.cpu >/dev/null 2>&1)
    check "installed: cpuctl pack writes 18 bytes" test "$(stat -c %s "$tmp/installed.cpu")" -eq 18
    # The panel reads the package as the window opens, from the folder it makes current: an
    # installed copy's is in the user's data folder, made on the way.
    data=$home/.local/share/cpuconfig
    env -u XDG_DATA_HOME HOME="$home" QT_QPA_PLATFORM=offscreen cpuconfig >"$tmp/gui.log" 2>&1 &
    gui=$!
    for _ in $(seq 100); do [ "$(readlink "/proc/$gui/cwd")" = "$data" ] && break; sleep 0.1; done
    check "installed: cpuconfig runs and reads its package in ~/.local/share/cpuconfig" \
        test "$(readlink "/proc/$gui/cwd")" = "$data"
    kill "$gui" 2>/dev/null && wait "$gui" 2>/dev/null || true
    DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq cpuconfig >>"$tmp/apt.log" 2>&1
    left=""
    while read -r f; do
        # Every file, and the folders that are the package's alone.
        [ -e "$f" ] && { [ ! -d "$f" ] || [[ $f == */cpuconfig/ ]]; } && left+=" $f"
    done <"$tmp/contents"
    check "apt remove leaves no file of the package${left:+ (left:$left)}" test -z "$left"
fi

if [ "$failures" -ne 0 ]; then
    echo "check-package: $failures check(s) failed" >&2
    exit 1
fi
echo "check-package: all checks passed"
