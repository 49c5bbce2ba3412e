// The file helpers' logic, over the steps of FileDevice.h that each system gives.
#include "common/FileIo.h"

#include "common/FileDevice.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <system_error>
#include <utility>

namespace cpuconfig {

bool isRegularFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

Result<void> checkRegularFile(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    const std::string name = path.string();
    switch (st.type()) {
    case fs::file_type::regular:
        return {};
    case fs::file_type::not_found:
        return makeError(ErrorCode::FileMissing, name + ": no such file");
    case fs::file_type::directory:
        return makeError(ErrorCode::FileMissing, name + ": is a directory, not a file");
    case fs::file_type::fifo:
        return makeError(ErrorCode::FileUnreadable, name + ": is a FIFO (a pipe), not a file");
    case fs::file_type::character:
    case fs::file_type::block:
        return makeError(ErrorCode::FileUnreadable, name + ": is a device, not a file");
    case fs::file_type::socket:
        return makeError(ErrorCode::FileUnreadable, name + ": is a socket, not a file");
    default:
        break;
    }
    if (ec) {
        return makeError(ErrorCode::FileUnreadable, name + ": cannot be looked at: " + ec.message(),
                         ec.value());
    }
    return makeError(ErrorCode::FileUnreadable, name + ": is not a regular file");
}

std::filesystem::path followLinks(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    fs::path p = path;
    // As many links as the system itself follows before it gives up on a loop.
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec)))
            return p;
        const fs::path next = fs::read_symlink(p, ec);
        if (ec)
            return p;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p;
}

Result<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path,
                                                std::uint64_t maxBytes) {
    if (auto regular = checkRegularFile(path); !regular) {
        return regular.error();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return makeError(ErrorCode::FileUnreadable, path.string() + ": cannot be opened");
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) {
        return makeError(ErrorCode::FileUnreadable, path.string() + ": size cannot be read");
    }
    if (static_cast<std::uint64_t>(size) > maxBytes) {
        return makeError(ErrorCode::FileTooLarge, path.string() + ": " + std::to_string(size) +
                                                      " bytes, more than " +
                                                      std::to_string(maxBytes));
    }
    in.seekg(0, std::ios::beg);
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(data.data()), size)) {
        return makeError(ErrorCode::FileUnreadable,
                         path.string() + ": read failed at offset " + std::to_string(in.gcount()));
    }
    return data;
}

std::string temporaryName(const std::string& base, unsigned suffix) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", suffix);
    return "." + base + "." + hex + ".tmp";
}

bool isTemporaryOf(const std::string& name, const std::string& base) {
    const std::string head = "." + base + ".";
    constexpr std::size_t kHex = 8;
    if (name.size() != head.size() + kHex + 4 || !name.starts_with(head) || !name.ends_with(".tmp"))
        return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(head.size()),
                       name.begin() + static_cast<std::ptrdiff_t>(head.size() + kHex),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

Result<void> writeFileReplacing(const std::filesystem::path& path,
                                std::span<const std::uint8_t> data) {
    auto file = ReplacingFile::create(path);
    if (!file) {
        return file.error();
    }
    if (auto w = file->write(data); !w) {
        return w.error();
    }
    return file->commit();
}

std::uint64_t bytesAfterLastLineEnd(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in || !in.seekg(0, std::ios::end))
        return 0;
    const std::streamoff size = in.tellg();
    // Back from the end, a block at a time, to the last line end.
    constexpr std::streamoff kBlock = 4096;
    char block[kBlock];
    for (std::streamoff end = size; end > 0;) {
        const std::streamoff start = std::max<std::streamoff>(0, end - kBlock);
        if (!in.seekg(start) || !in.read(block, end - start))
            return 0;
        for (std::streamoff i = end - start; i > 0; --i)
            if (block[i - 1] == '\n')
                return static_cast<std::uint64_t>(size - (start + i));
        end = start;
    }
    return static_cast<std::uint64_t>(size);
}

Result<SequentialFile> SequentialFile::open(const std::filesystem::path& path) {
    if (auto regular = checkRegularFile(path); !regular) {
        return regular.error();
    }
    int err = 0;
    const FileHandle file = sysfile::openToRead(path, err);
    if (file == kNoFile) {
        return sysfile::osError(ErrorCode::FileUnreadable, path.string() + ": cannot be opened",
                                err);
    }
    const auto stamp = sysfile::stampOf(file);
    if (!stamp) {
        err = sysfile::lastError();
        sysfile::close(file);
        return sysfile::osError(ErrorCode::FileUnreadable, path.string() + ": size cannot be read",
                                err);
    }
    if (!stamp->regular) {
        sysfile::close(file);
        return makeError(ErrorCode::FileUnreadable, path.string() + ": is not a regular file");
    }
    return SequentialFile(file, stamp->size, stamp->modified);
}

