#include "common/ProgramFolder.h"

#include <cstdlib>
#include <system_error>

// The shell's headers need windows.h before them.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

namespace cpuconfig {

namespace {

std::filesystem::path knownFolder(const KNOWNFOLDERID& id) {
    PWSTR path = nullptr;
    std::filesystem::path folder;
    if (SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path) == S_OK && path)
        folder = path;
    CoTaskMemFree(path);
    return folder;
}

std::filesystem::path envFolder(const wchar_t* name) {
    const wchar_t* value = _wgetenv(name);
    const std::filesystem::path folder = value ? value : L"";
    return folder.is_absolute() ? folder : std::filesystem::path();
}

// The full, long form: a program started as C:\PROGRA~1\... is still in Program Files.
std::filesystem::path longPath(const std::filesystem::path& path) {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    const std::wstring text = ec ? path.wstring() : full.wstring();
    const DWORD size = GetLongPathNameW(text.c_str(), nullptr, 0);
    if (size == 0)
        return text;
    std::wstring out(size, L'\0');
    const DWORD length = GetLongPathNameW(text.c_str(), out.data(), size);
    if (length == 0 || length >= size)
        return text;
    out.resize(length);
    return out;
}

// Whether this user can make a file in folder. The folder's access rights alone do not
// say so (inherited rights, a read-only medium, a share), so a file is made and removed.
bool writable(const std::filesystem::path& folder) {
    const std::filesystem::path probe =
        folder / (L".cpuconfig-write-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(GetTickCount64()));
    const HANDLE file = CreateFileW(
        probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

} // namespace

// The zip is unpacked anywhere and keeps its package beside cpuconfig.exe. The installer
// puts the program below Program Files, which users cannot write (and where a 32-bit
// program's writes may be quietly sent elsewhere): the package then lives in the user's
// own folder.
ProgramFolder programFolder(const std::filesystem::path& executableDir) {
    ProgramFolderFacts facts;
    facts.windows = true;
    facts.executableDir = longPath(executableDir);
    facts.executableDirWritable = writable(facts.executableDir);
    // A 32-bit program sees Program Files (x86) as its Program Files; the 64-bit one is
    // named by ProgramW6432.
    for (const auto& dir :
         {knownFolder(FOLDERID_ProgramFiles), knownFolder(FOLDERID_ProgramFilesX86),
          envFolder(L"ProgramW6432"), envFolder(L"ProgramFiles")})
        if (!dir.empty())
            facts.installDirs.push_back(longPath(dir));
    facts.localAppData = knownFolder(FOLDERID_LocalAppData);
    if (facts.localAppData.empty())
        facts.localAppData = envFolder(L"LOCALAPPDATA");
    return settleProgramFolder(facts);
}

} // namespace cpuconfig
