#include "common/Sha256.h"

namespace cpuconfig {

std::string Sha256::finishHex() {
    std::uint8_t digest[kDigestSize] = {};
    finish(digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * kDigestSize);
    for (const std::uint8_t b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 0xF]);
    }
    return out;
}

std::string sha256Hex(std::span<const std::uint8_t> data) {
    Sha256 hash;
    hash.update(data);
    return hash.finishHex();
}

} // namespace cpuconfig
