// POSIX half of FileIo: the sequential read and the replacing write.
#include "common/FileIo.h"

#include <algorithm>
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
std::atomic<int> g_flushError{0}; // 0 = flushes succeed

// A written file goes to the disk in ranges of this size while it is being written.
constexpr std::uint64_t kSendRange = 8u << 20;

Error osError(ErrorCode code, const std::string& what, int err) {
    return makeError(code, what + ": " + std::strerror(err), err);
}

// 0, or the errno of a flush that failed.
int flushAll(int fd) {
    if (const int injected = g_flushError.load()) {
        return injected;
    }
    return ::fsync(fd) != 0 ? errno : 0;
}

} // namespace

Result<SequentialFile> SequentialFile::open(const std::filesystem::path& path) {
    if (!isRegularFile(path)) {
        return makeError(ErrorCode::FileMissing, path.string() + ": no such file");
    }
    // O_NONBLOCK: should a FIFO take the file's place after the check, opening it must not
    // wait for a writer. Reads of a regular file ignore the flag.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return osError(ErrorCode::FileUnreadable, path.string() + ": cannot be opened", errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return makeError(ErrorCode::FileMissing, path.string() + ": no such file");
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); // a hint: its failure changes nothing
    return SequentialFile(fd, static_cast<std::uint64_t>(st.st_size));
}

SequentialFile::SequentialFile(std::intptr_t handle, std::uint64_t size)
    : m_handle(handle), m_size(size) {}

SequentialFile::SequentialFile(SequentialFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_size(other.m_size) {}

SequentialFile::~SequentialFile() {
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
    }
}

std::size_t SequentialFile::read(std::span<std::uint8_t> dst) {
    std::size_t done = 0;
    while (done < dst.size()) {
        const ssize_t n = ::read(static_cast<int>(m_handle), dst.data() + done, dst.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
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
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
        ::unlink(m_temp.c_str());
        m_handle = -1;
    }
}

Result<ReplacingFile> ReplacingFile::create(const std::filesystem::path& path) {
    std::string target = path.string();
    // An existing target that may not be written (read-only, or a directory of that name)
    // is left alone, as a plain overwrite would have to.
    if (::access(target.c_str(), F_OK) == 0) {
        const int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (probe < 0) {
            return osError(ErrorCode::CreateFailed, target, errno);
        }
        ::close(probe);
    }
    const std::filesystem::path dir = path.parent_path();
    const std::string base = path.filename().string();
    std::random_device rd;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
        std::string temp = (dir / ("." + base + "." + suffix + ".tmp")).string();
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return ReplacingFile(std::move(target), std::move(temp), fd);
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return osError(ErrorCode::CreateFailed, target, errno);
}

Result<void> ReplacingFile::write(std::span<const std::uint8_t> data) {
    if (m_handle < 0) {
        return makeError(ErrorCode::WriteFailed, m_target + ": already closed");
    }
    const int fd = static_cast<int>(m_handle);
    const std::int64_t limit = g_writeLimit.load();
    std::size_t done = 0;
    while (done < data.size()) {
        std::size_t chunk = data.size() - done;
        if (limit >= 0) {
            if (m_written >= static_cast<std::uint64_t>(limit)) {
                const int err = g_writeError.load();
                discard();
                return osError(ErrorCode::WriteFailed, m_target, err);
            }
            chunk = std::min<std::uint64_t>(chunk, static_cast<std::uint64_t>(limit) - m_written);
        }
        const ssize_t n = ::write(fd, data.data() + done, chunk);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            const int err = n < 0 ? errno : EIO;
            discard();
            return osError(ErrorCode::WriteFailed, m_target, err);
        }
        done += static_cast<std::size_t>(n);
        m_written += static_cast<std::uint64_t>(n);
    }
    return sendAhead();
}

Result<void> ReplacingFile::sendAhead() {
#ifdef __linux__
    const int fd = static_cast<int>(m_handle);
    while (m_written - m_sent >= kSendRange) {
        // Start the disk on the range just filled, then wait until the one before it is
        // written: the disk always has a range to work on while the next one fills, and
        // commit() is left with at most two ranges to wait for.
        int err = ::sync_file_range(fd, static_cast<off_t>(m_sent), kSendRange,
                                    SYNC_FILE_RANGE_WRITE) != 0
                      ? errno
                      : 0;
        if (err == 0 && m_sent >= kSendRange) {
            const auto previous = static_cast<off_t>(m_sent - kSendRange);
            err = g_flushError.load();
            if (err == 0 && ::sync_file_range(fd, previous, kSendRange,
                                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                                  SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
                err = errno;
            }
            // The written range is of no more use in the cache. Its pages are taken again
            // for the next ranges, so a large file neither pushes other files out of the
            // cache nor makes the system find fresh memory for every page it writes.
            if (err == 0) {
                ::posix_fadvise(fd, previous, kSendRange, POSIX_FADV_DONTNEED);
            }
        }
        if (err != 0) {
            // An error reported here may not be reported again by the final flush.
            discard();
            return osError(ErrorCode::WriteFailed, m_target, err);
        }
        m_sent += kSendRange;
    }
#endif
    return {};
}

Result<void> ReplacingFile::commit() {
    if (m_handle < 0) {
        return makeError(ErrorCode::WriteFailed, m_target + ": already closed");
    }
    const int fd = static_cast<int>(std::exchange(m_handle, -1));
    int err = flushAll(fd);
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(m_temp.c_str());
        return osError(ErrorCode::WriteFailed, m_target, err);
    }
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        err = errno;
        ::unlink(m_temp.c_str());
        return osError(ErrorCode::CreateFailed, m_target, err);
    }
    // Make the rename itself durable; a failure here does not undo a complete file.
    const std::filesystem::path dir = std::filesystem::path(m_target).parent_path();
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
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
    const bool existed = ::access(name.c_str(), F_OK) == 0;
    const std::uint64_t torn = bytesAfterLastLineEnd(path);
    const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return osError(ErrorCode::CreateFailed, name, errno);
    if (!existed) {
        // The new file's name must survive a power cut as well as its lines.
        const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
        const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
    }
    DurableLog log(std::move(name), fd, torn);
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
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

Result<void> DurableLog::appendLine(const std::string& line) {
    return writeAll(line + "\n");
}

Result<void> DurableLog::writeAll(const std::string& bytes) {
    const int fd = static_cast<int>(m_handle);
    // One write for the whole line: O_APPEND puts it at the end in one piece.
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return osError(ErrorCode::WriteFailed, m_path, n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        return osError(ErrorCode::WriteFailed, m_path, errno);
    return {};
}

} // namespace cpuconfig
