#include "link/PosixSpeed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

namespace cpuconfig::posix {

int setExactSpeed(int fd, std::uint32_t baud, const Syscalls& sys) {
    struct termios2 t {};
    if (sys.ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    if (sys.ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

std::optional<std::uint32_t> readExactSpeed(int fd, const Syscalls& sys) {
    struct termios2 t {};
    if (sys.ioctl(fd, TCGETS2, &t) != 0)
        return std::nullopt;
    return t.c_ospeed;
}

} // namespace cpuconfig::posix
