#include "shell/AccessCode.h"

#include "common/Sha256.h"

#include <cstdint>
#include <string>

namespace cpuconfig {
namespace {

// SHA-256 of the access code, lower-case hex.
constexpr std::string_view kAccessDigest =
    "a2bdc78162b620e9e831d1943a8320b320affa98a52441155013b6d6f0f95246";

} // namespace

bool isAccessCode(std::string_view typed) {
    const std::string digest =
        sha256Hex({reinterpret_cast<const std::uint8_t*>(typed.data()), typed.size()});
    if (digest.size() != kAccessDigest.size()) {
        return false;
    }
    unsigned difference = 0;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        difference |= static_cast<unsigned char>(digest[i] ^ kAccessDigest[i]);
    }
    return difference == 0;
}

} // namespace cpuconfig
