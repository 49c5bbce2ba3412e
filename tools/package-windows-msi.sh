#!/usr/bin/env bash
# The Windows Installer package of one build, made with wixl from the zip's folder
# (tools/package-windows.sh calls it): cpuconfig-<version>-win64.msi or -win32.msi, installed
# per machine into Program Files\cpuconfig (the 32-bit one into Program Files (x86) on 64-bit
# Windows), with "cpuconfig" and "cpuctl Command Prompt" in the Start menu, removed as a
# whole by "Apps" or `msiexec /x`, and replacing an older cpuconfig (packaging/windows/
# cpuconfig.wxs). Then it checks what the package says: the platform, the folders, that every
# file of the folder is in it, its version, publisher and upgrade code.
#
# Usage: tools/package-windows-msi.sh FOLDER LABEL VERSION PUBLISHER OUTPUT.msi
#   FOLDER     the zip's folder (cpuconfig.exe, cpuctl.exe, the DLLs, ...)
#   LABEL      win64 or win32
#   VERSION    major.minor.patch (at most 255.255.65535, as Windows Installer compares them)
#   PUBLISHER  the name "Apps" shows as the publisher
# Prints PASS/FAIL lines; exits non-zero when the package was not made or is wrong.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
folder=$(realpath "$1")
label=$2
version=$3
publisher=$4
output=$(realpath -m "$5")
# The upgrade code of packaging/windows/cpuconfig.wxs: every cpuconfig package has it.
upgrade_code="{3CCE8402-27C5-4D89-9360-EDDBB300AE7F}"
failed=0
pass() { echo "PASS: [$label msi] $*"; }
fail() {
    echo "FAIL: [$label msi] $*"
    failed=$((failed + 1))
}

case "$label" in
win64) arch=x64 programfiles=ProgramFiles64Folder template="x64;1033" ;;
win32) arch=x86 programfiles=ProgramFilesFolder template="Intel;1033" ;;
*)
    fail "unknown build $label (win64 or win32)"
    exit 1
    ;;
