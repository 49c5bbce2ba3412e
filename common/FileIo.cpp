#include "common/FileIo.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>

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

} // namespace cpuconfig
