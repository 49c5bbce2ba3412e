// Win32 half of FileIo: the sequential read and the replacing write.
#include "common/FileIo.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <string>

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

Result<SequentialFile> SequentialFile::open(const std::filesystem::path& path) {
    if (!isRegularFile(path)) {
        return makeError(ErrorCode::FileMissing, path.string() + ": no such file");
    }
    // Sequential scan: the cache reads ahead and lets the pages go soon after.
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return osError(ErrorCode::FileUnreadable, path.string() + ": cannot be opened",
                       GetLastError());
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size) || size.QuadPart < 0) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        return osError(ErrorCode::FileUnreadable, path.string() + ": size cannot be read", err);
    }
    return SequentialFile(reinterpret_cast<std::intptr_t>(h),
                          static_cast<std::uint64_t>(size.QuadPart));
}

SequentialFile::SequentialFile(std::intptr_t handle, std::uint64_t size)
    : m_handle(handle), m_size(size) {}

SequentialFile::SequentialFile(SequentialFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_size(other.m_size) {}

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

Result<ReplacingFile> ReplacingFile::create(const std::filesystem::path& path) {
    std::string target = path.string();
    if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // Read-only, locked or a directory: leave it alone, as a plain overwrite would.
        HANDLE probe = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            return osError(ErrorCode::CreateFailed, target, GetLastError());
        }
        CloseHandle(probe);
    }
    const std::filesystem::path dir = path.parent_path();
    const std::string base = path.filename().string();
    std::random_device rd;
    DWORD err = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
        std::string temp = (dir / ("." + base + "." + suffix + ".tmp")).string();
        HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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

Result<void> ReplacingFile::commit() {
    if (m_handle == -1) {
        return makeError(ErrorCode::WriteFailed, m_target + ": already closed");
    }
    HANDLE h = asHandle(std::exchange(m_handle, -1));
    DWORD err = static_cast<DWORD>(g_flushError.load());
    if (err == 0 && !FlushFileBuffers(h)) {
        err = GetLastError();
    }
    CloseHandle(h);
    if (err != 0) {
        DeleteFileA(m_temp.c_str());
        return osError(ErrorCode::WriteFailed, m_target, err);
    }
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