esac
IFS=. read -r major minor patch extra <<<"$version"
if ! [[ "$major.$minor.$patch" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || [ -n "$extra" ] ||
    [ "$major" -gt 255 ] || [ "$minor" -gt 255 ] || [ "$patch" -gt 65535 ]; then
    fail "version $version is not one Windows Installer can compare (major.minor.patch, at most 255.255.65535)"
    exit 1
fi
# wixl (0.101) stops at any letter beyond ASCII in a text given with -D, even one of the
# package's code page.
if [ -z "$publisher" ] || LC_ALL=C grep -q '[^ -~]' <<<"$publisher"; then
    fail "publisher '$publisher' is empty or not plain ASCII (CPUCONFIG_MAINTAINER)"
    exit 1
fi
# Every build of this version and older ones are replaced: below the next version.
if [ "$patch" -lt 65535 ]; then
    below="$major.$minor.$((patch + 1))"
elif [ "$minor" -lt 255 ]; then
    below="$major.$((minor + 1)).0"
else
    below="$((major + 1)).0.0"
fi
for tool in wixl msiinfo python3; do
    command -v "$tool" >/dev/null || {
        fail "$tool is missing: tools/install-deps.sh windows"
        exit 1
    }
done

# wixl finds sources relative to where it runs only: the package's files are gathered in a
# work folder beside the output (hard links, no copies) with the prompt's batch file.
work=${output%.msi}.wixl
rm -rf "$work"
mkdir -p "$work"
cp -al "$folder" "$work/files" 2>/dev/null || cp -a "$folder" "$work/files"
sed 's/$/\r/' "$root/packaging/windows/cpuctl-prompt.cmd" >"$work/files/cpuctl-prompt.cmd"
cp "$root/resources/skins/app_icon.ico" "$work/cpuconfig.ico"

# One component per file, each with a GUID of its own that stays the same from version to
# version (made from the build and the file's path), as Windows Installer wants.
python3 - "$work/files" "$arch" >"$work/files.wxs" <<'EOF' || fail "listing the files"
import os, sys, uuid
from xml.sax.saxutils import quoteattr
top, arch = sys.argv[1], sys.argv[2]
namespace = uuid.UUID("c470f18d-0d12-4bd6-ba44-015e44253860")
win64 = "yes" if arch == "x64" else "no"
lines, refs = [], []

def walk(rel, indent):
    for name in sorted(os.listdir(os.path.join(top, rel))):
        path = f"{rel}/{name}" if rel else name
        n = len(lines)
        if os.path.isdir(os.path.join(top, path)):
            lines.append(f'{indent}<Directory Id="dir{n}" Name={quoteattr(name)}>')
            walk(path, indent + "  ")
            lines.append(f"{indent}</Directory>")
        else:
            guid = str(uuid.uuid5(namespace, f"{arch}:{path.lower()}")).upper()
            lines.append(f'{indent}<Component Id="file{n}" Guid="{guid}" Win64="{win64}">'
                         f'<File Id="file{n}" Name={quoteattr(name)} '
                         f'Source={quoteattr("files/" + path)} KeyPath="yes"/></Component>')
            refs.append(f"file{n}")

walk("", "      ")
print('<?xml version="1.0" encoding="utf-8"?>')
print('<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">')
print('  <Fragment>\n    <DirectoryRef Id="INSTALLDIR">')
print("\n".join(lines))
print('    </DirectoryRef>\n    <ComponentGroup Id="ProgramFiles">')
print("\n".join(f'      <ComponentRef Id="{r}"/>' for r in refs))
print("    </ComponentGroup>\n  </Fragment>\n</Wix>")
EOF
rm -f "$output"
(cd "$work" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D Below="$below" \
    -D Manufacturer="$publisher" -D Icon=cpuconfig.ico -o "$output" \
    "$root/packaging/windows/cpuconfig.wxs" files.wxs) >"$work/wixl.log" 2>&1
if [ ! -s "$output" ] || grep -q 'CRITICAL\|WARNING' "$work/wixl.log"; then
    fail "wixl: $(tr '\n' ' ' <"$work/wixl.log")"
    exit 1
fi

# --- What the package says --------------------------------------------------------------
table() { msiinfo export "$output" "$1" | tr -d '\r' | tail -n +4; }
property() { table Property | awk -F'\t' -v p="$1" '$1 == p { print $2 }'; }
summary=$(msiinfo suminfo "$output")
if grep -qx "Template: $template" <<<"$summary"; then
    pass "for $template platform"
else
    fail "not for $template: $(grep Template <<<"$summary")"
fi
got="$(property ProductVersion) $(property UpgradeCode) $(property ALLUSERS) $(property Manufacturer)"
if [ "$got" = "$version $upgrade_code 1 $publisher" ]; then
    pass "version $version, upgrade code $upgrade_code, per machine, publisher $publisher"
else
    fail "version, upgrade code, per machine, publisher: $got"
fi
# The older versions and this one's other builds are removed before the files go in; a
# newer one is never downgraded. "Apps" learns the folder once it is known.
upgrades=$(table Upgrade | awk -F'\t' '{ print $2 "-" $3 ":" $5 ":" $7 }' | sort | tr '\n' ' ')
sequence=$(table InstallExecuteSequence | sort -t$'\t' -k3n | awk -F'\t' '{ print $1 }' | tr '\n' ' ')
order=" CostFinalize( [A-Za-z]+)* SetInstallLocation( [A-Za-z]+)* InstallValidate"
order+=" RemoveExistingProducts InstallInitialize "
if [ "$upgrades" = "0.0.0-$below:256:OLDER_CPUCONFIG $version-:2:NEWER_CPUCONFIG " ] &&
    [[ "$sequence" =~ $order ]] &&
    table LaunchCondition | grep -q '^NOT NEWER_CPUCONFIG'; then
    pass "replaces versions below $below before installing; refuses to replace a newer one"
else
    fail "upgrade rules: $upgrades; sequence $sequence"
fi
# Below the right Program Files; every component of the build's bitness (256: 64-bit).
if table Directory | grep -qx "INSTALLDIR	$programfiles	cpuconfig"; then
    pass "installs into $programfiles\\cpuconfig"
else
    fail "install folder: $(table Directory | grep INSTALLDIR)"
fi
want=0
[ "$arch" = x64 ] && want=256
wrong=$(table Component | awk -F'\t' -v w="$want" 'int($4 / 256) % 2 * 256 != w { print $1 }' | tr '\n' ' ')
[ -z "$wrong" ] && pass "every component is $label" || fail "components of the other bitness: $wrong"
# Every file of the folder, by name and size, and nothing else.
files=$(cd "$work/files" && find . -type f -printf '%f %s\n' | sort)
listed=$(table File | awk -F'\t' '{ n = $3; sub(/.*\|/, "", n); print n, $4 }' | sort)
if [ "$files" = "$listed" ]; then
    pass "holds the folder's $(wc -l <<<"$files") files"
else
    fail "files differ from the folder: $(diff <(echo "$files") <(echo "$listed") | grep '^[<>]' | head -n 5 | tr '\n' ' ')"
fi
shortcuts=$(table Shortcut | awk -F'\t' '{ print $3 "=" $5 " " $6 }')
if grep -qx 'cpuconfig=\[INSTALLDIR\]cpuconfig.exe ' <<<"$shortcuts" &&
    grep -q '^cpuctl Command Prompt=\[System.*Folder\]cmd.exe /k ""\[INSTALLDIR\]cpuctl-prompt.cmd""$' <<<"$shortcuts"; then
    pass "Start menu: cpuconfig, cpuctl Command Prompt"
else
    fail "shortcuts: $(tr '\n' '|' <<<"$shortcuts")"
fi
[ "$failed" -eq 0 ] || exit 1
pass "$output ($(du -k "$output" | cut -f1) KiB)"
