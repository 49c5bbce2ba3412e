// What the file helpers of FileIo ask of the system, one step at a time: FileIo.cpp holds their
// logic once, FileIo_posix.cpp and FileIo_win32.cpp each give these steps for their system.
// Errors are the system's own numbers (errno, GetLastError()); 0 is none.
#pragma once

#include "common/Result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace cpuconfig {

using FileHandle = std::intptr_t; // fd or HANDLE
inline constexpr FileHandle kNoFile = -1;

// Bytes moved by one call, or the error that stopped it.
struct IoCount {
    std::size_t bytes = 0;
    int error = 0;
};

// What a replacing write keeps of the file it replaces: whether there is one, and its
// permissions and owner (where the system has them).
struct ReplacedFile {
    bool existed = false;
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
};

// The steps of the replacing write that a disk can fail: a test links a device of its own in
// place of the system's to play a full disk or a failing flush. Every handle here is a
// replacing write's temporary file.
class FileDevice {
public:
    virtual ~FileDevice() = default;

    // Creates name new (never an existing file) and holds it as a writer's temporary, with
    // what it keeps of the replaced file. kNoFile and error otherwise; alreadyExists(error)
    // when the name is taken and another one may be tried.
    virtual FileHandle createTemporary(const std::string& name, const ReplacedFile& replaced,
                                       int& error) = 0;
    // Writes some of data at the end of what was written.
    virtual IoCount writeSome(FileHandle file, const std::uint8_t* data, std::size_t size) = 0;
    // Starts the disk on a range of the file, without waiting.
    virtual int startWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t size) = 0;
    // Waits until a range of the file is on the disk, then lets its pages go from the cache.
    virtual int awaitWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t size) = 0;
    // Everything written to the file is on the disk.
    virtual int flush(FileHandle file) = 0;
    // Puts the temporary file (still held) in target's place, durably, and lets it go. On an
    // error the temporary is gone.
    virtual int replace(FileHandle file, const std::string& temporary,
                        const std::string& target) = 0;
    // Lets the temporary file go and removes it.
    virtual void drop(FileHandle file, const std::string& temporary) = 0;
};

// The system's device.
FileDevice& systemFileDevice();
// The device the replacing writes use: the system's, but for a program (a test) that links
// another definition of it.
FileDevice& fileDevice();

// The rest of what FileIo needs of the system, which no test fails.
namespace sysfile {

// The error of the last call that failed.
int lastError();
// An error of code that says what failed and the system's words for err.
Error osError(ErrorCode code, const std::string& what, int err);
// Whether err says a name is taken.
bool alreadyExists(int err);
void close(FileHandle file);

// A file's size and last modification (nanoseconds on POSIX, 100 ns ticks on Windows).
struct Stamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    bool regular = true;
};

// Opens a file to be read once from its start to its end (the system reads ahead).
FileHandle openToRead(const std::filesystem::path& path, int& error);
// Nothing when it cannot be read (lastError()); a file whose kind cannot be told is not
// regular.
std::optional<Stamp> stampOf(FileHandle file);
// Reads some bytes from where the last read ended, or at offset; 0 at the end or an error.
std::size_t readSome(FileHandle file, std::uint8_t* into, std::size_t size);
std::size_t readSomeAt(FileHandle file, std::uint64_t offset, std::uint8_t* into, std::size_t size);

// What names a file whatever path leads to it (device and file number); nothing when path
// does not lead to one.
struct FileId {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileId&) const = default;
};
std::optional<FileId> idOf(const std::filesystem::path& path);

// A nameless file nobody else can open, in the temporary folder, which it names in dir.
FileHandle createScratch(std::filesystem::path& dir, int& error);
IoCount writeSomeAt(FileHandle file, std::uint64_t offset, const std::uint8_t* data,
                    std::size_t size);

// Whether target may be replaced and what the new file keeps of it; CreateFailed when not.
Result<ReplacedFile> checkReplaceable(const std::string& target);
// Removes a temporary file of a replacing write that no writer holds any more.
void removeIfAbandoned(const std::filesystem::path& path);

bool exists(const std::string& name);
// Opens name to append to, created when missing.
FileHandle openToAppend(const std::string& name, int& error);
// Writes all of data at the end of an appending file in one piece: 0 or the error.
int append(FileHandle file, const std::uint8_t* data, std::size_t size);
// Everything written to the file is on the disk.
int flush(FileHandle file);
// Makes the names in dir durable (the entry of a file just made).
void syncFolder(const std::filesystem::path& dir);

} // namespace sysfile

} // namespace cpuconfig