SequentialFile::SequentialFile(std::intptr_t handle, std::uint64_t size, std::int64_t modified)
    : m_handle(handle), m_size(size), m_modified(modified) {}

SequentialFile::SequentialFile(SequentialFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kNoFile)), m_size(other.m_size),
      m_modified(other.m_modified) {}

SequentialFile::~SequentialFile() {
    if (m_handle != kNoFile) {
        sysfile::close(m_handle);
    }
}

namespace {
// Fills dst with reads of readSome(into, want, filled so far); short only at the end of the
// file or at a read error.
template <class ReadSome> std::size_t fill(std::span<std::uint8_t> dst, ReadSome readSome) {
    std::size_t done = 0;
    while (done < dst.size()) {
        const std::size_t n = readSome(dst.data() + done, dst.size() - done, done);
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}
} // namespace

std::size_t SequentialFile::read(std::span<std::uint8_t> dst) {
    return fill(dst, [this](std::uint8_t* into, std::size_t want, std::size_t) {
        return sysfile::readSome(m_handle, into, want);
    });
}

bool SequentialFile::unchanged() const {
    const auto stamp = sysfile::stampOf(m_handle);
    return stamp && stamp->regular && stamp->size == m_size && stamp->modified == m_modified;
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto id = sysfile::idOf(a);
    return id && id == sysfile::idOf(b);
}

Result<ScratchFile> ScratchFile::create() {
    std::filesystem::path dir;
    int err = 0;
    const FileHandle file = sysfile::createScratch(dir, err);
    if (file == kNoFile) {
        return sysfile::osError(ErrorCode::CreateFailed, "a scratch file in " + dir.string(), err);
    }
    return ScratchFile(file);
}

ScratchFile::ScratchFile(ScratchFile&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kNoFile)), m_size(other.m_size) {}

ScratchFile::~ScratchFile() {
    if (m_handle != kNoFile) {
        sysfile::close(m_handle);
    }
}

Result<void> ScratchFile::write(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const IoCount n =
            sysfile::writeSomeAt(m_handle, m_size, data.data() + done, data.size() - done);
        if (n.error != 0) {
            return sysfile::osError(ErrorCode::WriteFailed, "scratch file", n.error);
        }
        done += n.bytes;
        m_size += n.bytes;
    }
    return {};
}

std::size_t ScratchFile::readAt(std::uint64_t offset, std::span<std::uint8_t> dst) const {
    return fill(dst, [this, offset](std::uint8_t* into, std::size_t want, std::size_t filled) {
        return sysfile::readSomeAt(m_handle, offset + filled, into, want);
    });
}

namespace {

namespace fs = std::filesystem;

// A written file goes to the disk in ranges of this size while it is being written.
constexpr std::uint64_t kSendRange = 8u << 20;

// Removes the temporaries of base in dir that no writer holds: a writer that was killed
// left them.
void removeAbandoned(const fs::path& dir, const std::string& base) {
    std::error_code ec;
    for (fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (isTemporaryOf(it->path().filename().string(), base))
            sysfile::removeIfAbandoned(it->path());
    }
}

} // namespace

ReplacingFile::ReplacingFile(std::string target, std::string temp, std::intptr_t handle)
    : m_target(std::move(target)), m_temp(std::move(temp)), m_handle(handle) {}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : m_target(std::move(other.m_target)), m_temp(std::move(other.m_temp)),
      m_handle(std::exchange(other.m_handle, kNoFile)), m_written(other.m_written),
      m_sent(other.m_sent) {}

ReplacingFile::~ReplacingFile() {
    discard();
}

void ReplacingFile::discard() {
    if (m_handle != kNoFile) {
        fileDevice().drop(std::exchange(m_handle, kNoFile), m_temp);
    }
}

