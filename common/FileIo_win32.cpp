// Win32 half of FileIo: the sequential read, the scratch file and the replacing write.
#include "common/FileIo.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <windows.h>

namespace cpuconfig {
namespace {

std::atomic<std::int64_t> g_writeLimit{-1};
std::atomic<int> g_writeError{ERROR_DISK_FULL};
std::atomic<int> g_flushError{0}; // 0 = flushes succeed

Error osError(ErrorCode code, const std::string& what, DWORD err) {
    return makeError(code, what + ": Windows error " + std::to_string(err), static_cast<int>(err));
}

HANDLE asHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

} // namespace

namespace {
// Size and last write time of an open file, or nothing when they cannot be read.
std::optional<std::pair<std::uint64_t, std::int64_t>> stampOf(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
        return std::nullopt;
    }
    const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    const std::int64_t written =
        static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                  info.ftLastWriteTime.dwLowDateTime);
    return std::pair(size, written);
}
} // namespace

Result<SequentialFile> SequentialFile::open(const std::filesystem::path& path) {
    if (auto regular = checkRegularFile(path); !regular) {
        return regular.error();
    }
    // Sequential scan: the cache reads ahead and lets the pages go soon after.
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return osError(ErrorCode::FileUnreadable, path.string() + ": cannot be opened",
                       GetLastError());
    }
    const auto stamp = stampOf(h);
    if (!stamp) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        return osError(ErrorCode::FileUnreadable, path.string() + ": size cannot be read", err);
    }
    return SequentialFile(reinterpret_cast<std::intptr_t>(h), stamp->first, stamp->second);
}

SequentialFile::SequentialFile(std::intptr_t handle, std::uint64_t size, std::int64_t modified)
    : m_handle(handle), m_size(size), m_modified(modified) {}

SequentialFile::SequentialFile(SequentialFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_size(other.m_size),
      m_modified(other.m_modified) {}

SequentialFile::~SequentialFile() {
    if (m_handle != -1) {
        CloseHandle(asHandle(m_handle));
    }
}

std::size_t SequentialFile::read(std::span<std::uint8_t> dst) {
    std::size_t done = 0;
    while (done < dst.size()) {
        const auto want = static_cast<DWORD>(std::min<std::size_t>(dst.size() - done, 1u << 24));
        DWORD got = 0;
        if (!ReadFile(asHandle(m_handle), dst.data() + done, want, &got, nullptr) || got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

bool SequentialFile::unchanged() const {
    const auto stamp = stampOf(asHandle(m_handle));
    return stamp && stamp->first == m_size && stamp->second == m_modified;
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    // The volume and the file's index name a file whatever path leads to it.
    auto identity = [](const std::filesystem::path& p) {
        std::optional<std::tuple<DWORD, DWORD, DWORD>> id;
        HANDLE h = CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return id;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(h, &info)) {
            id = std::tuple(info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
        }
        CloseHandle(h);
        return id;
    };
    const auto ia = identity(a);
    return ia && ia == identity(b);
}

Result<ScratchFile> ScratchFile::create() {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
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
            return ScratchFile(reinterpret_cast<std::intptr_t>(h));
        }
        err = GetLastError();
        if (err != ERROR_FILE_EXISTS) {
            break;
        }
    }
    return osError(ErrorCode::CreateFailed, "a scratch file in " + dir.string(), err);
}

ScratchFile::ScratchFile(ScratchFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_size(other.m_size) {}

ScratchFile::~ScratchFile() {
    if (m_handle != -1) {
        CloseHandle(asHandle(m_handle));
    }
}

namespace {
OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}
} // namespace

Result<void> ScratchFile::write(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const auto want = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 24));
        DWORD wrote = 0;
        OVERLAPPED where = at(m_size);
        if (!WriteFile(asHandle(m_handle), data.data() + done, want, &wrote, &where) ||
            wrote == 0) {
            const DWORD err = GetLastError();
            return osError(ErrorCode::WriteFailed, "scratch file", err ? err : ERROR_WRITE_FAULT);
        }
        done += wrote;
        m_size += wrote;
    }
    return {};
}

std::size_t ScratchFile::readAt(std::uint64_t offset, std::span<std::uint8_t> dst) const {
    std::size_t done = 0;
    while (done < dst.size()) {
        const auto want = static_cast<DWORD>(std::min<std::size_t>(dst.size() - done, 1u << 24));
        DWORD got = 0;
        OVERLAPPED where = at(offset + done);
        if (!ReadFile(asHandle(m_handle), dst.data() + done, want, &got, &where) || got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

ReplacingFile::ReplacingFile(std::string target, std::string temp, std::intptr_t handle)
    : m_target(std::move(target)), m_temp(std::move(temp)), m_handle(handle) {}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : m_target(std::move(other.m_target)), m_temp(std::move(other.m_temp)),
      m_handle(std::exchange(other.m_handle, -1)), m_written(other.m_written),
      m_sent(other.m_sent) {}

ReplacingFile::~ReplacingFile() {
    discard();
}

void ReplacingFile::discard() {
    if (m_handle != -1) {
        CloseHandle(asHandle(m_handle));
        DeleteFileA(m_temp.c_str());
        m_handle = -1;
    }
}

namespace {

namespace fs = std::filesystem;

// Removes the temporaries of base in dir that a killed writer left. A running writer keeps
// its temporary open without sharing, so Windows refuses to delete that one.
void removeAbandoned(const fs::path& dir, const std::string& base) {
    std::error_code ec;
    for (fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (isTemporaryOf(it->path().filename().string(), base))
            DeleteFileW(it->path().c_str());
    }
}

} // namespace

Result<ReplacingFile> ReplacingFile::create(const std::filesystem::path& path) {
    const fs::path real = followLinks(path);
    std::string target = real.string();
    if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // Read-only, locked or a directory: leave it alone, as a plain overwrite would.
        HANDLE probe = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            return osError(ErrorCode::CreateFailed, target, GetLastError());
        }
        const DWORD type = GetFileType(probe);
        CloseHandle(probe);
        if (type != FILE_TYPE_DISK) {
            return makeError(ErrorCode::CreateFailed,
                             target + ": is not a regular file (a device)");
        }
    }
    const fs::path dir = real.parent_path();
    const std::string base = real.filename().string();
    removeAbandoned(dir, base);
    std::random_device rd;
    DWORD err = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temp = (dir / temporaryName(base, static_cast<unsigned>(rd()))).string();
        // DELETE: it is renamed through this handle, never let go before it has its name.
        HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            return ReplacingFile(std::move(target), std::move(temp),
                                 reinterpret_cast<std::intptr_t>(h));
        }
        err = GetLastError();
        if (err != ERROR_FILE_EXISTS) {
            break;
        }
    }
    return osError(ErrorCode::CreateFailed, target, err);
}

