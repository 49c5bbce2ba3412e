#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
# Usage: tools/install-deps.sh [base|gui|windows|qt-source|fuzz|package|mutate|skins]...   (default: base gui)
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(base gui)

want=()
for g in "${groups[@]}"; do
    case "$g" in
    base) want+=(cmake ninja-build g++ make pkg-config googletest libcli11-dev nlohmann-json3-dev libssl-dev clang-format) ;;
    gui) want+=(qt6-base-dev qt6-multimedia-dev libqt6svg6 qt6-translations-l10n fonts-wqy-microhei fonts-dejavu-core xvfb xauth) ;;
    # Both Windows builds, their runs under Wine (64-bit through wine64, 32-bit through wine32
    # where the kernel runs 32-bit programs), cpuconfig.exe clicked on a virtual display, the
    # Qt translation the zips carry, the pictures of the screen, and the MSI installers (wixl
    # makes them, msitools reads them back).
    windows) want+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32 qt6-base-dev
        qt6-base-dev-tools qt6-translations-l10n fonts-wqy-microhei fonts-dejavu-core xvfb xauth
        fonts-wine xdotool x11-apps netpbm file python3 wixl msitools) ;;
    # tools/build-qt-windows.sh when no prebuilt Qt for Windows is at hand: Debian's source.
    qt-source) want+=(dpkg-dev perl cmake ninja-build) ;;
    fuzz) want+=(clang libclang-rt-14-dev) ;;
    # make package and its checks: manual pages, the .deb's library dependencies, lint.
    package) want+=(help2man dpkg-dev file lintian desktop-file-utils man-db) ;;
    # make mutate: its copy of the tree rebuilds after every seeded fault.
    mutate) want+=(ccache) ;;
    # Redrawing the skins and icons (skin_painter), not needed to build.
    skins) want+=(qt6-svg-dev) ;;
    *) echo "install-deps: unknown group $g" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$\|^wine32$'; then
    $sudo dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
