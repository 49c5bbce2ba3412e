#include "link/PosixSpeed.h"

#include <cerrno>
#include <termios.h>

namespace cpuconfig::posix {

int setExactSpeed(int, std::uint32_t, const Syscalls&) {
    return ENOTSUP;
}

std::optional<std::uint32_t> readExactSpeed(int fd, const Syscalls& sys) {
    termios t{};
    if (sys.tcgetattr(fd, &t) != 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(cfgetospeed(&t)); // BSD speeds are plain numbers
}

} // namespace cpuconfig::posix
