// A package as it was at one moment: read once, checked, and kept where nobody else can
// change it. An upgrade sends its snapshot, so a package rewritten, cut short or replaced
// while the upgrade runs (hours, for a large one on a slow line) never mixes into a card.
//
// Firmware packages are a few MiB: those are kept in memory. A larger one goes to a private
// scratch file instead, so that a package of hundreds of MiB costs disk, not memory, for
// the length of an upgrade. Thread-safety: a snapshot does not change; read() may be called
// from several threads at once (one port each).
#pragma once

#include "common/FileIo.h"
#include "common/Result.h"
#include "package/PackageFormat.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cpuconfig {

// Packages up to this size are kept in memory.
inline constexpr std::uint64_t kSnapshotMemoryLimit = 32u << 20;

class PackageSnapshot {
public:
    // Reads the package at path and checks it by checkPackage. Errors: those of
    // checkRegularFile and checkPackage; FileUnreadable when the read fails or the file
    // changes while it is read; CreateFailed or WriteFailed when the scratch file cannot
    // take it.
    static Result<std::shared_ptr<const PackageSnapshot>>
    take(const std::filesystem::path& path, std::uint64_t memoryLimit = kSnapshotMemoryLimit);

    std::uint64_t size() const { return m_size; }
    const Header& header() const { return m_header; }
    const std::string& sha256() const { return m_sha256; } // of the whole file
    bool inMemory() const { return !m_scratch; }
    // Copies from offset into dst; short only past the end, or when the scratch file cannot
    // be read back.
    std::size_t read(std::uint64_t offset, std::span<std::uint8_t> dst) const;

private:
    PackageSnapshot() = default;

    std::uint64_t m_size = 0;
    Header m_header{};
    std::string m_sha256;
    std::vector<std::uint8_t> m_bytes;    // the package, when it is kept in memory
    std::optional<ScratchFile> m_scratch; // the package, when it is not
};

} // namespace cpuconfig
