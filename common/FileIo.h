// File helpers with the guarantees the package needs: whole reads with clear errors, and a
// replacing write that never leaves a partial file under the final name.
#pragma once

#include "common/Result.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace cpuconfig {

// True when path names an existing regular file (a directory of that name does not count).
bool isRegularFile(const std::filesystem::path& path);

// Reads the whole file. FileMissing, FileUnreadable, or FileTooLarge past maxBytes.
Result<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path,
                                                std::uint64_t maxBytes);

// Writes data under path: first into a new temporary file in the same directory, flushed
// to disk, then renamed over path. On any failure path is untouched and the temporary file
// removed. CreateFailed when path cannot be replaced (directory not writable, path
// read-only, locked or a directory); WriteFailed when the data did not all reach the disk.
Result<void> writeFileReplacing(const std::filesystem::path& path,
                                std::span<const std::uint8_t> data);

namespace testing {
// Makes the next writes of writeFileReplacing fail with osError once `limit` bytes of a
// file have been written (a disk that fills up). std::nullopt restores normal writes.
void setWriteLimit(std::optional<std::uint64_t> limit, int osError);
} // namespace testing

} // namespace cpuconfig
