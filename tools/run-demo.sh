#!/usr/bin/env bash
# The demo: a package next to the program, a simulated card on a pseudo-terminal, then the
# desktop program when there is a display, or the same upgrade through cpuctl when not.
set -euo pipefail
build=${1:-build}
cpuctl="$build/cli/cpuctl"
program="$build/shell/cpuconfig"
demo="$build/demo"
package="$(dirname "$program")/RQ_CPU.cpu" # the program looks for it in its own folder
mkdir -p "$demo"

# A small stand-in firmware image: 48 KiB of a repeating pattern.
python3 -c "import sys; sys.stdout.buffer.write(bytes((i*7+3)&0xFF for i in range(49152)))" >"$demo/firmware.bin"
"$cpuctl" pack "$demo/firmware.bin" -o "$package"
"$cpuctl" info "$package"

# The simulated card prints its port as its first line and runs until it is stopped.
"$cpuctl" simulate --baud-limit --model DEMO-A8 >"$demo/simulate.out" 2>"$demo/simulate.log" &
card=$!
trap 'kill "$card" 2>/dev/null || true; wait "$card" 2>/dev/null || true' EXIT
port=""
for _ in $(seq 100); do
    port=$(head -n 1 "$demo/simulate.out" 2>/dev/null || true)
    [ -n "$port" ] && break
    kill -0 "$card" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "run-demo: the simulated card did not start:" >&2
    cat "$demo/simulate.log" >&2
    exit 1
fi
echo "simulated card (screen 1, model DEMO-A8) on $port"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "In 串口号 choose $port, then press 更新 (upgrade) or 获取型号 (ask the card's model)."
    "$program"
else
    echo "No display: the same upgrade through cpuctl."
    "$cpuctl" query --port "$port"
    "$cpuctl" upgrade --port "$port" --package "$package"
    echo "the card saw:"
    cat "$demo/simulate.log"
fi
