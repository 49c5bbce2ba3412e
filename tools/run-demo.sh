#!/usr/bin/env bash
# The main job as far as it exists: build a demo package next to the program and show it.
set -euo pipefail
build=${1:-build}
demo="$build/demo"
mkdir -p "$demo"
# A small stand-in firmware image: 48 KiB of a repeating pattern.
python3 -c "import sys; sys.stdout.buffer.write(bytes((i*7+3)&0xFF for i in range(49152)))" >"$demo/firmware.bin"
"$build/cli/cpuctl" pack "$demo/firmware.bin" -o "$demo/RQ_CPU.cpu"
"$build/cli/cpuctl" info "$demo/RQ_CPU.cpu"
# Without a display: the upgrade itself, over the line of a simulated card that takes bytes at
# 115200 baud, with the progress bar.
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    "$build/cli/cpuctl" simulate --baud-limit --model DEMO-A8 >"$demo/card.port" 2>"$demo/card.log" &
    card=$!
    trap 'kill "$card" 2>/dev/null || true; wait "$card" 2>/dev/null || true' EXIT
    for _ in $(seq 50); do [ -s "$demo/card.port" ] && break; sleep 0.1; done
    port=$(head -n1 "$demo/card.port")
    "$build/cli/cpuctl" query --port "$port"
    "$build/cli/cpuctl" upgrade --port "$port" --package "$demo/RQ_CPU.cpu"
    echo "the card saw:"; cat "$demo/card.log"
fi
