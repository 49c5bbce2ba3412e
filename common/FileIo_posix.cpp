// POSIX half of FileIo: the replacing write.
#include "common/FileIo.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cpuconfig {
namespace {

std::atomic<std::int64_t> g_writeLimit{-1}; // bytes per file before failing; -1 = none
std::atomic<int> g_writeError{ENOSPC};

std::string osText(int err) { return std::strerror(err); }

// Full write, retried on EINTR and short writes. Returns 0 or the errno of the failure.
int writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    const std::int64_t limit = g_writeLimit.load();
    std::size_t done = 0;
    while (done < size) {
        std::size_t chunk = size - done;
        if (limit >= 0) {
            if (done >= static_cast<std::uint64_t>(limit)) {
                return g_writeError.load();
            }
            chunk = std::min<std::size_t>(chunk, static_cast<std::size_t>(limit) - done);
        }
        const ssize_t n = ::write(fd, data + done, chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

Result<void> writeFileReplacing(const std::filesystem::path& path,
                                std::span<const std::uint8_t> data) {
    const std::string target = path.string();
    // An existing package that may not be written (read-only, or a directory of that name)
    // is left alone, as a plain overwrite would have to.
    if (::access(target.c_str(), F_OK) == 0) {
        const int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (probe < 0) {
            return makeError(ErrorCode::CreateFailed, target + ": " + osText(errno), errno);
        }
        ::close(probe);
    }

    std::filesystem::path dir = path.parent_path();
    const std::string base = path.filename().string();
    std::random_device rd;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
        temp = (dir / ("." + base + "." + suffix + ".tmp")).string();
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        const int err = errno;
        return makeError(ErrorCode::CreateFailed, target + ": " + osText(err), err);
    }

    int err = writeAll(fd, data.data(), data.size());
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        return makeError(ErrorCode::WriteFailed, target + ": " + osText(err), err);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
        ::unlink(temp.c_str());
        return makeError(ErrorCode::CreateFailed, target + ": " + osText(err), err);
    }
    // Make the rename itself durable; a failure here does not undo a complete package.
    const int dfd = ::open(dir.empty() ? "." : dir.string().c_str(), O_RDONLY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
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
