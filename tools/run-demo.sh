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
