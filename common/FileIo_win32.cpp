// The steps of FileIo on Windows: handles, a temporary held without sharing while it is
// written, FlushFileBuffers for durability, and a rename through the open handle.
#include "common/FileDevice.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <windows.h>

namespace cpuconfig {
namespace {

HANDLE asHandle(FileHandle h) {
    return reinterpret_cast<HANDLE>(h);
}

FileHandle fromHandle(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h);
}

// The most one ReadFile or WriteFile call is asked to move.
constexpr std::size_t kMaxTransfer = 1u << 24;

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

std::size_t readOnce(FileHandle file, std::uint8_t* into, std::size_t size, OVERLAPPED* where) {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min(size, kMaxTransfer));
    if (!ReadFile(asHandle(file), into, want, &got, where)) {
        return 0;
    }
    return got;
}

} // namespace

namespace sysfile {

int lastError() {
    return static_cast<int>(GetLastError());
}

Error osError(ErrorCode code, const std::string& what, int err) {
    return makeError(code, what + ": Windows error " + std::to_string(static_cast<DWORD>(err)),
                     err);
}

bool alreadyExists(int err) {
    return static_cast<DWORD>(err) == ERROR_FILE_EXISTS;
}

void close(FileHandle file) {
    CloseHandle(asHandle(file));
}

FileHandle openToRead(const std::filesystem::path& path, int& error) {
    // Sequential scan: the cache reads ahead and lets the pages go soon after.
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = lastError();
    }
    return fromHandle(h);
}

std::optional<Stamp> stampOf(FileHandle file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(asHandle(file), &info)) {
        return std::nullopt;
    }
    const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    const std::int64_t written =
        static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                  info.ftLastWriteTime.dwLowDateTime);
    return Stamp{size, written, true};
}

std::size_t readSome(FileHandle file, std::uint8_t* into, std::size_t size) {
    return readOnce(file, into, size, nullptr);
}

std::size_t readSomeAt(FileHandle file, std::uint64_t offset, std::uint8_t* into,
                       std::size_t size) {
    OVERLAPPED where = at(offset);
    return readOnce(file, into, size, &where);
}

std::optional<FileId> idOf(const std::filesystem::path& path) {
    // The volume and the file's index name a file whatever path leads to it.
    std::optional<FileId> id;
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return id;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(h, &info)) {
        id = FileId{info.dwVolumeSerialNumber,
                    (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    }
    CloseHandle(h);
    return id;
}

FileHandle createScratch(std::filesystem::path& dir, int& error) {
    std::error_code ec;
    dir = std::filesystem::temp_directory_path(ec);
    DWORD err = ERROR_PATH_NOT_FOUND;
    std::random_device rd;
    for (int attempt = 0; !ec && attempt < 16; ++attempt) {
        char name[40];
        std::snprintf(name, sizeof name, "cpuconfig-%08x.tmp", static_cast<unsigned>(rd()));
        // Nobody else may open it, and it goes with its last handle, however the process ends.
        HANDLE h =
            CreateFileW((dir / name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            return fromHandle(h);
        }
        err = GetLastError();
        if (err != ERROR_FILE_EXISTS) {
            break;
        }
    }
    error = static_cast<int>(err);
    return kNoFile;
}

IoCount writeSomeAt(FileHandle file, std::uint64_t offset, const std::uint8_t* data,
                    std::size_t size) {
    DWORD wrote = 0;
    OVERLAPPED where = at(offset);
    if (!WriteFile(asHandle(file), data, static_cast<DWORD>(std::min(size, kMaxTransfer)), &wrote,
                   &where) ||
        wrote == 0) {
        const DWORD err = GetLastError();
        return {0, static_cast<int>(err ? err : ERROR_WRITE_FAULT)};
    }
    return {wrote, 0};
}

Result<ReplacedFile> checkReplaceable(const std::string& target) {
    if (GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return ReplacedFile{};
    }
    // Read-only, locked or a directory: leave it alone, as a plain overwrite would.
    HANDLE probe = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return osError(ErrorCode::CreateFailed, target, lastError());
    }
    const DWORD type = GetFileType(probe);
    CloseHandle(probe);
    if (type != FILE_TYPE_DISK) {
        return makeError(ErrorCode::CreateFailed, target + ": is not a regular file (a device)");
    }
    return ReplacedFile{.existed = true};
}

// A running writer keeps its temporary open without sharing, so Windows refuses to delete
// that one.
void removeIfAbandoned(const std::filesystem::path& path) {
    DeleteFileW(path.c_str());
}

bool exists(const std::string& name) {
    return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

FileHandle openToAppend(const std::string& name, int& error) {
    HANDLE h = CreateFileA(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = lastError();
    }
    return fromHandle(h);
}

int append(FileHandle file, const std::uint8_t* data, std::size_t size) {
    DWORD written = 0;
    if (!WriteFile(asHandle(file), data, static_cast<DWORD>(size), &written, nullptr) ||
        written != size)
        return lastError();
    return 0;
}

int flush(FileHandle file) {
    return FlushFileBuffers(asHandle(file)) ? 0 : lastError();
}

void syncFolder(const std::filesystem::path&) {
    // A folder cannot be flushed on Windows; the file system keeps its own names.
}

} // namespace sysfile

namespace {

// Renames the open file h over target, so that it is never closed under its temporary name
// (where a writer clearing abandoned temporaries could remove it).
bool renameOpen(HANDLE h, const std::string& target) {
    namespace fs = std::filesystem;
    const std::wstring name = fs::absolute(fs::path(target)).wstring();
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), info->FileName);
    return SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buffer.size()));
}

class Win32FileDevice final : public FileDevice {
public:
    FileHandle createTemporary(const std::string& name, const ReplacedFile&, int& error) override {
        // DELETE: it is renamed through this handle, never let go before it has its name.
        HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            error = sysfile::lastError();
        }
        return fromHandle(h);
    }

    IoCount writeSome(FileHandle file, const std::uint8_t* data, std::size_t size) override {
        DWORD written = 0;
        if (!WriteFile(asHandle(file), data, static_cast<DWORD>(std::min(size, kMaxTransfer)),
                       &written, nullptr) ||
            written == 0) {
            const DWORD err = written == 0 ? GetLastError() : ERROR_WRITE_FAULT;
            return {0, static_cast<int>(err ? err : ERROR_WRITE_FAULT)};
        }
        return {written, 0};
    }

    // Windows writes back on its own; FlushFileBuffers at the end waits for all of it.
    int startWriteBack(FileHandle, std::uint64_t, std::uint64_t) override { return 0; }
    int awaitWriteBack(FileHandle, std::uint64_t, std::uint64_t) override { return 0; }

    int flush(FileHandle file) override { return sysfile::flush(file); }

    int replace(FileHandle file, const std::string& temporary, const std::string& target) override {
        const HANDLE h = asHandle(file);
        if (renameOpen(h, target)) {
            CloseHandle(h);
            return 0;
        }
        // A file system that cannot rename an open file: by name, once it is closed.
        CloseHandle(h);
        if (!MoveFileExA(temporary.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const DWORD moveErr = GetLastError();
            DeleteFileA(temporary.c_str());
            return static_cast<int>(moveErr);
        }
        return 0;
    }

    void drop(FileHandle file, const std::string& temporary) override {
        CloseHandle(asHandle(file));
        DeleteFileA(temporary.c_str());
    }
};

} // namespace

FileDevice& systemFileDevice() {
    static Win32FileDevice device;
    return device;
}

} // namespace cpuconfig
