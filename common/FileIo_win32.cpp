// Win32 half of FileIo: the replacing write.
#include "common/FileIo.h"

#include <atomic>
#include <random>
#include <string>

#include <windows.h>

namespace cpuconfig {
namespace {

std::atomic<std::int64_t> g_writeLimit{-1};
std::atomic<int> g_writeError{ERROR_DISK_FULL};

std::string osText(DWORD err) { return "Windows error " + std::to_string(err); }

} // namespace

Result<void> writeFileReplacing(const std::filesystem::path& path,
                                std::span<const std::uint8_t> data) {
    const std::string target = path.string();
    if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // Read-only, locked or a directory: leave it alone, as a plain overwrite would.
        HANDLE probe = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            const DWORD err = GetLastError();
            return makeError(ErrorCode::CreateFailed, target + ": " + osText(err),
                             static_cast<int>(err));
        }
        CloseHandle(probe);
    }

    const std::filesystem::path dir = path.parent_path();
    const std::string base = path.filename().string();
    std::random_device rd;
    std::string temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD err = 0;
    for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
        temp = (dir / ("." + base + "." + suffix + ".tmp")).string();
        h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        err = GetLastError();
        if (h == INVALID_HANDLE_VALUE && err != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (h == INVALID_HANDLE_VALUE) {
        return makeError(ErrorCode::CreateFailed, target + ": " + osText(err),
                         static_cast<int>(err));
    }

    err = 0;
    const std::int64_t limit = g_writeLimit.load();
    std::size_t done = 0;
    while (done < data.size() && err == 0) {
        std::size_t chunk = std::min<std::size_t>(data.size() - done, 1u << 24);
        if (limit >= 0) {
            if (done >= static_cast<std::uint64_t>(limit)) {
                err = static_cast<DWORD>(g_writeError.load());
                break;
            }
            chunk = std::min<std::size_t>(chunk, static_cast<std::size_t>(limit) - done);
        }
        DWORD written = 0;
        if (!WriteFile(h, data.data() + done, static_cast<DWORD>(chunk), &written, nullptr)) {
            err = GetLastError();
        } else if (written == 0) {
            err = ERROR_WRITE_FAULT;
        }
        done += written;
    }
    if (err == 0 && !FlushFileBuffers(h)) {
        err = GetLastError();
    }
    CloseHandle(h);
    if (err != 0) {
        DeleteFileA(temp.c_str());
        return makeError(ErrorCode::WriteFailed, target + ": " + osText(err),
                         static_cast<int>(err));
    }
    if (!MoveFileExA(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        err = GetLastError();
        DeleteFileA(temp.c_str());
        return makeError(ErrorCode::CreateFailed, target + ": " + osText(err),
                         static_cast<int>(err));
    }
    return {};
}

namespace testing {
void setWriteLimit(std::optional<std::uint64_t> limit, int osError) {
    g_writeError = osError;
    g_writeLimit = limit ? static_cast<std::int64_t>(*limit) : -1;
}
} // namespace testing

} // namespace cpuconfig
