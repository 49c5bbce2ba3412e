// The hot loop of packing and unpacking; built with -O3 so the compiler vectorises it.
#include "package/PackageFormat.h"

namespace cpuconfig {

void nibbleSwap(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>((in[i] << 4) | (in[i] >> 4));
    }
}

} // namespace cpuconfig
