// File helpers with the guarantees the package needs: reads that say plainly why a file
// cannot be read, a replacing write that never leaves a partial file under the final name,
// and a private scratch file.
#pragma once

#include "common/Result.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace cpuconfig {

// True when path names an existing regular file (a directory of that name does not count).
bool isRegularFile(const std::filesystem::path& path);

// Nothing when path names a regular file (through links); otherwise why it cannot be read
// as one, in plain words: FileMissing "no such file" or "is a directory", FileUnreadable
// for a FIFO, a device or a socket (reading one would wait, or never end) and for a path
// that cannot be looked into.
Result<void> checkRegularFile(const std::filesystem::path& path);

// True when a and b both exist and are the same file: the same name, a link to it or
// another hard link of it.
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// The file a path finally names when its last part is a symbolic link (a chain of them is
// followed); path itself otherwise. The target need not exist.
std::filesystem::path followLinks(const std::filesystem::path& path);

// Reads the whole file. The errors of checkRegularFile, FileUnreadable, or FileTooLarge
// past maxBytes.
Result<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path,
                                                std::uint64_t maxBytes);

// A file read once from its start to its end. The system is told so, and reads ahead.
class SequentialFile {
public:
    // The errors of checkRegularFile, or FileUnreadable when it cannot be opened.
    static Result<SequentialFile> open(const std::filesystem::path& path);

    SequentialFile(SequentialFile&& other) noexcept;
    SequentialFile& operator=(SequentialFile&&) = delete;
    ~SequentialFile();

    std::uint64_t size() const { return m_size; }
    // Fills dst from where the last read ended; short only at the end of the file or at a
    // read error, 0 once nothing more can be read.
    std::size_t read(std::span<std::uint8_t> dst);
    // False when the file's size or modification time is no longer what it was at open:
    // someone wrote to it meanwhile, and what was read may mix two versions.
    bool unchanged() const;

private:
    SequentialFile(std::intptr_t handle, std::uint64_t size, std::int64_t modified);

    std::intptr_t m_handle; // fd or HANDLE; -1 when closed
    std::uint64_t m_size;
    std::int64_t m_modified; // nanoseconds (POSIX) or 100 ns ticks (Windows)
};

// A temporary file that no other program can open by name, gone when it is closed or the
// process dies: a private copy of something large. Reads at an offset may come from
// several threads at once.
class ScratchFile {
public:
    // In the system's temporary folder (TMPDIR, TEMP). CreateFailed when it cannot be made.
    static Result<ScratchFile> create();

    ScratchFile(ScratchFile&& other) noexcept;
    ScratchFile& operator=(ScratchFile&&) = delete;
    ~ScratchFile();

    // Appends all of data, or WriteFailed (for example a full disk).
    Result<void> write(std::span<const std::uint8_t> data);
    // Fills dst from offset; short only past the end or at a read error.
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> dst) const;

private:
    explicit ScratchFile(std::intptr_t handle) : m_handle(handle) {}

    std::intptr_t m_handle; // fd or HANDLE; -1 when closed
    std::uint64_t m_size = 0;
};

// A file written under a temporary name in the target's directory and renamed over the
// target only by commit(), once every byte is on disk. Until then the target is untouched;
// a ReplacingFile destroyed without a successful commit removes its temporary file. A
// target that is a symbolic link is replaced at the link's end, so the link stays; the new
// file keeps the old one's permissions (and owner, where the system lets it).
//
// The temporary file is held (locked) while it is written. One left behind by a writer that
// was killed is held by nobody: the next create() for the same target removes it.
class ReplacingFile {
public:
    // CreateFailed when the target cannot be replaced: directory not writable, target
    // read-only, locked, a directory or not a regular file (a device, a FIFO).
    static Result<ReplacingFile> create(const std::filesystem::path& target);

    ReplacingFile(ReplacingFile&& other) noexcept;
    ReplacingFile& operator=(ReplacingFile&&) = delete;
    ~ReplacingFile();

    // All of data, or WriteFailed (for example a full disk). Large files are sent to the
    // disk while they are written, so that commit() has little left to wait for.
    Result<void> write(std::span<const std::uint8_t> data);
    // Flushes to disk and renames over the target. WriteFailed or CreateFailed.
    Result<void> commit();

private:
    ReplacingFile(std::string target, std::string temp, std::intptr_t handle);
    void discard();
    Result<void> sendAhead();

    std::string m_target;
    std::string m_temp;
    std::intptr_t m_handle; // fd or HANDLE; -1 when closed
    std::uint64_t m_written = 0;
    std::uint64_t m_sent = 0; // bytes handed to the disk ahead of commit()
};

// ".RQ_CPU.cpu.1a2b3c4d.tmp": the name of a ReplacingFile's temporary for a target named
// base, and whether name is one of them.
std::string temporaryName(const std::string& base, unsigned suffix);
bool isTemporaryOf(const std::string& name, const std::string& base);

// Writes data under path through a ReplacingFile.
Result<void> writeFileReplacing(const std::filesystem::path& path,
                                std::span<const std::uint8_t> data);

// Bytes after the last line end of a file: a last line without its end. 0 for a file that
// ends with one, is empty or cannot be read.
std::uint64_t bytesAfterLastLineEnd(const std::filesystem::path& path);

// A log that keeps every whole line through a crash or a power cut: each line goes out in
// one write at the end of the file and is on disk before appendLine() returns. A last line
// left torn by an earlier crash (no line end) is closed with a line end at open, so that
// the next line starts clean; readers skip what does not parse. One writer at a time.
class DurableLog {
public:
    // CreateFailed when the file cannot be opened for appending (created if missing).
    static Result<DurableLog> open(const std::filesystem::path& path);
    DurableLog(DurableLog&& other) noexcept;
    DurableLog& operator=(DurableLog&&) = delete;
    ~DurableLog();

    // line without its line end. WriteFailed when it is not all on disk.
    Result<void> appendLine(const std::string& line);
    // Bytes of the torn last line found at open; 0 when the file ended with a line end.
    std::uint64_t tornBytes() const { return m_torn; }

private:
    DurableLog(std::string path, std::intptr_t handle, std::uint64_t torn)
        : m_path(std::move(path)), m_handle(handle), m_torn(torn) {}
    Result<void> writeAll(const std::string& bytes);

    std::string m_path;
    std::intptr_t m_handle; // fd or HANDLE; -1 when closed
    std::uint64_t m_torn = 0;
};

} // namespace cpuconfig
