#!/usr/bin/env bash
# Pictures of the windows as the 64-bit Windows build draws them under Wine, with Qt's
# windows platform on a virtual display: docs/screenshots/windows-*.png, beside the Linux
# ones that `make screenshots` takes.
#
# Usage: tools/screenshots-windows.sh [OUT_DIR]     (default docs/screenshots)
# Environment: WINDOWS_BUILD, JOBS, CPUCONFIG_SHARED (see tools/build-windows.sh); CPUCTL,
# the Linux cpuctl that serves the station window's simulated cards (build/cli/cpuctl).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(realpath -m "${1:-docs/screenshots}")
hostctl=$(realpath -m "${CPUCTL:-build/cli/cpuctl}")
[ -x "$hostctl" ] || {
    echo "screenshots-windows: no Linux cpuctl at $hostctl (make build)" >&2
    exit 1
}
wbuild=$root/${WINDOWS_BUILD:-build-windows}-x86_64
loader=/usr/lib/wine/wine64
unset QT_QPA_PLATFORM

if [ -z "${CPUCONFIG_ON_XVFB:-}" ]; then
    WINDOWS_GUI=1 tools/build-windows.sh x86_64 cpuconfig_screenshots
    "$loader" --version >/dev/null 2>&1 || {
        echo "screenshots-windows: $loader does not run here" >&2
        exit 1
    }
    # The whole Wine session on the display: a desktop begun without one shows no windows.
    exec env CPUCONFIG_ON_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$root/tools/$(basename "$0")" "$out"
fi

export WINEPREFIX=$wbuild/wine-prefix-screenshots WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
shots=$(mktemp -d)
cards=()
trap 'kill "${cards[@]}" 2>/dev/null; wineserver -k 2>/dev/null; rm -rf "$shots"' EXIT
tools/wine-prefix.sh "$loader" --fonts
# The station window's four ports: a card that confirms, one that refuses the transfer, one
# on a line that keeps time (caught half way), and COM24 with nothing behind it.
n=21
for fault in "--model QX-9" "--model QX-7 --fault nak" "--model QX-9 --baud-limit"; do
    # shellcheck disable=SC2086 # the options are words
    "$hostctl" simulate --name "shots-com$n-$$" $fault >"$shots/card$n.port" 2>/dev/null &
    cards+=($!)
    for _ in $(seq 100); do
        [ -s "$shots/card$n.port" ] && break
        sleep 0.1
    done
    ln -sfn "$(head -n 1 "$shots/card$n.port")" "$WINEPREFIX/dosdevices/com$n"
    n=$((n + 1))
done
# The ports the panel lists: what the registry gives, as drivers register them.
for port in 'Serial1 COM3' 'VCP0 COM21' 'VCP1 COM22' 'VCP2 COM23' 'VCP3 COM24' \
    'ProlificSerial0 COM7'; do
    set -- $port
    "$loader" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\$1" /d "$2" /f \
        </dev/null >/dev/null 2>&1
done

"$wbuild/wine-run" "$wbuild/cpuconfig_screenshots.exe" "Z:${shots//\//\\}" </dev/null
mkdir -p "$out"
for name in main_window panel_ports passdlg package_tool main_window_package_tool station \
    preview-rich-text; do
    cp "$shots/$name.png" "$out/windows-$name.png"
    echo "$out/windows-$name.png"
done
