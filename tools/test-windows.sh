#!/usr/bin/env bash
# Cross-builds cpuconfig for 64-bit and 32-bit Windows and tests each build under Wine: the
# engine tests, cpuctl.exe against simulated cards served by the Linux cpuctl (their
# pseudo-terminals mapped onto COM ports of the Wine prefix), the window tests as Windows
# programs, and cpuconfig.exe itself on a virtual display (tools/test-windows-gui.sh).
#
# Usage: tools/test-windows.sh [LINUX_CPUCTL]        (default build/cli/cpuctl)
# Environment:
#   WINDOWS_ARCHS   the builds, each in WINDOWS_BUILD-ARCH (default "x86_64 i686")
#   WINDOWS_BUILD   the build folders' stem (default build-windows)
#   WINDOWS_GUI     1 (default): with Qt for Windows (tools/build-qt-windows.sh), cpuconfig.exe
#                   and the window tests; 0: the engine, cpuctl.exe and the engine tests only
#   WINE_REQUIRED   1: a build whose programs Wine cannot run here fails instead of skipping
#   JOBS, CPUCONFIG_SHARED, CPUCONFIG_QT_CACHE (see tools/build-qt-windows.sh)
set -uo pipefail
. "$(dirname "$0")/windows-common.sh"
gui=${WINDOWS_GUI:-1}
jobs=${JOBS:-$(nproc)}
[ "$gui" = 1 ] && run_on_display

timed() { # timed WHAT COMMAND...: runs it and says how long it took
    local what=$1 t0 rc
    shift
    t0=$(date +%s)
    "$@"
    rc=$?
    echo "TIME: [$label] $what: $(($(date +%s) - t0)) s"
    return $rc
}

# COM20 carries the simulated card of the port tests (win32_port_tests), COM25 a line whose
# far end reads nothing (the numbers tools/build-windows.sh configures).
testPort=20
stalledPort=25

