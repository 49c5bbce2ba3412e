#!/usr/bin/env bash
# The Windows Installer package under Wine, as an IT department uses it, in a fresh prefix:
#   1. `msiexec /i PACKAGE /qn` installs every file into C:\Program Files\cpuconfig, the two
#      Start-menu entries and the "Apps" entry with its version and publisher; the cpuctl
#      prompt's batch file finds cpuctl.exe;
#   2. the installed cpuconfig.exe upgrades a simulated card from the package it keeps in the
#      user's %LOCALAPPDATA%\cpuconfig (tools/test-windows-gui.sh): nothing beside it;
#   3. a newer version (made here from the same folder less README.txt) replaces it: one
#      cpuconfig in "Apps", the old one's files gone with it; the older package then refuses
#      to go over the newer one;
#   4. `msiexec /x PACKAGE /qn` leaves nothing behind: the prefix's files and the export of
#      HKLM\Software and HKCU\Software are as before the install, except the user's own
#      %LOCALAPPDATA%\cpuconfig, which an uninstall never takes (as with the .deb's
#      ~/.local/share/cpuconfig).
# Run it under `xvfb-run -a` (tools/package-windows.sh does).
#
# Usage: tools/test-windows-msi.sh LABEL PACKAGE FOLDER LOADER LINUX_CPUCTL WORK_DIR
#   PACKAGE   the .msi (tools/package-windows-msi.sh)
#   FOLDER    the folder it was made from
#   LOADER    /usr/lib/wine/wine64 for the 64-bit package
# Prints PASS/FAIL/TIME lines; the exit status is the number of failures.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
label="$1 msi"
msi=$(realpath "$2")
folder=$(realpath "$3")
loader=$4
hostctl=$(realpath "$5")
work=$(realpath -m "$6")
failed=0
pass() { echo "PASS: [$label] $*"; }
fail() {
    echo "FAIL: [$label] $*"
    failed=$((failed + 1))
}
rm -rf "$work"
mkdir -p "$work"
# A prefix of its own, as on a PC that never saw the build; Wine's menu builder would put the
# Start-menu entries into this Linux user's menus as well.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset WINEPATH
trap 'wineserver -k 2>/dev/null' EXIT
"$root/tools/wine-prefix.sh" "$loader" >/dev/null || fail "making a fresh Wine prefix"

win() { "$loader" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# msiexec ARGS...: rc is its exit status (Windows' 1603, "failed", comes as 67: the low byte).
msiexec() {
    local t0=$SECONDS
    "$loader" msiexec "$@" /qn </dev/null >"$work/msiexec.out" 2>&1
    rc=$?
    echo "TIME: [$label] msiexec $1: $((SECONDS - t0)) s"
}
winpath() { "$loader" winepath -w "$1" </dev/null 2>/dev/null | tr -d '\r'; }
# The "Apps" entries of every cpuconfig: "version|publisher|folder" lines.
apps() {
    win reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
        awk 'function entry() { if (name == "cpuconfig") print version "|" publisher "|" folder }
             function text() { return substr($0, index($0, "REG_SZ") + 10) }
             /^HKEY/ { entry(); name = version = publisher = folder = "" }
             $1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { version = $3 }
             $1 == "Publisher" { publisher = text() } $1 == "InstallLocation" { folder = text() }
             END { entry() }'
}
# snapshot NAME: the prefix's files (the registry's own files and the COM ports aside) and
# what HKLM\Software and HKCU\Software hold, one line per value, each under its key.
snapshot() {
    (cd "$WINEPREFIX" && find . -path ./dosdevices -prune -o -print | grep -v '^\./[a-z]*\.reg$' |
        LC_ALL=C sort) >"$work/$1.files"
    local key
    for key in HKLM HKCU; do
        "$loader" reg export "$key\\Software" "$(winpath "$work/$1.$key.reg")" /y </dev/null >/dev/null 2>&1
        iconv -f UTF-16 -t UTF-8 "$work/$1.$key.reg" | tr -d '\r' |
            awk '/^\[/ { key = $0; print key; next } /^$/ { next } { print key " " $0 }' |
            LC_ALL=C sort >"$work/$1.$key.txt"
    done
}

version=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }')
publisher=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "Manufacturer" { print $2 }')
# The 32-bit package goes into Program Files (x86) where Windows is 64-bit.
programfiles="Program Files" other="Program Files (x86)"
if [ "$1" = win32 ] && [ -d "$WINEPREFIX/drive_c/$other" ]; then
    programfiles=$other other="Program Files"
fi
installed=$WINEPREFIX/drive_c/$programfiles/cpuconfig
entry="$publisher|C:\\$programfiles\\cpuconfig\\"
snapshot before

# --- 1. Installed -----------------------------------------------------------------------
msiexec /i "$(winpath "$msi")"
want=$(cd "$folder" && find . -type f -printf '%P %s\n' | sort)
got=$(cd "$installed" 2>/dev/null && find . -type f ! -name cpuctl-prompt.cmd -printf '%P %s\n' | sort)
if [ "$rc" -eq 0 ] && [ "$want" = "$got" ] && [ ! -e "$WINEPREFIX/drive_c/$other/cpuconfig" ]; then
    pass "msiexec /i /qn installed the $(wc -l <<<"$want") files into C:\\$programfiles\\cpuconfig"
else
    fail "msiexec /i /qn: exit $rc, $(tr '\n' ' ' <"$work/msiexec.out"); files: $(diff <(echo "$want") <(echo "$got") | grep '^[<>]' | head -n 5 | tr '\n' ' ')"
