#!/usr/bin/env bash
# Qt 6 (Core, Gui, Widgets, Test and the Windows platform plugin) for Windows, built with
# the MinGW-w64 -posix compilers, for the cross builds of cpuconfig.exe.
#
# Usage: tools/build-qt-windows.sh ARCH        (ARCH: i686 or x86_64)
#
# Prints the Qt prefix as its last line. Takes, in this order:
#   1. the prefix already made by an earlier run (its stamp matches): nothing to do;
#   2. the prebuilt archive qt6-base-<version>-ARCH-w64-mingw32.tar.xz from the shared folder
#      ($CPUCONFIG_SHARED/qt6-windows, default ../shared/qt6-windows beside the clone),
#      after checking it against SHA256SUMS there;
#   3. otherwise Debian's own qt6-base source package (the version of the build machine's
#      host Qt, whose tools the cross build uses), fetched with apt-get source and built with
#      the same recipe: about half an hour on two cores.
# Installs into $CPUCONFIG_QT_CACHE/qt6-windows-ARCH (default /var/cache/cpuconfig).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

arch=${1:-}
case "$arch" in
i686 | x86_64) ;;
*)
    echo "usage: $0 i686|x86_64" >&2
    exit 2
    ;;
esac
triple=$arch-w64-mingw32
shared=${CPUCONFIG_SHARED:-$root/../shared}
cache=${CPUCONFIG_QT_CACHE:-/var/cache/cpuconfig}
prefix=$cache/qt6-windows-$arch
stamp=$prefix/.cpuconfig-qt-stamp
jobs=${JOBS:-$(nproc)}
say() { echo "build-qt-windows: $*" >&2; }

# The host Qt: its moc, uic and rcc run during the cross build, so the versions must match.
hostVersion=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
[ -n "$hostVersion" ] || {
    say "the host Qt (qt6-base-dev) is not installed: tools/install-deps.sh gui"
    exit 1
}
qtVersion=${hostVersion%%+*}
archive=$shared/qt6-windows/qt6-base-$qtVersion-$triple.tar.xz

# The stamp's first line says what the prefix holds; the archive and the source build give
# the same thing, so either serves. A second run with the same answer does nothing.
want="qt6-base $hostVersion $triple recipe 1"
if [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$want" ] &&
    [ -f "$prefix/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/.qt6-windows-$arch.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ -f "$archive" ]; then
    # --- The prebuilt archive ---------------------------------------------------------
    sum=$(awk -v f="$(basename "$archive")" '$2 == f || $2 == "*" f { print $1 }' \
        "$shared/qt6-windows/SHA256SUMS" 2>/dev/null)
    [ -n "$sum" ] || {
        say "$(basename "$archive") is not listed in $shared/qt6-windows/SHA256SUMS"
        exit 1
    }
    actual=$(sha256sum "$archive" | cut -d' ' -f1)
    [ "$actual" = "$sum" ] || {
        say "$archive: SHA-256 $actual, SHA256SUMS says $sum: refusing it"
        exit 1
    }
    say "unpacking $(basename "$archive")"
    tar -C "$work" -xJf "$archive"
    [ -f "$work/qt6-windows-$arch/lib/cmake/Qt6/qt.toolchain.cmake" ] || {
        say "$archive holds no qt6-windows-$arch/ with Qt's CMake files"
        exit 1
    }
    rm -rf "$prefix"
    mv "$work/qt6-windows-$arch" "$prefix"
    how="from $(basename "$archive") (SHA-256 $sum)"
else
    # --- From Debian's source package -----------------------------------------------------
    say "no $archive: building Qt $qtVersion for $triple from Debian's qt6-base source"
    "$root/tools/install-deps.sh" windows qt-source
    if ! apt-get source --print-uris "qt6-base=$hostVersion" >/dev/null 2>&1; then
        # apt-get source needs a deb-src line for the release the host Qt came from.
        . /etc/os-release
        list=/etc/apt/sources.list.d/cpuconfig-deb-src.sources
        say "adding $list (deb-src for $VERSION_CODENAME)"
        sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$VERSION_CODENAME" "$VERSION_CODENAME" | $sudo tee "$list" >/dev/null
        $sudo apt-get update -qq
    fi
    (cd "$work" && apt-get source -qq "qt6-base=$hostVersion" >/dev/null)
    src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
    [ -n "$src" ] || {
        say "apt-get source qt6-base=$hostVersion gave no source tree"
        exit 1
    }

    # Debian's source leaves out wintab.h: compile tablet support out of the Windows plugin.
    win=$src/src/plugins/platforms/windows
    sed -i 's/QT_CONFIG(tabletevent)/0/g' "$win/qwindowscontext.cpp" \
        "$win/qwindowspointerhandler.cpp" "$win/qwindowspointerhandler.h"
    sed -i 's/CONDITION QT_FEATURE_tabletevent/CONDITION OFF/' "$win/CMakeLists.txt" \
        "$src/src/plugins/platforms/direct2d/CMakeLists.txt"
    # The Windows plugin of 6.4 does not build with OpenGL off unless dynamic GL needs it too.
    sed -i 's/#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
        "$win/qwindowswindow.cpp"
    [ "$(grep -c 'QT_CONFIG(dynamicgl) && QT_CONFIG(opengl)' "$win/qwindowswindow.cpp")" -eq 2 ] || {
        say "$win/qwindowswindow.cpp is not as expected; the recipe needs a look"
        exit 1
    }

    cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triple)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
    stage=$work/qt6-windows-$arch
    mkdir -p "$work/build"
    say "configuring (log: $work/build/configure.log)"
    cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DCMAKE_INSTALL_PREFIX="$stage" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
        -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF \
        -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
        >"$work/build/configure.log" 2>&1 || {
        tail -n 40 "$work/build/configure.log" >&2
        exit 1
    }
    say "building with $jobs jobs (about half an hour on two cores)"
    cmake --build "$work/build" --parallel "$jobs" >"$work/build/build.log" 2>&1 || {
        tail -n 40 "$work/build/build.log" >&2
        exit 1
    }
    cmake --install "$work/build" >/dev/null
    rm -rf "$prefix"
    mv "$stage" "$prefix"
    how="built from Debian's source package qt6-base $hostVersion"
fi

printf '%s\n%s\n' "$want" "$how" >"$stamp"
say "Qt for $triple in $prefix"
echo "$prefix"
