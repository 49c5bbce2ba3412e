#!/usr/bin/env bash
# cpuconfig.exe itself under Wine on an X display, driven as a technician drives it: the
# main window appears, the port of a simulated card is chosen from the panel's list, a click
# on "更新" upgrades the card, and the close button ends the program with the port released.
# Run it under `xvfb-run -a`, in a Wine session begun on that display (a session begun
# without one has a desktop that never shows a window); tools/test-windows.sh and
# tools/package-windows.sh do both.
#
# Usage: tools/test-windows-gui.sh LABEL PROGRAM_DIR WINE LINUX_CPUCTL WORK_DIR [PACKAGE_DIR]
#   PROGRAM_DIR   the folder of cpuconfig.exe and cpuctl.exe (a build tree, an unpacked zip, or
#                 the installed Program Files folder)
#   WINE          how Windows programs start (the loader, or a build's wine-run)
#   PACKAGE_DIR   where the program keeps RQ_CPU.cpu: PROGRAM_DIR (the default) for a portable
#                 copy, the user's %LOCALAPPDATA%\cpuconfig for an installed one
# WINEPREFIX must name a prefix made ready by the caller (wineserver running).
# Prints PASS/FAIL lines; the exit status is the number of failures.
set -uo pipefail
label=$1
dir=$(realpath "$2")
wine=$3
hostctl=$(realpath "$4")
work=$5
packages=$(realpath -m "${6:-$2}")
port=26 # COM26 carries the card; Wine's own COM1 is listed before it
unset QT_QPA_PLATFORM # the program draws on the display
failed=0
pass() { echo "PASS: [$label] $*"; }
fail() {
    echo "FAIL: [$label] $*"
    failed=$((failed + 1))
}
[ -n "${DISPLAY:-}" ] || {
    fail "no X display: run this under xvfb-run -a"
    exit 1
}
command -v xdotool >/dev/null || {
    fail "xdotool is missing: tools/install-deps.sh windows"
    exit 1
}
mkdir -p "$work"
dos=$WINEPREFIX/dosdevices
sim=""
program=""
cleanup() {
    [ -n "$program" ] && kill "$program" 2>/dev/null
    [ -n "$sim" ] && kill "$sim" 2>/dev/null
    wait 2>/dev/null
    rm -f "$dos/com$port"
}
trap cleanup EXIT

# An X picture of the whole screen, for the record and for a failure's diagnosis.
snap() {
    command -v xwd >/dev/null && command -v xwdtopnm >/dev/null || return 0
    xwd -root -silent 2>/dev/null | xwdtopnm 2>/dev/null | pnmtopng >"$work/$1.png" 2>/dev/null
}

# The card, on a COM port the registry lists, as a USB adapter's driver would list it.
"$hostctl" simulate --name "wingui-$label-$$" --screen 1 --model GUI-E2E \
    >"$work/card.port" 2>"$work/card.log" &
sim=$!
for _ in $(seq 100); do
    [ -s "$work/card.port" ] && break
    sleep 0.1
done
ln -sfn "$(head -n 1 "$work/card.port")" "$dos/com$port"
"$wine" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\cpuconfigGui" /d "COM$port" /f \
    </dev/null >/dev/null 2>&1

# The package where the program keeps it: 4 KiB of image, so that the card's SHA-256 means
# something.
head -c 4096 /dev/urandom >"$work/image.bin"
mkdir -p "$packages"
rm -f "$packages/RQ_CPU.cpu"
"$hostctl" pack "$work/image.bin" -o "$packages/RQ_CPU.cpu" >/dev/null 2>&1
sha=$(sha256sum "$work/image.bin" | cut -d' ' -f1)

# --- The main window within 10 seconds -------------------------------------------------
t0=$(date +%s%N)
(cd "$work" && exec "$wine" "$dir/cpuconfig.exe" </dev/null >"$work/cpuconfig.out" 2>&1) &
program=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^cpu升级$' 2>/dev/null | head -n 1)
ms=$((($(date +%s%N) - t0) / 1000000))
if [ -z "$window" ]; then
    snap no-window
    fail "no main window within 30 s: $(tail -n 5 "$work/cpuconfig.out" | tr '\n' '|')"
    exit "$failed"
fi
eval "$(xdotool getwindowgeometry --shell "$window")"
if [ "$ms" -le 10000 ] && [ "$WIDTH" -eq 702 ] && [ "$HEIGHT" -eq 498 ]; then
    pass "main window (702 x 498) shown $ms ms after the start"
else
    fail "main window: $WIDTH x $HEIGHT after $ms ms"
fi
sleep 1 # the panel reads the ports and the package as it is shown

# click X Y: a left click at the main window's client point.
click() {
    xdotool mousemove --sync $((X + $1)) $((Y + $2)) click 1
    sleep 0.3
}
# The panel sits at (220, 195); its port box at (96, 144), 73 x 21; "更新" at (345, 206), 73 x 30.
click $((220 + 96 + 36)) $((195 + 144 + 10))
xdotool type --delay 40 "COM$port"
xdotool key Return
sleep 0.5
snap port-chosen
click $((220 + 345 + 36)) $((195 + 206 + 15))

# --- The card receives exactly the package ----------------------------------------------
for _ in $(seq 150); do
    grep -q "answered 01\|no answer\|transfer .* bytes" "$work/card.log" && break
    sleep 0.1
done
sleep 0.5
snap upgraded
if grep -q "address 01 01 parity mark" "$work/card.log" &&
    grep -q "transfer 4104 bytes, end mark aa ok, image 4096 bytes sha256 $sha" "$work/card.log" &&
    grep -q "answered 01" "$work/card.log"; then
    pass "\"更新\" on the panel upgraded the card on COM$port, chosen from the registry's list: 4104 bytes, image SHA-256 as packed"
else
    fail "\"更新\" did not upgrade the card on COM$port: $(tr '\n' '|' <"$work/card.log")"
fi

# --- The close button ends the program and releases the port -----------------------------
click 683 12 # the close image at (674, 3), 19 x 18
code=""
for _ in $(seq 100); do
    if ! kill -0 "$program" 2>/dev/null; then
        wait "$program"
        code=$?
        break
    fi
    sleep 0.1
done
if [ "$code" = 0 ]; then
    program=""
    pass "the close button ended cpuconfig.exe (exit 0)"
else
    snap not-closed
    fail "cpuconfig.exe still runs 10 s after the close button (or ended with ${code:-nothing})"
fi
(cd "$work" && "$wine" "$dir/cpuctl.exe" query --port "COM$port" </dev/null >query.out 2>query.err)
rc=$?
if [ "$rc" -eq 0 ] && tr -d '\r' <"$work/query.out" | grep -q '^GUI-E2E$'; then
    pass "COM$port released: cpuctl.exe from the same folder queried the card at once"
else
    fail "COM$port after the close: cpuctl.exe query exit $rc: $(tr '\n' '|' <"$work/query.err")"
fi
exit "$failed"
