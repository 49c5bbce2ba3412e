#include "package/PackageSnapshot.h"

#include "common/Sha256.h"

#include <algorithm>
#include <cstring>

namespace cpuconfig {

Result<std::shared_ptr<const PackageSnapshot>>
PackageSnapshot::take(const std::filesystem::path& path, std::uint64_t memoryLimit) {
    auto file = openPackage(path);
    if (!file) {
        return file.error();
    }
    const std::uint64_t size = file->size();
    std::shared_ptr<PackageSnapshot> snap(new PackageSnapshot);
    snap->m_size = size;
    Sha256 hash;
    std::uint8_t last = 0;
    std::uint64_t copied = 0;
    if (size <= memoryLimit) {
        snap->m_bytes.resize(static_cast<std::size_t>(size));
        copied = file->read(snap->m_bytes);
        hash.update(snap->m_bytes);
        last = snap->m_bytes.back();
    } else {
        auto scratch = ScratchFile::create();
        if (!scratch) {
            return scratch.error();
        }
        constexpr std::uint64_t kChunk = 1u << 20;
        std::vector<std::uint8_t> chunk(kChunk);
        while (copied < size) {
            const auto want = static_cast<std::size_t>(std::min(kChunk, size - copied));
            const std::size_t got = file->read({chunk.data(), want});
            if (got == 0) {
                break;
            }
            if (auto w = scratch->write({chunk.data(), got}); !w) {
                return makeError(w.error().code,
                                 path.string() +
                                     ": no room for a private copy: " + w.error().message,
                                 w.error().osError);
            }
            hash.update({chunk.data(), got});
            last = chunk[got - 1];
            copied += got;
        }
        snap->m_scratch.emplace(std::move(*scratch));
    }
    // A writer at work on the file while it was copied: the copy may be half of each.
    if (copied != size || !file->unchanged()) {
        return makeError(ErrorCode::FileUnreadable,
                         path.string() + ": changed while it was read (or the read failed after " +
                             std::to_string(copied) + " bytes); try again");
    }
    if (auto sound = checkPackage(path, size, last); !sound) {
        return sound.error();
    }
    if (snap->read(0, snap->m_header) != kHeaderSize) {
        return makeError(ErrorCode::FileUnreadable, path.string() + ": its copy cannot be read");
    }
    snap->m_sha256 = hash.finishHex();
    return std::shared_ptr<const PackageSnapshot>(std::move(snap));
}

std::size_t PackageSnapshot::read(std::uint64_t offset, std::span<std::uint8_t> dst) const {
    if (offset >= m_size) {
        return 0;
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(dst.size(), m_size - offset));
    if (m_scratch) {
        return m_scratch->readAt(offset, dst.first(n));
    }
    std::memcpy(dst.data(), m_bytes.data() + offset, n);
    return n;
}

} // namespace cpuconfig
