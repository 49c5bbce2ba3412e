// The serial port on POSIX: termios, poll and a lock file descriptor. Opened non-blocking;
// waits and writes poll the port together with a wake-up pipe that a stop request fills,
// so a stop ends them at once.
#pragma once

#include "link/SerialPortBase.h"

namespace cpuconfig {

class PosixSerialPort final : public SerialPortBase {
public:
    // Opens name exclusively: TIOCEXCL keeps other openers out (root excepted) and an
    // advisory flock keeps out every program that locks, root included.
    static Result<std::unique_ptr<SerialPort>> open(const std::string& name);
    ~PosixSerialPort() override;

    void close() override;

private:
    bool isOpen() const override { return m_fd >= 0; }
    Result<void> doSetQueueSizes(std::size_t receive, std::size_t send) override;
    Result<void> doSetTimeouts(const SerialTimeouts& timeouts) override;
    Result<void> doApplyLineSettings(const LineSettings& settings) override;
    Result<void> doArmReceiveWait() override;
    Result<bool> doWaitReceive(std::chrono::milliseconds limit, std::stop_token stop) override;
    Result<void> doRenewReceiveWait() override;
    Result<std::size_t> doClearErrors() override;
    Result<std::size_t> doRead(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                               std::stop_token stop) override;
    Result<void> doWrite(std::span<const std::uint8_t> data, std::stop_token stop) override;
    Result<void> doPurgeInput() override;
    Result<void> doPurgeOutput() override;

    PosixSerialPort(std::string name, int fd, int wakeRead, int wakeWrite);
    enum class Ready { Yes, TimedOut, Stopped, HungUp, Failed };
    // Polls the port for events (POLLIN or POLLOUT) and the wake pipe, for at most limitMs
    // (-1: no limit), retrying on EINTR with the time left.
    Ready pollPort(short events, int limitMs, std::stop_token& stop, int& osError);
    Result<void> drain(std::stop_token& stop);

    int m_fd = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::uint32_t m_baud = 115200;
    SerialTimeouts m_timeouts;
};

} // namespace cpuconfig
