# What a Windows build (MinGW-w64) needs beyond the sources: the runtime DLLs that programs
# on Qt need beside them, how the tests start under Wine when cross-built, and which
# programs get the runtime linked in.

# The MinGW runtime DLLs Qt's DLLs import, as the compiler ships them: the C++ library,
# libgcc (SEH on 64-bit, DWARF-2 unwinding on 32-bit) and winpthreads.
set(CPUCONFIG_MINGW_RUNTIME_DLLS "")
if(NOT MSVC)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(libgcc libgcc_s_seh-1.dll)
    else()
        set(libgcc libgcc_s_dw2-1.dll)
    endif()
    foreach(dll libstdc++-6.dll ${libgcc} libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
            # winpthreads lies with the target's libraries, not the compiler's.
            find_file(found_${dll} ${dll} PATH_SUFFIXES lib bin NO_CACHE)
            set(found "${found_${dll}}")
        endif()
        if(NOT found OR NOT EXISTS "${found}")
            message(FATAL_ERROR "The MinGW runtime ${dll} is not where the compiler looks")
        endif()
        get_filename_component(found "${found}" REALPATH)
        list(APPEND CPUCONFIG_MINGW_RUNTIME_DLLS "${found}")
    endforeach()
endif()

# Where Qt's DLLs are (bin/) and its plugins (plugins/), when the build has Qt.
set(CPUCONFIG_QT_PREFIX "")
if(TARGET Qt6::Core)
    get_target_property(qtcore Qt6::Core IMPORTED_LOCATION_RELEASE)
    if(NOT qtcore)
        get_target_property(qtcore Qt6::Core IMPORTED_LOCATION)
    endif()
    get_filename_component(CPUCONFIG_QT_PREFIX "${qtcore}/../.." REALPATH)
endif()

# Qt's Chinese texts, which the program looks for in translations/ beside itself: the build
# machine's catalogues (qt6-translations-l10n), beside the build's programs and in the zips.
set(CPUCONFIG_QT_TRANSLATIONS "")
if(CPUCONFIG_QT_PREFIX)
    foreach(variant zh_CN zh_TW)
        find_file(qm_${variant} qtbase_${variant}.qm NO_CACHE NO_CMAKE_FIND_ROOT_PATH
                  PATHS ${QT_HOST_PATH}/share/qt6/translations /usr/share/qt6/translations)
        if(qm_${variant})
            list(APPEND CPUCONFIG_QT_TRANSLATIONS ${qm_${variant}})
        endif()
    endforeach()
    if(NOT CPUCONFIG_QT_TRANSLATIONS)
        message(WARNING "No qtbase_zh_CN.qm (qt6-translations-l10n): Qt's texts stay English")
    endif()
    file(COPY ${CPUCONFIG_QT_TRANSLATIONS} DESTINATION ${CMAKE_BINARY_DIR}/translations)
endif()

# The build machine's rcc compresses with zstd where it can, which a Qt built without zstd
# (as the cross Qt is) cannot read back: zlib for every resource instead.
if(CMAKE_CROSSCOMPILING AND TARGET Qt6::Core)
    set(CMAKE_AUTORCC_OPTIONS --no-zstd)
endif()

# Under Wine, a program finds DLLs in its own folder and on WINEPATH: the tests get Qt's and
# the runtime's folders there through a small starter in the build tree.
if(CMAKE_CROSSCOMPILING AND CPUCONFIG_WINE)
    set(dirs "")
    if(CPUCONFIG_QT_PREFIX)
        list(APPEND dirs "Z:${CPUCONFIG_QT_PREFIX}/bin")
    endif()
    foreach(dll IN LISTS CPUCONFIG_MINGW_RUNTIME_DLLS)
        get_filename_component(dir "${dll}" DIRECTORY)
        list(APPEND dirs "Z:${dir}")
    endforeach()
    list(REMOVE_DUPLICATES dirs)
    string(REPLACE "/" "\\\\" winepath "${dirs}")
    set(CPUCONFIG_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
    file(CONFIGURE OUTPUT ${CPUCONFIG_WINE_RUN} CONTENT [[#!/bin/sh
# Starts a Windows program of this build under Wine, with Qt's and the runtime's DLLs found.
# Wine keeps QT_* of the Linux environment from Windows programs: a Qt platform asked for
# there (the window tests run offscreen) is passed on the command line instead.
export WINEPATH="@winepath@${WINEPATH:+;$WINEPATH}"
export WINEDEBUG="${WINEDEBUG--all}"
if [ -n "${QT_QPA_PLATFORM:-}" ]; then
    set -- "$@" -platform "$QT_QPA_PLATFORM"
fi
exec "@CPUCONFIG_WINE@" "$@"
]] @ONLY)
    # ctest waits for the end of a test's output, not for the test itself: a Windows program
    # that is the first of the session to need a service or the desktop (which Wine closes a
    # few seconds after its last user left) starts it, and that background process keeps the
    # program's output open for as long as the session lasts. The tests' starter therefore
    # passes their output on until the test has ended, and no further.
    set(CPUCONFIG_WINE_TEST ${CMAKE_BINARY_DIR}/wine-test)
    file(CONFIGURE OUTPUT ${CPUCONFIG_WINE_TEST} CONTENT [[#!/bin/sh
# Runs a test of this build under Wine (through wine-run) and passes on its stdout and its
# stderr up to the test's end: whatever Wine started in the background may keep them open.
# Each goes through a pipe (Qt Test writes nothing into a plain file under Wine) that this
# script holds open too, so that its copy ends at a mark written once the test has ended
# instead of waiting for the pipe to close.
dir=$(mktemp -d) || exit 125
trap 'rm -rf "$dir"' EXIT
mark="-- end of the test output $$ --"
# copy NAME: passes the pipe NAME on, up to the mark (sed -u takes a line at a time).
copy() {
    sed -u -n "/$mark/{s/$mark.*//;/./p;q};p" <"$dir/$1"
}
mkfifo "$dir/out" "$dir/err" || exit 125
exec 3<>"$dir/out" 4<>"$dir/err"
copy out &
out=$!
copy err >&2 &
err=$!
"@CPUCONFIG_WINE_RUN@" "$@" >"$dir/out" 2>"$dir/err" &
pid=$!
trap 'kill "$pid" 2>/dev/null' TERM INT HUP
while :; do
    wait "$pid"
    rc=$?
    kill -0 "$pid" 2>/dev/null || break # wait also returns when a trapped signal arrives
done
printf '%s\n' "$mark" >&3
printf '%s\n' "$mark" >&4
wait "$out" "$err"
exit "$rc"
]] @ONLY)
    foreach(script ${CPUCONFIG_WINE_RUN} ${CPUCONFIG_WINE_TEST})
        file(CHMOD ${script} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
             GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endforeach()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CPUCONFIG_WINE_TEST})
endif()

# cpuconfig_windows_runtime(): run once every target exists. Programs without Qt ship alone,
# with the runtime linked in (cpuctl.exe, the engine tests); programs on Qt use the runtime
# DLLs that Qt's own DLLs use, so that one runtime serves the whole process. Writes
# windows-runtime.txt, what tools/package-windows.sh gathers beside the program.
function(cpuconfig_windows_runtime)
    if(MSVC)
        return()
    endif()
    set(pending ${PROJECT_SOURCE_DIR})
    while(pending)
        list(POP_FRONT pending dir)
        get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
        list(APPEND pending ${subdirs})
        get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
        foreach(t IN LISTS targets)
            get_target_property(type ${t} TYPE)
            if(NOT type STREQUAL "EXECUTABLE")
                continue()
            endif()
            get_target_property(libs ${t} LINK_LIBRARIES)
            if(NOT "cpuconfig_gui" IN_LIST libs)
                target_link_options(${t} PRIVATE -static -static-libgcc -static-libstdc++)
            endif()
        endforeach()
    endwhile()

    set(lines "")
    foreach(dll IN LISTS CPUCONFIG_MINGW_RUNTIME_DLLS)
        string(APPEND lines "runtime ${dll}\n")
    endforeach()
    if(TARGET Qt6::Core)
        foreach(module Core Gui Widgets)
            string(APPEND lines "qt $<TARGET_FILE:Qt6::${module}>\n")
        endforeach()
        string(APPEND lines "plugins ${CPUCONFIG_QT_PREFIX}/plugins\n")
        foreach(qm IN LISTS CPUCONFIG_QT_TRANSLATIONS)
            string(APPEND lines "translation ${qm}\n")
        endforeach()
        string(APPEND lines "program $<TARGET_FILE:cpuconfig>\n")
    endif()
    string(APPEND lines "program $<TARGET_FILE:cpuctl>\n")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-runtime.txt CONTENT "${lines}")
endfunction()