fi
# Windows puts a per-machine package's entries into the Start menu of all users; Wine into
# the installing user's.
menu=$(find "$WINEPREFIX/drive_c" -path '*/Start Menu/Programs/cpuconfig' -type d | head -n 1)
if [ -f "$menu/cpuconfig.lnk" ] && [ -f "$menu/cpuctl Command Prompt.lnk" ] &&
    [ "$(apps)" = "$version|$entry" ]; then
    pass "Start menu: cpuconfig, cpuctl Command Prompt; \"Apps\": cpuconfig $version by $publisher in C:\\$programfiles\\cpuconfig"
else
    fail "Start menu ($(ls "$menu" 2>/dev/null | tr '\n' ',')) or \"Apps\" ($(apps | tr '\n' ','))"
fi
# The shortcut's own command line, with /c for its /k so that the prompt ends: a batch file
# hands it to cmd as it stands. cmd drops the outer pair of quotes of a line that holds
# parentheses, as "Program Files (x86)" does, so the path is quoted twice.
printf '@cmd /c ""C:\\%s\\cpuconfig\\cpuctl-prompt.cmd""\r\n' "$programfiles" >"$work/shortcut.cmd"
prompt=$(cd "$work" && win cmd /c shortcut.cmd)
if grep -qx "cpuctl $version" <<<"$prompt"; then
    pass "the cpuctl prompt runs the installed cpuctl.exe: cpuctl $version"
else
    fail "the cpuctl prompt: $(tr '\n' '|' <<<"$prompt")"
fi

# --- 2. The installed program, its package in the user's folder -------------------------
localappdata=$(win cmd /c echo %LOCALAPPDATA%)
packages=$(realpath -m "$("$loader" winepath -u "$localappdata\\cpuconfig" </dev/null 2>/dev/null)")
if [ -n "$localappdata" ] && [ -n "$packages" ]; then
    out=$("$root/tools/test-windows-gui.sh" "$label" "$installed" "$loader" "$hostctl" "$work/gui" \
        "$packages")
    echo "$out"
    failed=$((failed + $(grep -c '^FAIL:' <<<"$out")))
    if [ -f "$packages/RQ_CPU.cpu" ] && [ -z "$(find "$installed" -iname '*.cpu')" ]; then
        pass "the installed program kept its package in $localappdata\\cpuconfig, none in Program Files"
    else
        fail "packages: $(find "$packages" "$installed" -iname '*.cpu' | tr '\n' ' ')"
    fi
else
    fail "no %LOCALAPPDATA% in the prefix"
fi

# --- 3. A newer version replaces it; the older one does not go over the newer -----------
IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))
mkdir -p "$work/newer"
cp -al "$folder" "$work/newer/files" 2>/dev/null || cp -a "$folder" "$work/newer/files"
rm -f "$work/newer/files/README.txt"
if "$root/tools/package-windows-msi.sh" "$work/newer/files" "${label% msi}" "$newer" "$publisher" \
    "$work/newer/cpuconfig-$newer.msi" >"$work/newer/build.log"; then
    msiexec /i "$(winpath "$work/newer/cpuconfig-$newer.msi")"
    if [ "$rc" -eq 0 ] && [ "$(apps)" = "$newer|$entry" ] && [ -f "$installed/cpuconfig.exe" ] &&
        [ ! -e "$installed/README.txt" ]; then
        pass "cpuconfig $newer replaced $version: one entry in \"Apps\", the old files gone"
    else
        fail "cpuconfig $newer over $version: exit $rc; \"Apps\": $(apps | tr '\n' ','); README.txt $(ls "$installed/README.txt" 2>&1)"
    fi
    msiexec /i "$(winpath "$msi")"
    if [ "$rc" -ne 0 ] && [ "$(apps)" = "$newer|$entry" ]; then
        pass "cpuconfig $version refused to replace the newer $newer (exit $rc)"
    else
        fail "cpuconfig $version over $newer: exit $rc; \"Apps\": $(apps | tr '\n' ',')"
    fi
    msiexec /x "$(winpath "$work/newer/cpuconfig-$newer.msi")"
else
    fail "making version $newer: $(tr '\n' ' ' <"$work/newer/build.log")"
    msiexec /x "$(winpath "$msi")"
fi

# --- 4. Uninstalled: nothing left -------------------------------------------------------
uninstalled=$rc
snapshot after
# The user's own folder stays; Wine fills in its network cards when a program asks and keeps
# its own settings (the mouse that xdotool moved); Windows Installer's own keys and folder
# stay, empty.
user_data=$(sed 's|^/||' <<<"${packages#"$WINEPREFIX"}")
left=$(
    LC_ALL=C comm -13 "$work/before.files" "$work/after.files" | grep -v "^\./$user_data\(/\|$\)" |
        grep -vx '\./drive_c/windows/Installer'
    for key in HKLM HKCU; do
        LC_ALL=C comm -13 "$work/before.$key.txt" "$work/after.$key.txt" |
            grep -v '\\NetworkCards\\[0-9]*\]' | grep -v '^\[HKEY_CURRENT_USER\\Software\\Wine\\' |
            grep -vE '^\[[^]]*\\Installer(\\(Features|Products|UpgradeCodes|UserData|S-1-5-18|Components))*\]$'
    done
)
if [ "$uninstalled" -eq 0 ] && [ -z "$left" ]; then
    pass "msiexec /x /qn left nothing behind: files, Start menu, registry as before (the user's $localappdata\\cpuconfig aside)"
else
    fail "msiexec /x /qn: exit $uninstalled; left behind: $(head -n 12 <<<"$left" | tr '\n' '|')"
fi
exit "$failed"
