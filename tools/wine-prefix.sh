#!/usr/bin/env bash
# Makes the Wine prefix $WINEPREFIX ready for the runs that follow and starts a fresh session
# in it: one wineserver for every run (the first Wine process starts background services
# that keep its output open; started here, detached, the runs end when their program does).
#
# Usage: tools/wine-prefix.sh LOADER [--fonts]
#   LOADER   /usr/lib/wine/wine64 for 64-bit programs, wine for 32-bit ones
#   --fonts  the faces a Chinese Windows has: Wine's Tahoma (the dialogs' face; Wine only
#            offers it from the Fonts folder) and a CJK face for the Chinese texts
set -euo pipefail
loader=$1
: "${WINEPREFIX:?WINEPREFIX names the prefix}"
mkdir -p "$WINEPREFIX"
# A session of its own: whatever ran in the prefix before (a probe) is ended first.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p >"$WINEPREFIX.wineserver.log" 2>&1 # its dump on the way out goes there too
t0=$SECONDS
"$loader" wineboot -i </dev/null >/dev/null 2>&1 || true
echo "wine-prefix: $WINEPREFIX ready in $((SECONDS - t0)) s"
if [ "${2:-}" = --fonts ]; then
    fonts=$WINEPREFIX/drive_c/windows/Fonts
    mkdir -p "$fonts"
    for f in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf \
        /usr/share/fonts/truetype/wqy/wqy-microhei.ttc; do
        [ -f "$f" ] && cp -f "$f" "$fonts/"
    done
fi
exit 0
