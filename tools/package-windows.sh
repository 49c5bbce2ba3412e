#!/usr/bin/env bash
# The Windows zips: cpuconfig-<version>-win64.zip and cpuconfig-<version>-win32.zip, each a
# folder that runs wherever it is unpacked: cpuconfig.exe, cpuctl.exe, the Qt DLLs and
# plugins the program loads, the MinGW runtime, Qt's Chinese translation, README.txt and the
# licence notices. Beside each, the installer of the same folder: cpuconfig-<version>-win64.msi
# and -win32.msi (tools/package-windows-msi.sh).
#
# Every DLL that an .exe or .dll of a zip imports must be in the zip or be part of Windows;
# otherwise the zip is refused. Where Wine runs the zip's programs, it is then unpacked into
# a fresh folder and a fresh Wine prefix, and both programs are run from there (cpuconfig.exe
# on a virtual display: tools/test-windows-gui.sh); and the installer is installed, run,
# upgraded and removed in another fresh prefix (tools/test-windows-msi.sh).
#
# Usage: tools/package-windows.sh [LINUX_CPUCTL]     (default build/cli/cpuctl)
# Environment: WINDOWS_ARCHS ("x86_64 i686"), WINDOWS_BUILD, WINE_REQUIRED, JOBS,
# CPUCONFIG_SHARED (see tools/build-windows.sh).
set -uo pipefail
. "$(dirname "$0")/windows-common.sh"
run_on_display

# DLLs every Windows 10 has (Qt 6 needs Windows 10 or later). Names compare in lower case.
system_dlls=" advapi32.dll authz.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll d2d1.dll
 d3d11.dll d3d9.dll dwmapi.dll dwrite.dll dxgi.dll gdi32.dll imm32.dll kernel32.dll mpr.dll
 msvcrt.dll netapi32.dll ntdll.dll ole32.dll oleaut32.dll rpcrt4.dll setupapi.dll shcore.dll
 shell32.dll shlwapi.dll user32.dll userenv.dll uxtheme.dll version.dll winmm.dll winspool.drv
 ws2_32.dll wtsapi32.dll "
system_dlls=$(tr -s '[:space:]' ' ' <<<"$system_dlls")

# check_imports FOLDER FORMAT: every import of every .exe/.dll under FOLDER is in FOLDER
# itself (where Windows looks first for a program's DLLs) or is a system DLL; every file is
# of FORMAT (pei-x86-64 or pei-i386).
check_imports() {
    local dir=$1 format=$2 objdump=$3 f dll bad=""
    local here
    here=" $(find "$dir" -maxdepth 1 -iname '*.dll' -printf '%f\n' | tr 'A-Z' 'a-z' | tr '\n' ' ') "
    while IFS= read -r f; do
        local head
        head=$($objdump -p "$f")
        grep -q "file format $format" <<<"$head" || bad+=" ${f#"$dir"/} is not $format;"
        while IFS= read -r dll; do
            dll=$(tr 'A-Z' 'a-z' <<<"$dll")
            [[ "$here" == *" $dll "* || "$system_dlls" == *" $dll "* || "$dll" == api-ms-win-* ]] ||
                bad+=" ${f#"$dir"/} needs $dll;"
        done < <(awk '/DLL Name:/ { print $3 }' <<<"$head")
    done < <(find "$dir" -type f \( -iname '*.exe' -o -iname '*.dll' \))
    if [ -n "$bad" ]; then
        fail "imports not in the zip nor part of Windows:$bad"
        return 1
    fi
    pass "every DLL the zip's programs and plugins import is in it or part of Windows ($format)"
}

# --- One zip ----------------------------------------------------------------------------------
package() {
    local arch=$1 wbuild=$root/$stem-$1 triple=$1-w64-mingw32 format
    [ "$arch" = x86_64 ] && { label=win64 format=pei-x86-64; } || { label=win32 format=pei-i386; }
    WINDOWS_GUI=1 "$root/tools/build-windows.sh" "$arch" cpuconfig cpuctl >"$wbuild.log" 2>&1 || {
        tail -n 30 "$wbuild.log"
        fail "cross build of $wbuild"
        return 1
    }
    local runtime=$wbuild/windows-runtime.txt
    local version
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$wbuild/CMakeCache.txt")
    local name=cpuconfig-$version-$label
    local stage=$wbuild/zip/$name
    rm -rf "$wbuild/zip"
    mkdir -p "$stage"/{platforms,styles,imageformats,translations,licenses}

    local kind path
    while read -r kind path; do
        case "$kind" in
        program) "$triple-strip" -o "$stage/$(basename "$path")" "$path" ;;
        qt) cp "$path" "$stage/" ;;
        # Qt's Chinese texts, looked for beside the program.
        translation) cp "$path" "$stage/translations/" ;;
        # Debian ships the runtime with its symbols: 23 MB of libstdc++ that Windows never reads.
        runtime) "$triple-strip" --strip-debug -o "$stage/$(basename "$path")" "$path" ;;
        plugins)
            cp "$path/platforms/qwindows.dll" "$stage/platforms/"
            cp "$path/styles/"*.dll "$stage/styles/"
            # The preview pane shows .ico pictures, and GIF/JPEG as it does elsewhere.
            cp "$path/imageformats/"*.dll "$stage/imageformats/"
            ;;
        esac
    done <"$runtime"
    # README.txt with Windows line ends, so that Notepad shows its lines. What the Qt DLLs
    # were built from comes from the stamp of tools/build-qt-windows.sh.
    local qtprefix qtsource
    qtprefix=$(sed -n 's/^plugins \(.*\)\/plugins$/\1/p' "$runtime")
    qtsource=$(sed -n '1s/^qt6-base \([^ ]*\) .*/\1/p' "$qtprefix/.cpuconfig-qt-stamp")
    [ -n "$qtsource" ] || {
        fail "no stamp of tools/build-qt-windows.sh in $qtprefix"
        return 1
    }
    sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$label/g" \
        -e "s/@QT_SERIES@/$(cut -d. -f1,2 <<<"$qtsource")/" \
        -e "s/@QT_SOURCE@/$qtsource/" \
        packaging/windows/README.txt | sed 's/$/\r/' >"$stage/README.txt"
    cp packaging/copyright "$stage/licenses/cpuconfig.txt"
    cp /usr/share/common-licenses/LGPL-3 "$stage/licenses/Qt-LGPL-3.txt"
    cp /usr/share/common-licenses/GPL-3 "$stage/licenses/GPL-3.txt"
    cp /usr/share/doc/qt6-base-dev/copyright "$stage/licenses/Qt-copyright.txt"
    cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licenses/MinGW-gcc-runtime.txt"
    cp /usr/share/doc/mingw-w64-common/copyright "$stage/licenses/MinGW-w64-winpthreads.txt"

    local missing=""
    for f in cpuconfig.exe cpuctl.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll platforms/qwindows.dll \
        libstdc++-6.dll libwinpthread-1.dll translations/qtbase_zh_CN.qm README.txt; do
        [ -f "$stage/$f" ] || missing+=" $f"
    done
    [ -z "$missing" ] || {
        fail "the zip lacks$missing"
        return 1
    }
    check_imports "$stage" "$format" "$triple-objdump" || return 1

    local zip=$wbuild/$name.zip
    rm -f "$zip"
    (cd "$wbuild/zip" && cmake -E tar cf "$zip" --format=zip "$name") || {
        fail "writing $zip"
        return 1
    }
    pass "$zip ($(du -k "$zip" | cut -f1) KiB, $(find "$stage" -type f | wc -l) files)"
    try_zip "$arch" "$zip" "$name" "$wbuild"
    msi "$arch" "$stage" "$version" "$wbuild"
    return 0
}