Result<void> ReplacingFile::write(std::span<const std::uint8_t> data) {
    if (m_handle == -1) {
        return makeError(ErrorCode::WriteFailed, m_target + ": already closed");
    }
    const std::int64_t limit = g_writeLimit.load();
    std::size_t done = 0;
    while (done < data.size()) {
        std::size_t chunk = std::min<std::size_t>(data.size() - done, 1u << 24);
        if (limit >= 0) {
            if (m_written >= static_cast<std::uint64_t>(limit)) {
                const auto err = static_cast<DWORD>(g_writeError.load());
                discard();
                return osError(ErrorCode::WriteFailed, m_target, err);
            }
            chunk = std::min<std::uint64_t>(chunk, static_cast<std::uint64_t>(limit) - m_written);
        }
        DWORD written = 0;
        if (!WriteFile(asHandle(m_handle), data.data() + done, static_cast<DWORD>(chunk), &written,
                       nullptr) ||
            written == 0) {
            const DWORD err = written == 0 ? GetLastError() : ERROR_WRITE_FAULT;
            discard();
            return osError(ErrorCode::WriteFailed, m_target, err ? err : ERROR_WRITE_FAULT);
        }
        done += written;
        m_written += written;
    }
    return {};
}

namespace {
// Renames the open file h over target, so that it is never closed under its temporary name
// (where a writer clearing abandoned temporaries could remove it).
bool renameOpen(HANDLE h, const std::string& target) {
    const std::wstring name = fs::absolute(fs::path(target)).wstring();
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), info->FileName);
    return SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buffer.size()));
}
} // namespace

Result<void> ReplacingFile::commit() {
    if (m_handle == -1) {
        return makeError(ErrorCode::WriteFailed, m_target + ": already closed");
    }
    HANDLE h = asHandle(std::exchange(m_handle, -1));
    DWORD err = static_cast<DWORD>(g_flushError.load());
    if (err == 0 && !FlushFileBuffers(h)) {
        err = GetLastError();
    }
    if (err != 0) {
        CloseHandle(h);
        DeleteFileA(m_temp.c_str());
        return osError(ErrorCode::WriteFailed, m_target, err);
    }
    if (renameOpen(h, m_target)) {
        CloseHandle(h);
        return {};
    }
    // A file system that cannot rename an open file: by name, once it is closed.
    CloseHandle(h);
    if (!MoveFileExA(m_temp.c_str(), m_target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveErr = GetLastError();
        DeleteFileA(m_temp.c_str());
        return osError(ErrorCode::CreateFailed, m_target, moveErr);
    }
    return {};
}

namespace faults {
void setWriteLimit(std::optional<std::uint64_t> limit, int osError) {
    g_writeError = osError;
    g_writeLimit = limit ? static_cast<std::int64_t>(*limit) : -1;
}
void setFlushError(std::optional<int> osError) {
    g_flushError = osError.value_or(0);
}
} // namespace faults

Result<DurableLog> DurableLog::open(const std::filesystem::path& path) {
    std::string name = path.string();
    const std::uint64_t torn = bytesAfterLastLineEnd(path);
    HANDLE h = CreateFileA(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return osError(ErrorCode::CreateFailed, name, GetLastError());
    DurableLog log(std::move(name), reinterpret_cast<std::intptr_t>(h), torn);
    if (torn > 0) {
        if (auto r = log.writeAll("\n"); !r)
            return r.error();
    }
    return log;
}

DurableLog::DurableLog(DurableLog&& other) noexcept
    : m_path(std::move(other.m_path)), m_handle(std::exchange(other.m_handle, -1)),
      m_torn(other.m_torn) {}

DurableLog::~DurableLog() {
    if (m_handle != -1)
        CloseHandle(asHandle(m_handle));
}

Result<void> DurableLog::appendLine(const std::string& line) {
    return writeAll(line + "\n");
}

Result<void> DurableLog::writeAll(const std::string& bytes) {
    DWORD written = 0;
    if (!WriteFile(asHandle(m_handle), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) ||
        written != bytes.size())
        return osError(ErrorCode::WriteFailed, m_path, GetLastError());
    if (!FlushFileBuffers(asHandle(m_handle)))
        return osError(ErrorCode::WriteFailed, m_path, GetLastError());
    return {};
}

} // namespace cpuconfig
