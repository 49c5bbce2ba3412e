#include "link/PosixSpeed.h"

#include <cerrno>
#include <termios.h>

namespace cpuconfig::posix {

int setExactSpeed(int, std::uint32_t) {
    return ENOTSUP;
}

std::optional<std::uint32_t> readExactSpeed(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(cfgetospeed(&t)); // BSD speeds are plain numbers
}

} // namespace cpuconfig::posix
