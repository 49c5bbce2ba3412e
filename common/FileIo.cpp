#include "common/FileIo.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace cpuconfig {

bool isRegularFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

Result<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path,
                                                std::uint64_t maxBytes) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return makeError(ErrorCode::FileMissing, path.string() + ": no such file");
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