# --- The installer of the same folder ----------------------------------------------------------
msi() {
    local arch=$1 stage=$2 version=$3 wbuild=$4 out publisher loader
    local msi=$wbuild/cpuconfig-$version-$label.msi
    # The .deb's maintainer, without the address, is the publisher "Apps" shows.
    publisher=$(sed -n 's/^CPUCONFIG_MAINTAINER:STRING=//p' "$wbuild/CMakeCache.txt" | sed 's/ *<.*//')
    out=$("$root/tools/package-windows-msi.sh" "$stage" "$label" "$version" "${publisher:-cpuconfig}" "$msi")
    local made=$?
    echo "$out"
    failed=$((failed + $(grep -c '^FAIL:' <<<"$out")))
    [ "$made" -eq 0 ] || return
    if [ "$wine_runs" = 0 ]; then
        echo "SKIPPED: $label msi under Wine: this machine's kernel does not run 32-bit programs"
        return
    fi
    [ "$arch" = x86_64 ] && loader=/usr/lib/wine/wine64 || loader=$(command -v wine || echo wine)
    local t0=$SECONDS
    out=$("$root/tools/test-windows-msi.sh" "$label" "$msi" "$stage" "$loader" "$hostctl" "$wbuild/msi-check")
    echo "$out"
    echo "TIME: [$label msi] under Wine: $((SECONDS - t0)) s"
    failed=$((failed + $(grep -c '^FAIL:' <<<"$out")))
}

# --- Unpacked elsewhere, it runs --------------------------------------------------------------
try_zip() {
    local arch=$1 zip=$2 name=$3 wbuild=$4 loader
    wine_runs=1
    # 64-bit programs start with the 64-bit loader itself (see tools/test-windows.sh).
    [ "$arch" = x86_64 ] && loader=/usr/lib/wine/wine64 || loader=$(command -v wine || echo wine)
    local check=$wbuild/zip-check
    rm -rf "$check"
    mkdir -p "$check/unpacked"
    (cd "$check/unpacked" && cmake -E tar xf "$zip") || {
        fail "unpacking $zip"
        return
    }
    local dir=$check/unpacked/$name
    # A prefix of its own, as on a machine that never saw the build: no WINEPATH, no fonts
    # or environment put there for the tests.
    export WINEPREFIX=$check/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset WINEPATH
    "$root/tools/wine-prefix.sh" "$loader" >/dev/null || fail "making a fresh Wine prefix"
    local out
    (cd "$check" && "$loader" "$dir/cpuctl.exe" --version </dev/null >version.out 2>&1)
    out=$(tr -d '\r' <"$check/version.out")
    if [ "$out" = "cpuctl $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$wbuild/CMakeCache.txt")" ]; then
        pass "cpuctl.exe runs from the unpacked zip: $out"
    elif grep -qi "exec format error" <<<"$out"; then
        echo "SKIPPED: $label zip under Wine: this machine's kernel does not run 32-bit programs" \
            "($(tail -n 1 <<<"$out"))"
        [ "${WINE_REQUIRED:-0}" = 1 ] && fail "Wine cannot run $label programs on this machine"
        wine_runs=0
        wineserver -k 2>/dev/null
        return
    else
        fail "cpuctl.exe from the unpacked zip: $out"
    fi
    [ -x "$hostctl" ] || {
        fail "no Linux cpuctl at $hostctl for the simulated card"
        wineserver -k
        return
    }
    out=$("$root/tools/test-windows-gui.sh" "$label zip" "$dir" "$loader" "$hostctl" "$check/gui")
    echo "$out"
    failed=$((failed + $(grep -c '^FAIL:' <<<"$out")))
    wineserver -k
}

for arch in $archs; do
    package "$arch"
done
[ "$failed" -eq 0 ]
