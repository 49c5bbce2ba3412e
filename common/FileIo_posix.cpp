// The steps of FileIo on POSIX: file descriptors, flock for the temporaries a writer holds,
// fsync and the write-back of ranges for durability.
#include "common/FileDevice.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cpuconfig {
namespace sysfile {

int lastError() {
    return errno;
}

Error osError(ErrorCode code, const std::string& what, int err) {
    return makeError(code, what + ": " + std::strerror(err), err);
}

bool alreadyExists(int err) {
    return err == EEXIST;
}

void close(FileHandle file) {
    ::close(static_cast<int>(file));
}

FileHandle openToRead(const std::filesystem::path& path, int& error) {
    // O_NONBLOCK: should a FIFO take the file's place after the check, opening it must not
    // wait for a writer. Reads of a regular file ignore the flag.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errno;
        return kNoFile;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); // a hint: its failure changes nothing
    return fd;
}

std::optional<Stamp> stampOf(FileHandle file) {
    struct stat st {};
    if (::fstat(static_cast<int>(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Stamp{.regular = false};
    }
    return Stamp{static_cast<std::uint64_t>(st.st_size),
                 static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                 true};
}

namespace {
// A read or write of n bytes, retried when a signal interrupts it; 0 bytes is EIO.
template <class Call> IoCount transfer(Call call) {
    for (;;) {
        const ssize_t n = call();
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return {0, n < 0 ? errno : EIO};
        }
        return {static_cast<std::size_t>(n), 0};
    }
}
} // namespace

std::size_t readSome(FileHandle file, std::uint8_t* into, std::size_t size) {
    return transfer([&] { return ::read(static_cast<int>(file), into, size); }).bytes;
}

std::size_t readSomeAt(FileHandle file, std::uint64_t offset, std::uint8_t* into,
                       std::size_t size) {
    return transfer([&] {
               return ::pread(static_cast<int>(file), into, size, static_cast<off_t>(offset));
           })
        .bytes;
}

std::optional<FileId> idOf(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

FileHandle createScratch(std::filesystem::path& dir, int& error) {
    std::error_code ec;
    dir = std::filesystem::temp_directory_path(ec);
    if (ec) {
        dir = "/tmp";
    }
#ifdef O_TMPFILE
    // Nameless from the start: nothing of it is left however the process ends.
    if (const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); fd >= 0) {
        return fd;
    }
#endif
    std::string name = (dir / "cpuconfig-XXXXXX").string();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return kNoFile;
    }
    ::unlink(name.c_str());
    return fd;
}

IoCount writeSomeAt(FileHandle file, std::uint64_t offset, const std::uint8_t* data,
                    std::size_t size) {
    return transfer(
        [&] { return ::pwrite(static_cast<int>(file), data, size, static_cast<off_t>(offset)); });
}

Result<ReplacedFile> checkReplaceable(const std::string& target) {
    struct stat old {};
    if (::stat(target.c_str(), &old) != 0) {
        return ReplacedFile{};
    }
    if (!S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode)) {
        return makeError(ErrorCode::CreateFailed,
                         target + ": is not a regular file (a device, a FIFO or a socket)");
    }
    const int probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
        return osError(ErrorCode::CreateFailed, target, errno);
    }
    ::close(probe);
    return ReplacedFile{true, static_cast<std::uint32_t>(old.st_mode & 07777), old.st_uid,
                        old.st_gid};
}

namespace {
// Whether fd still is the file called name (nobody removed or replaced it).
bool stillNamed(int fd, const std::string& name) {
    struct stat held {
    }, named{};
    return ::fstat(fd, &held) == 0 && ::lstat(name.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}
} // namespace

// A running writer holds its lock until its temporary is renamed or removed.
void removeIfAbandoned(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        stillNamed(fd, path.string()))
        ::unlink(path.c_str());
    ::close(fd);
}

bool exists(const std::string& name) {
    return ::access(name.c_str(), F_OK) == 0;
}

FileHandle openToAppend(const std::string& name, int& error) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return kNoFile;
    }
    return fd;
}

int append(FileHandle file, const std::uint8_t* data, std::size_t size) {
    // O_APPEND puts each write at the end in one piece.
    for (std::size_t done = 0; done < size;) {
        const IoCount n =
            transfer([&] { return ::write(static_cast<int>(file), data + done, size - done); });
        if (n.error != 0)
            return n.error;
        done += n.bytes;
    }
    return 0;
}

int flush(FileHandle file) {
    return ::fsync(static_cast<int>(file)) != 0 ? errno : 0;
}

void syncFolder(const std::filesystem::path& dir) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

} // namespace sysfile

namespace {

class PosixFileDevice final : public FileDevice {
public:
    FileHandle createTemporary(const std::string& name, const ReplacedFile& replaced,
                               int& error) override {
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = errno;
            return kNoFile;
        }
        if (!holdTemporary(fd, name)) {
            // Another writer's clean-up got to it first: the name is given up.
            ::close(fd);
            error = EEXIST;
            return kNoFile;
        }
        if (replaced.existed) {
            // The owner can be kept only by root or when it is the writer already.
            [[maybe_unused]] const int owned = ::fchown(fd, replaced.owner, replaced.group);
            ::fchmod(fd, replaced.mode);
        }
        return fd;
    }

    IoCount writeSome(FileHandle file, const std::uint8_t* data, std::size_t size) override {
        return sysfile::transfer([&] { return ::write(static_cast<int>(file), data, size); });
    }

    int startWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t size) override {
#ifdef __linux__
        return ::sync_file_range(static_cast<int>(file), static_cast<off_t>(offset),
                                 static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE) != 0
                   ? errno
                   : 0;
#else
        return 0;
#endif
    }

    int awaitWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t size) override {
#ifdef __linux__
        const int fd = static_cast<int>(file);
        if (::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
            return errno;
        }
        // The written range is of no more use in the cache. Its pages are taken again for
        // the next ranges, so a large file neither pushes other files out of the cache nor
        // makes the system find fresh memory for every page it writes.
        ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                        POSIX_FADV_DONTNEED);
#endif
        return 0;
    }

    int flush(FileHandle file) override {
        return sysfile::flush(file);
    }

    int replace(FileHandle file, const std::string& temporary, const std::string& target) override {
        // Renamed while still held, so that no other writer takes it for abandoned meanwhile.
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            const int err = errno;
            drop(file, temporary);
            return err;
        }
        ::close(static_cast<int>(file));
        // Make the rename itself durable; a failure here does not undo a complete file.
        const std::filesystem::path dir = std::filesystem::path(target).parent_path();
        sysfile::syncFolder(dir.empty() ? "." : dir);
        return 0;
    }

    void drop(FileHandle file, const std::string& temporary) override {
        // Removed while still held: a writer looking for abandoned temporaries never sees it
        // free.
        ::unlink(temporary.c_str());
        ::close(static_cast<int>(file));
    }

private:
    // Takes the lock that marks a temporary as in use. False when another writer's clean-up
    // got to it first (it holds the lock or has removed the name).
    static bool holdTemporary(int fd, const std::string& name) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
            return false;
        // Where the file system has no locks, nobody can take the file for abandoned either.
        return sysfile::stillNamed(fd, name);
    }
};

} // namespace

FileDevice& systemFileDevice() {
    static PosixFileDevice device;
    return device;
}

} // namespace cpuconfig
