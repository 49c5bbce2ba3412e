// The serial port on POSIX: termios, poll and a lock file descriptor. Opened non-blocking;
// waits and writes poll the port together with a wake-up pipe that a stop request fills,
// so a stop ends them at once.
#pragma once

#include "link/PosixSys.h"
#include "link/SerialPort.h"

namespace cpuconfig {

// Opens ports by name exclusively: TIOCEXCL keeps other openers out (root excepted) and an
// advisory flock keeps out every program that locks, root included. Each port makes its
// system calls through the table the factory was made with: the real calls, unless a test
// gives others.
class PosixSerialPorts final : public SerialPortFactory {
public:
    explicit PosixSerialPorts(posix::Syscalls sys = posix::realSyscalls())
        : m_sys(std::move(sys)) {}
    Result<std::unique_ptr<SerialPort>> open(const std::string& name) override;

private:
    posix::Syscalls m_sys;
};

} // namespace cpuconfig
