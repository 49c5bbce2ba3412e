// POSIX half of FileIo: the sequential read, the scratch file and the replacing write.
#include "common/FileIo.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/file.h>
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

namespace {
std::int64_t modifiedOf(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}
} // namespace

Result<SequentialFile> SequentialFile::open(const std::filesystem::path& path) {
    if (auto regular = checkRegularFile(path); !regular) {
        return regular.error();
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
        return makeError(ErrorCode::FileUnreadable, path.string() + ": is not a regular file");
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); // a hint: its failure changes nothing
    return SequentialFile(fd, static_cast<std::uint64_t>(st.st_size), modifiedOf(st));
}

SequentialFile::SequentialFile(std::intptr_t handle, std::uint64_t size, std::int64_t modified)
    : m_handle(handle), m_size(size), m_modified(modified) {}

SequentialFile::SequentialFile(SequentialFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_size(other.m_size),
      m_modified(other.m_modified) {}

SequentialFile::~SequentialFile() {
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
    }
}

namespace {
// Fills dst with reads (read or pread) of readSome(into, want, filled so far); short only at
// the end of the file or at a read error.
template <class ReadSome> std::size_t fill(std::span<std::uint8_t> dst, ReadSome readSome) {
    std::size_t done = 0;
    while (done < dst.size()) {
        const ssize_t n = readSome(dst.data() + done, dst.size() - done, done);
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
} // namespace

std::size_t SequentialFile::read(std::span<std::uint8_t> dst) {
    const int fd = static_cast<int>(m_handle);
    return fill(dst, [fd](std::uint8_t* into, std::size_t want, std::size_t) {
        return ::read(fd, into, want);
    });
}

bool SequentialFile::unchanged() const {
    struct stat st {};
    return ::fstat(static_cast<int>(m_handle), &st) == 0 &&
           static_cast<std::uint64_t>(st.st_size) == m_size && modifiedOf(st) == m_modified;
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

Result<ScratchFile> ScratchFile::create() {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec) {
        dir = "/tmp";
    }
#ifdef O_TMPFILE
    // Nameless from the start: nothing of it is left however the process ends.
    if (const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); fd >= 0) {
        return ScratchFile(fd);
    }
#endif
    std::string name = (dir / "cpuconfig-XXXXXX").string();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return osError(ErrorCode::CreateFailed, "a scratch file in " + dir.string(), errno);
    }
    ::unlink(name.c_str());
    return ScratchFile(fd);
}

ScratchFile::ScratchFile(ScratchFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_size(other.m_size) {}

ScratchFile::~ScratchFile() {
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
    }
}

Result<void> ScratchFile::write(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(static_cast<int>(m_handle), data.data() + done,
                                   data.size() - done, static_cast<off_t>(m_size));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return osError(ErrorCode::WriteFailed, "scratch file", n < 0 ? errno : EIO);
        }
        done += static_cast<std::size_t>(n);
        m_size += static_cast<std::uint64_t>(n);
    }
    return {};
}

std::size_t ScratchFile::readAt(std::uint64_t offset, std::span<std::uint8_t> dst) const {
    const int fd = static_cast<int>(m_handle);
    return fill(dst, [fd, offset](std::uint8_t* into, std::size_t want, std::size_t filled) {
        return ::pread(fd, into, want, static_cast<off_t>(offset + filled));
    });
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
        // Removed while still held: a writer looking for abandoned temporaries never sees
        // it free.
        ::unlink(m_temp.c_str());
        ::close(static_cast<int>(m_handle));
        m_handle = -1;
    }
}

namespace {

namespace fs = std::filesystem;

// Whether fd still is the file called name (nobody removed or replaced it).
bool stillNamed(int fd, const std::string& name) {
    struct stat held {
    }, named{};
    return ::fstat(fd, &held) == 0 && ::lstat(name.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Removes the temporaries of base in dir that no writer holds: a writer that was killed
// left them. A running writer holds its lock until its temporary is renamed or removed.
void removeAbandoned(const fs::path& dir, const std::string& base) {
    std::error_code ec;
    for (fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const fs::path path = it->path();
        if (!isTemporaryOf(path.filename().string(), base))
            continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            stillNamed(fd, path.string()))
            ::unlink(path.c_str());
        ::close(fd);
    }
}

// Takes the lock that marks a temporary as in use. False when another writer's clean-up
// got to it first (it holds the lock or has removed the name): the name is then given up.
bool holdTemporary(int fd, const std::string& name) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return false;
    // Where the file system has no locks, nobody can take the file for abandoned either.
    return stillNamed(fd, name);
}

} // namespace

Result<ReplacingFile> ReplacingFile::create(const std::filesystem::path& path) {
    // Through a link to its target: the link stays a link.
    const fs::path real = followLinks(path);
    std::string target = real.string();
    struct stat old {};
    const bool existed = ::stat(target.c_str(), &old) == 0;
    // An existing target that may not be written (read-only, or a directory of that name)
    // is left alone, as a plain overwrite would have to.
    if (existed) {
        if (!S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode)) {
            return makeError(ErrorCode::CreateFailed,
                             target + ": is not a regular file (a device, a FIFO or a socket)");
        }
        const int probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) {
            return osError(ErrorCode::CreateFailed, target, errno);
        }
        ::close(probe);
    }
    const fs::path dir = real.parent_path();
    const std::string base = real.filename().string();
    removeAbandoned(dir, base);
    std::random_device rd;
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temp = (dir / temporaryName(base, static_cast<unsigned>(rd()))).string();
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (!holdTemporary(fd, temp)) {
                ::close(fd);
                continue;
            }
            if (existed) {
                // The owner can be kept only by root or when it is the writer already.
                [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
                ::fchmod(fd, old.st_mode & 07777);
            }
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
    if (err != 0) {
        ::unlink(m_temp.c_str());
        ::close(fd);
        return osError(ErrorCode::WriteFailed, m_target, err);
    }
    // Renamed while still held, so that no other writer takes it for abandoned meanwhile.
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        err = errno;
        ::unlink(m_temp.c_str());
        ::close(fd);
        return osError(ErrorCode::CreateFailed, m_target, err);
    }
    ::close(fd);
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