# build ARCH [TARGET...]: tools/build-windows.sh, timed.
build() {
    local arch=$1 t0=$SECONDS what="engine, cpuctl.exe, engine tests"
    shift
    [ "$gui" = 1 ] && what="$what, cpuconfig.exe, window tests"
    [ $# -gt 0 ] && what="$*"
    if "$root/tools/build-windows.sh" "$arch" "$@" >"$wbuild.log" 2>&1; then
        grep '^build-windows:' "$wbuild.log"
        echo "TIME: [$label] cross build: $((SECONDS - t0)) s"
        pass "cross build ($what)"
    else
        tail -n 30 "$wbuild.log"
        fail "cross build of $wbuild (log: $wbuild.log)"
        return 1
    fi
}

# --- What can be checked without running anything ------------------------------------------
static_checks() {
    local arch=$1 wbuild=$2 kind want objdump=$1-w64-mingw32-objdump
    [ "$arch" = x86_64 ] && want="PE32+ executable (console) x86-64" ||
        want="PE32 executable (console) Intel 80386"
    kind=$(file -b "$ctl")
    if [[ "$kind" == "$want"* ]]; then
        pass "cpuctl.exe: $kind"
    else
        fail "cpuctl.exe is not $want: $kind"
    fi
    local dlls
    dlls=$($objdump -p "$ctl" | awk '/DLL Name:/ { print $3 }' | tr '\n' ' ')
    if grep -qiE 'libstdc|libgcc|libwinpthread|libssp|libgomp' <<<"$dlls"; then
        fail "cpuctl.exe needs MinGW DLLs: $dlls"
    else
        pass "cpuctl.exe ships alone, it needs only system DLLs: $dlls"
    fi
    [ "$gui" = 1 ] || return 0
    want=${want/console/GUI}
    kind=$(file -b "$wbuild/cpuconfig.exe")
    if [[ "$kind" == "$want"* ]]; then
        pass "cpuconfig.exe: $kind"
    else
        fail "cpuconfig.exe is not $want: $kind"
    fi
    # The icon and the version Explorer shows.
    local texts version
    texts=$(strings -el "$wbuild/cpuconfig.exe")
    version=$(sed -n 's/^project(cpuconfig VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    if $objdump -p "$wbuild/cpuconfig.exe" | grep -c 'Resource Directory' >/dev/null &&
        grep -qx 'OriginalFilename' <<<"$texts" && grep -qx "$version" <<<"$texts"; then
        pass "cpuconfig.exe carries its icon and version resource"
    else
        fail "cpuconfig.exe has no version resource"
    fi
}

# --- Wine: can it run this architecture here? -----------------------------------------------
# Wine's 32-bit loader is itself a 32-bit Linux program: on a kernel without IA-32 emulation
# it cannot start. 64-bit programs start with the 64-bit loader itself, which needs nothing
# of the kind. A tiny program of the architecture is the honest probe.
probe() {
    local arch=$1 wbuild=$2 out
    printf '#include <stdio.h>\nint main(void) { puts("wine runs this"); return 0; }\n' \
        >"$wbuild/wine-probe.c"
    "$arch-w64-mingw32-gcc-posix" -o "$wbuild/wine-probe.exe" "$wbuild/wine-probe.c" ||
        { why="the probe does not compile"; return 1; }
    # Into a file: in a fresh prefix the first program leaves services behind that hold
    # its output open.
    WINEPREFIX=$wbuild/wine-prefix WINEDEBUG=-all timeout 300 "$loader" "$wbuild/wine-probe.exe" \
        </dev/null >"$wbuild/wine-probe.out" 2>&1
    out=$(cat "$wbuild/wine-probe.out")
    if grep -q "wine runs this" <<<"$out"; then
        return 0
    fi
    why=$(tr -d '\r' <<<"$out" | grep -v '^$' | tail -n 1)
    grep -qi "exec format error" <<<"$out" &&
        why="this machine's kernel does not run 32-bit programs ($why)"
    [ -n "$why" ] || why="$loader gave nothing"
    return 1
}

# --- The prefix: one per build, with the fonts the windows need ------------------------------
prepare_prefix() {
    local wbuild=$1
    export WINEPREFIX=$wbuild/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    local t0=$SECONDS
    "$root/tools/wine-prefix.sh" "$loader" --fonts >/dev/null || fail "making the Wine prefix"
    echo "TIME: [$label] Wine prefix: $((SECONDS - t0)) s"
    # Wine keeps QT_* of the Linux environment from Windows programs; the prefix's own
    # environment gives the window tests their fonts (the offscreen platform reads font
    # files from a folder) and their output on stdout rather than the debugger's.
    local fonts=$wbuild/wine-fonts f
    mkdir -p "$fonts"
    for f in /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf \
        /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf \
        /usr/share/fonts/truetype/wqy/wqy-microhei.ttc; do
        [ -f "$f" ] && ln -sfn "$f" "$fonts/"
    done
    "$loader" reg add 'HKCU\Environment' /v QT_QPA_FONTDIR /d "Z:${fonts//\//\\}" /f \
        </dev/null >/dev/null 2>&1
    "$loader" reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f </dev/null \
        >/dev/null 2>&1
    return 0
}

# start_card N NAME [simulate options...]: a simulated card on COM<N> of the prefix.
start_card() {
    local n=$1 name=$2
    shift 2
    "$hostctl" simulate --name "win$n-$label-$$" "$@" >"$work/$name.port" 2>"$work/$name.log" &
    sims+=($!)
    for _ in $(seq 100); do
        [ -s "$work/$name.port" ] && break
        sleep 0.1
    done
    local path
    path=$(head -n 1 "$work/$name.port")
    [ -n "$path" ] || { echo "card $name did not start: $(cat "$work/$name.log")"; return 1; }
    ln -sfn "$path" "$WINEPREFIX/dosdevices/com$n"
}

# A line whose far end never reads: a pseudo-terminal held open by a process that sleeps.
start_stalled_line() {
    python3 -c 'import os, pty, time
m, s = pty.openpty()
print(os.ttyname(s), flush=True)
while True:
    time.sleep(3600)' >"$work/stalled.port" &
    sims+=($!)
    for _ in $(seq 100); do
        [ -s "$work/stalled.port" ] && break
        sleep 0.1
    done
    [ -s "$work/stalled.port" ] || return 1
    ln -sfn "$(head -n 1 "$work/stalled.port")" "$WINEPREFIX/dosdevices/com$stalledPort"
}

# run NAME args...: cpuctl.exe in the work directory; output in NAME.out/.err, exit in rc,
# milliseconds taken in ms.
run() {
    local name=$1
    shift
    local t0
    t0=$(date +%s%N)
    (cd "$work" && timeout 120 "$wine" "$ctl" "$@" </dev/null >"$name.out" 2>"$name.err")
    rc=$?
    ms=$((($(date +%s%N) - t0) / 1000000))
}
last() { tr -d '\r' <"$work/$1.out" | sed '/^$/d' | tail -n 1; }
# waitlog NAME TEXT: until the card's log has TEXT (up to 10 s).
waitlog() {
    for _ in $(seq 100); do
        grep -q "$2" "$work/$1.log" && return 0
        sleep 0.1
    done
    return 1
}

# --- cpuctl.exe against simulated cards ----------------------------------------------------
cpuctl_runs() {
    # The smallest package: a one-byte image, 17 bytes in all, built by cpuctl.exe itself.
    printf '\x5a' >"$work/one.bin"
    run pack pack one.bin -o RQ_CPU.cpu
    local size
    size=$(stat -c %s "$work/RQ_CPU.cpu" 2>/dev/null || echo 0)
    if [ "$rc" -eq 0 ] && [ "$size" -eq 17 ]; then
        pass "cpuctl.exe pack writes the 17-byte package"
    else
        fail "cpuctl.exe pack: exit $rc, $size bytes: $(cat "$work/pack.out" "$work/pack.err")"
    fi

    # 1. Upgrade: address under mark parity, everything after the acknowledge under space.
    if start_card 21 good --screen 5 --model WIN-E2E; then
        run upgrade upgrade --port COM21 --screen 5 --baud 57600
        waitlog good "answered 01"
        if [ "$rc" -eq 0 ] && [ "$(last upgrade)" = "配置cpu文件成功" ] &&
            grep -q "address 05 05 parity mark" "$work/good.log" &&
            grep -q "header command .* parity space" "$work/good.log" &&
            grep -q "transfer 9 bytes, end mark aa ok" "$work/good.log"; then
            pass "upgrade on COM21: 配置cpu文件成功, address 05 05 under mark, data under space"
        else
            fail "upgrade on COM21: exit $rc, '$(last upgrade)'; card: $(tr '\n' '|' <"$work/good.log")"
        fi

        # 2. Query the same card.
        run query query --port COM21 --screen 5
        local model
        model=$(tr -d '\r' <"$work/query.out" | sed '/^$/d' | tail -n 2 | head -n 1)
        if [ "$rc" -eq 0 ] && [ "$(last query)" = "成功获取控制卡配置" ] && [ "$model" = "WIN-E2E" ]; then
            pass "query on COM21: model WIN-E2E, 成功获取控制卡配置"
        else
            fail "query on COM21: exit $rc: $(tr '\n' '|' <"$work/query.out") $(cat "$work/query.err")"
        fi
    else
        fail "simulated card for the upgrade"
    fi

    # 3. A silent card: the acknowledge wait gives up after about 2 s.
    if start_card 22 silent --fault silent; then
        run silent upgrade --port COM22
        if [ "$rc" -eq 1 ] && [ "$(last silent)" = "配制cpu文件失败" ] && [ "$ms" -ge 1800 ] &&
            [ "$ms" -le 8000 ]; then
            pass "silent card on COM22: 配制cpu文件失败 after $ms ms"
        else
            fail "silent card on COM22: exit $rc, '$(last silent)' after $ms ms"
        fi
    else
        fail "simulated silent card"
    fi

    # 4. A busy port: another cpuctl.exe holds it for a long, slow upgrade. Then Ctrl-C stops
    # the holder: the closing steps run, and what the driver still held of the transfer is
    # dropped, not sent on into the card.
    head -c 65536 /dev/urandom >"$work/big.bin"
    run packbig pack big.bin -o big.cpu
    if start_card 23 busy --baud-limit; then
        (cd "$work" && exec "$wine" "$ctl" upgrade --port COM23 --baud 9600 --package big.cpu \
            </dev/null >holder.out 2>holder.err) &
        holder=$!
        if waitlog busy "header command"; then
            run busy query --port COM23
            if [ "$rc" -eq 4 ] && [ "$(last busy)" = "发送失败" ] &&
                grep -q "COM23: in use by another program" "$work/busy.err"; then
                pass "busy COM23 (held by another cpuctl.exe): 发送失败, in use by another program"
            else
                fail "busy COM23: exit $rc, '$(last busy)'"
            fi
            kill -INT "$holder" 2>/dev/null
            wait "$holder"
            local stopped=$?
            holder=""
            run afterstop query --port COM23
            if [ "$stopped" -eq 130 ] && [ "$rc" -eq 0 ] && [ "$(last afterstop)" = "成功获取控制卡配置" ]; then
                pass "Ctrl-C stopped the holder (exit 130); COM23 answers the next query at once"
            else
                fail "Ctrl-C on the holder: exit $stopped; then query exit $rc: $(cat "$work/afterstop.err")"
            fi
        else
            fail "the holding upgrade never reached the card: $(cat "$work/holder.err")"
        fi
        [ -n "$holder" ] && kill "$holder" 2>/dev/null && wait "$holder" 2>/dev/null
        holder=""
    else
        fail "simulated card for the busy port"
    fi

    # 5. The port list comes from the registry, sorted as text.
    for n in 24 3 21; do
        "$wine" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\cpuconfig$n" /d "COM$n" \
            /f </dev/null >/dev/null 2>&1
    done
    run ports ports
    local listed
    listed=$(tr -d '\r' <"$work/ports.out" | grep -E '^COM(21|24|3)$' | tr '\n' ' ')
    if [ "$rc" -eq 0 ] && [ "$listed" = "COM21 COM24 COM3 " ]; then
        pass "cpuctl.exe ports lists the registry's ports in text order: $listed"
    else
        fail "cpuctl.exe ports: exit $rc: $(tr '\n' ' ' <"$work/ports.out")"
    fi
    run portslong ports --long
    if [ "$rc" -eq 0 ] && tr -d '\r' <"$work/portslong.out" | grep -q 'registry      \\Device\\cpuconfig21'; then
        pass "cpuctl.exe ports --long gives what the registry gives"
    else
        fail "cpuctl.exe ports --long: exit $rc: $(tr '\n' '|' <"$work/portslong.out")"
    fi

    # 6. A missing port: the ports there are now, from the registry.
    run missing query --port COM29
    if [ "$rc" -eq 4 ] && [ "$(last missing)" = "发送失败" ] &&
        grep -q "COM29: no such port; ports now: .*COM21" "$work/missing.err"; then
        pass "missing COM29: 发送失败, and the ports there are now"
    else
        fail "missing COM29: exit $rc, $(cat "$work/missing.err")"
    fi

    # 7. Two ports at once.
    if start_card 24 second --screen 5; then
        run parallel upgrade --port COM21 --port COM24 --screen 5 --json
        # With --json, stdout is the one JSON document, the status text in it.
        if [ "$rc" -eq 0 ] && grep -q '"exitCode":0,"status":"配置cpu文件成功"' "$work/parallel.out" &&
            grep -q '"port":"COM21","bytesTotal":9' "$work/parallel.out" &&
            grep -q '"port":"COM24","bytesTotal":9' "$work/parallel.out" &&
            [ "$(grep -o '"ok":true' "$work/parallel.out" | wc -l)" -eq 2 ]; then
            pass "upgrade on COM21 and COM24 at once: both confirmed"
        else
            fail "two ports at once: exit $rc: $(tr '\n' '|' <"$work/parallel.out") $(cat "$work/parallel.err")"
        fi
    else
        fail "simulated card for the second port"
    fi
}

# --- One architecture ----------------------------------------------------------------------
sims=()
holder=""
stop_all() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    sims=()
    holder=""
    if [ -n "${WINEPREFIX:-}" ]; then
        rm -f "$WINEPREFIX"/dosdevices/com2[0-9]
        wineserver -k 2>/dev/null
    fi
}
trap stop_all EXIT

test_arch() {
    local arch=$1 wbuild=$root/$stem-$1
    [ "$arch" = x86_64 ] && label=win64 || label=win32
    case "$arch" in
    x86_64) loader=/usr/lib/wine/wine64 ;;
    i686) loader=$(command -v wine || echo /usr/bin/wine) ;;
    *)
        fail "unknown architecture $arch (x86_64 or i686)"
        return
        ;;
    esac
    mkdir -p "$wbuild"
    # Where Wine cannot run the build's programs, only what the static checks and the zip
    # need is built.
    local runs=1 programs=(cpuctl)
    [ "$gui" = 1 ] && programs+=(cpuconfig)
    probe "$arch" "$wbuild" || runs=0
    if [ "$runs" = 1 ]; then
        build "$arch" || return
    else
        build "$arch" "${programs[@]}" || return
    fi
    ctl=$wbuild/cpuctl.exe
    [ -f "$ctl" ] || ctl=$wbuild/cli/cpuctl.exe
    static_checks "$arch" "$wbuild"

    if [ "$runs" = 0 ]; then
        echo "SKIPPED: $label runs under Wine: $why"
        [ "${WINE_REQUIRED:-0}" = 1 ] && fail "Wine cannot run $label programs on this machine"
        return
    fi
    [ -x "$hostctl" ] || {
        fail "no Linux cpuctl at $hostctl for the simulated cards"
        return
    }
    wine=$wbuild/wine-run
    prepare_prefix "$wbuild"
    work=$wbuild/e2e
    rm -rf "$work"
    mkdir -p "$work"

    # Engine tests under Wine; the port tests with a card and a stalled line of their own.
    start_card $testPort porttests --model A8-SIM || fail "simulated card for the port tests"
    start_stalled_line || fail "the stalled line for the port tests"
    if timed "engine tests" bash -c "cd '$wbuild' && ctest --output-on-failure -j '$jobs' -L engine"; then
        pass "engine tests under Wine"
    else
        fail "engine tests under Wine"
    fi

    timed "cpuctl.exe runs" cpuctl_runs

    if [ "$gui" = 1 ]; then
        # The window tests as Windows programs, offscreen (the wrapper passes the platform).
        # The station window's test picks the port tests' card from the registry's list.
        "$wine" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\cpuconfigTest" \
            /d "COM$testPort" /f </dev/null >/dev/null 2>&1
        if timed "window tests" bash -c "cd '$wbuild' && ctest --output-on-failure -j '$jobs' -L gui"; then
            pass "window tests under Wine (Qt's offscreen platform)"
        else
            fail "window tests under Wine"
        fi
        local out
        out=$(timed "cpuconfig.exe on a display" "$root/tools/test-windows-gui.sh" "$label" \
            "$wbuild" "$wine" "$hostctl" "$work/gui")
        local gui_failed=$?
        echo "$out"
        passed=$((passed + $(grep -c '^PASS:' <<<"$out")))
        failed=$((failed + $(grep -c '^FAIL:' <<<"$out")))
        [ "$gui_failed" -eq 0 ] || grep -q '^FAIL:' <<<"$out" || fail "cpuconfig.exe on a display"
    fi
    stop_all
}

for arch in $archs; do
    test_arch "$arch"
done
label=all
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
