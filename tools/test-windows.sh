#!/usr/bin/env bash
# Cross-builds the engine, cpuctl.exe and the engine tests for 32-bit Windows, runs the
# tests under Wine, then has cpuctl.exe (under Wine) upgrade and query simulated cards
# whose pseudo-terminals are mapped onto COM ports of the Wine prefix.
#
# Usage: tools/test-windows.sh [WINDOWS_BUILD_DIR] [LINUX_CPUCTL]
#        (defaults: build-windows, build/cli/cpuctl; `make test-windows` builds both)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wbuild=$root/${1:-build-windows}
hostctl=$(realpath "${2:-build/cli/cpuctl}")
jobs=${JOBS:-$(nproc)}

passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}

# --- Build ---------------------------------------------------------------------------
# COM20 carries the simulated card of the port tests (win32_port_tests).
testPort=20
if [ ! -f "$wbuild/build.ninja" ]; then
    cmake -S . -B "$wbuild" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCPUCONFIG_WERROR=ON -DCPUCONFIG_BENCH=OFF \
        -DCPUCONFIG_WINE_TEST_PORT=COM$testPort >/dev/null ||
        { fail "configure the Windows build"; finish; }
else
    cmake -B "$wbuild" -DCPUCONFIG_WINE_TEST_PORT=COM$testPort >/dev/null
fi
if cmake --build "$wbuild" -j "$jobs"; then
    pass "cross build (engine, cpuctl.exe, engine tests)"
else
    fail "cross build"
    finish
fi
exe=$wbuild/cli/cpuctl.exe
[ -x "$hostctl" ] || { fail "no Linux cpuctl at $hostctl for the simulated cards"; finish; }

# --- The executable ships alone ------------------------------------------------------
kind=$(file -b "$exe")
if [[ "$kind" == "PE32 executable"* ]]; then
    pass "cpuctl.exe is 32-bit: $kind"
else
    fail "cpuctl.exe is not PE32: $kind"
fi
dlls=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' | tr '\n' ' ')
if grep -qiE 'libstdc|libgcc|libwinpthread|libssp|libgomp' <<<"$dlls"; then
    fail "cpuctl.exe needs MinGW DLLs: $dlls"
else
    pass "cpuctl.exe needs only system DLLs: $dlls"
fi

# --- Wine needs a kernel that runs 32-bit programs -----------------------------------
# Wine's 32-bit loader is itself a 32-bit Linux program: on a kernel without IA-32
# emulation it cannot start, and no 32-bit Windows program can run on that machine. Say so
# and end after the checks above; WINE_REQUIRED=1 makes it a failure instead.
if [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "SKIPPED: the runs under Wine: this machine's kernel does not run 32-bit programs" \
        "(exec of /usr/lib/wine/wine: $(/usr/lib/wine/wine --version 2>&1 | tail -n 1))"
    [ "${WINE_REQUIRED:-0}" = 1 ] && fail "Wine cannot run 32-bit programs on this machine"
    finish
fi

# --- Wine: a prefix of our own, no display, one wineserver for every run ---------------
export WINEPREFIX=$wbuild/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
dos=$WINEPREFIX/dosdevices
work=$wbuild/e2e
sims=()
holder=""
cleanup() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -f "$dos"/com2[0-4]
    wineserver -k 2>/dev/null
}
trap cleanup EXIT
# The first Wine process starts background services that keep its output open: start them
# here, detached, so that the test runs below end when their program does.
wineserver -p
wine wineboot -i </dev/null >/dev/null 2>&1

rm -rf "$work"
mkdir -p "$work"

# start_card N NAME [simulate options...]: a simulated card on COM<N> of the prefix.
start_card() {
    local n=$1 name=$2
    shift 2
    "$hostctl" simulate --name "win$n-$$" "$@" >"$work/$name.port" 2>"$work/$name.log" &
    sims+=($!)
    for _ in $(seq 100); do
        [ -s "$work/$name.port" ] && break
        sleep 0.1
    done
    local path
    path=$(head -n 1 "$work/$name.port")
    [ -n "$path" ] || { echo "card $name did not start: $(cat "$work/$name.log")"; return 1; }
    ln -sfn "$path" "$dos/com$n"
}

# --- Engine tests under Wine, the port tests with a card of their own ------------------
start_card $testPort porttests --model A8-SIM || fail "simulated card for the port tests"
if (cd "$wbuild" && ctest --output-on-failure -j "$jobs"); then
    pass "engine tests under Wine"
else
    fail "engine tests under Wine"
fi

# --- End to end: cpuctl.exe against simulated cards -----------------------------------
# run NAME args...: cpuctl.exe in the work directory; output in NAME.out/.err, exit in rc,
# milliseconds taken in ms.
run() {
    local name=$1
    shift
    local t0
    t0=$(date +%s%N)
    (cd "$work" && timeout 120 wine "$exe" "$@" </dev/null >"$name.out" 2>"$name.err")
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

# The smallest package: a one-byte image, 17 bytes in all, built by cpuctl.exe itself.
printf '\x5a' >"$work/one.bin"
run pack pack one.bin -o RQ_CPU.cpu
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

# 4. A busy port: another cpuctl.exe holds it for a long, slow upgrade.
head -c 32768 /dev/urandom >"$work/big.bin"
run packbig pack big.bin -o big.cpu
if start_card 23 busy --baud-limit; then
    (cd "$work" && exec wine "$exe" upgrade --port COM23 --baud 9600 --package big.cpu \
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
    else
        fail "the holding upgrade never reached the card: $(cat "$work/holder.err")"
    fi
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
    holder=""
else
    fail "simulated card for the busy port"
fi

# 5. The port list comes from the registry, sorted as text.
for n in 24 3 21; do
    wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "\\Device\\cpuconfig$n" /d "COM$n" /f \
        </dev/null >/dev/null 2>&1
done
run ports ports
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
    if [ "$rc" -eq 0 ] && [ "$(last parallel)" = "配置cpu文件成功" ] &&
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

finish
