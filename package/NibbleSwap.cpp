// The hot loop of packing and unpacking. Written on 64-bit words with masks so the
// compiler vectorises it (a byte-wise version turns into a scalar rotate); built with -O3.
#include "package/PackageFormat.h"

#include <cstring>

namespace cpuconfig {

void nibbleSwap(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
    constexpr std::uint64_t kLow = 0x0F0F0F0F0F0F0F0FULL;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::memcpy(&x, in + i, 8);
        x = ((x & kLow) << 4) | ((x >> 4) & kLow);
        std::memcpy(out + i, &x, 8);
    }
    for (; i < n; ++i) {
        out[i] = nibbleSwap(in[i]);
    }
}

} // namespace cpuconfig
