// The line speeds that have a termios constant, for the port and whatever else sets up a tty.
// A speed without one (28800 on Linux) goes through posix::setExactSpeed/readExactSpeed.
#pragma once

#include <cstdint>
#include <termios.h>

namespace cpuconfig::posix {

struct BaudConstant {
    std::uint32_t baud;
    speed_t speed;
};

inline constexpr BaudConstant kBaudConstants[] = {
    {9600, B9600},     {19200, B19200}, {38400, B38400}, {57600, B57600},
#ifdef B28800
    {28800, B28800},
#endif
    {115200, B115200},
};

// B0 when the speed has no constant.
inline speed_t speedConstant(std::uint32_t baud) {
    for (const auto& c : kBaudConstants)
        if (c.baud == baud)
            return c.speed;
    return B0;
}

// 115200, the card's own speed, for a constant not in the table.
inline std::uint32_t baudOfConstant(speed_t speed) {
    for (const auto& c : kBaudConstants)
        if (c.speed == speed)
            return c.baud;
    return 115200;
}

} // namespace cpuconfig::posix
