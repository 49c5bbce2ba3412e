// Line speeds termios has no constant for (28800): Linux sets them through termios2.
// Kept apart because <asm/termbits.h> and <termios.h> cannot share a file.
#pragma once

#include "link/PosixSys.h"

#include <cstdint>
#include <optional>

namespace cpuconfig::posix {

// Sets both speeds of fd to baud exactly. 0 or an errno value (ENOTSUP where the system
// cannot).
int setExactSpeed(int fd, std::uint32_t baud, const Syscalls& sys = realSyscalls());
// The output speed of fd in bits per second, or nothing when it cannot be read.
std::optional<std::uint32_t> readExactSpeed(int fd, const Syscalls& sys = realSyscalls());

} // namespace cpuconfig::posix