Result<ReplacingFile> ReplacingFile::create(const std::filesystem::path& path) {
    // Through a link to its target: the link stays a link.
    const fs::path real = followLinks(path);
    std::string target = real.string();
    // An existing target that may not be written (read-only, locked, or a directory of that
    // name) is left alone, as a plain overwrite would have to.
    const auto replaced = sysfile::checkReplaceable(target);
    if (!replaced) {
        return replaced.error();
    }
    const fs::path dir = real.parent_path();
    const std::string base = real.filename().string();
    removeAbandoned(dir, base);
    std::random_device rd;
    int err = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temp = (dir / temporaryName(base, static_cast<unsigned>(rd()))).string();
        const FileHandle file = fileDevice().createTemporary(temp, *replaced, err);
        if (file != kNoFile) {
            return ReplacingFile(std::move(target), std::move(temp), file);
        }
        if (!sysfile::alreadyExists(err)) {
            break;
        }
    }
    return sysfile::osError(ErrorCode::CreateFailed, target, err);
}

Result<void> ReplacingFile::write(std::span<const std::uint8_t> data) {
    if (m_handle == kNoFile) {
        return makeError(ErrorCode::WriteFailed, m_target + ": already closed");
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const IoCount n = fileDevice().writeSome(m_handle, data.data() + done, data.size() - done);
        if (n.error != 0) {
            discard();
            return sysfile::osError(ErrorCode::WriteFailed, m_target, n.error);
        }
        done += n.bytes;
        m_written += n.bytes;
    }
    return sendAhead();
}

Result<void> ReplacingFile::sendAhead() {
    FileDevice& device = fileDevice();
    while (m_written - m_sent >= kSendRange) {
        // Start the disk on the range just filled, then wait until the one before it is
        // written: the disk always has a range to work on while the next one fills, and
        // commit() is left with at most two ranges to wait for.
        int err = device.startWriteBack(m_handle, m_sent, kSendRange);
        if (err == 0 && m_sent >= kSendRange) {
            err = device.awaitWriteBack(m_handle, m_sent - kSendRange, kSendRange);
        }
        if (err != 0) {
            // An error reported here may not be reported again by the final flush.
            discard();
            return sysfile::osError(ErrorCode::WriteFailed, m_target, err);
        }
        m_sent += kSendRange;
    }
    return {};
}

Result<void> ReplacingFile::commit() {
    if (m_handle == kNoFile) {
        return makeError(ErrorCode::WriteFailed, m_target + ": already closed");
    }
    FileDevice& device = fileDevice();
    const FileHandle file = std::exchange(m_handle, kNoFile);
    if (const int err = device.flush(file); err != 0) {
        device.drop(file, m_temp);
        return sysfile::osError(ErrorCode::WriteFailed, m_target, err);
    }
    if (const int err = device.replace(file, m_temp, m_target); err != 0) {
        return sysfile::osError(ErrorCode::CreateFailed, m_target, err);
    }
    return {};
}

Result<DurableLog> DurableLog::open(const std::filesystem::path& path) {
    std::string name = path.string();
    const bool existed = sysfile::exists(name);
    const std::uint64_t torn = bytesAfterLastLineEnd(path);
    int err = 0;
    const FileHandle file = sysfile::openToAppend(name, err);
    if (file == kNoFile)
        return sysfile::osError(ErrorCode::CreateFailed, name, err);
    if (!existed) {
        // The new file's name must survive a power cut as well as its lines.
        sysfile::syncFolder(path.has_parent_path() ? path.parent_path() : ".");
    }
    DurableLog log(std::move(name), file, torn);
    if (torn > 0) {
        if (auto r = log.writeAll("\n"); !r)
            return r.error();
    }
    return log;
}

DurableLog::DurableLog(DurableLog&& other) noexcept
    : m_path(std::move(other.m_path)), m_handle(std::exchange(other.m_handle, kNoFile)),
      m_torn(other.m_torn) {}

DurableLog::~DurableLog() {
    if (m_handle != kNoFile)
        sysfile::close(m_handle);
}

Result<void> DurableLog::appendLine(const std::string& line) {
    return writeAll(line + "\n");
}

Result<void> DurableLog::writeAll(const std::string& bytes) {
    // One write for the whole line: appending puts it at the end in one piece.
    if (const int err = sysfile::append(
            m_handle, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
        return sysfile::osError(ErrorCode::WriteFailed, m_path, err);
    if (const int err = sysfile::flush(m_handle))
        return sysfile::osError(ErrorCode::WriteFailed, m_path, err);
    return {};
}

} // namespace cpuconfig
