#include "link/PosixSerialPort.h"

#include "link/PortInfo.h"
#include "link/PosixBaud.h"
#include "link/PosixSpeed.h"
#include "link/SerialPortBase.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>

namespace cpuconfig {
namespace {

using std::chrono::milliseconds;

// The one place that turns errno into an engine error.
Error systemError(ErrorCode code, const std::string& what, int err) {
    return makeError(code, what + ": " + std::strerror(err), err);
}

tcflag_t sizeFlag(std::uint8_t dataBits) {
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

// The terminal a user types in (/dev/tty, the console, a virtual console) opens like a
// serial port, but it is none: bytes for a card would go to the screen, and its line
// settings would be left raw.
bool isUserTerminal(const std::string& name) {
#ifdef __linux__
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
    return maj == 5 || (maj == 4 && min < 64); // tty, console, ptmx; tty0 to tty63
#else
    return name == "/dev/tty" || name == "/dev/console";
#endif
}

bool hardError(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE || err == EBADF;
}

// A port opened by PosixSerialPorts, making its calls through its own copy of the table.
class PosixSerialPort final : public SerialPortBase {
public:
    PosixSerialPort(std::string name, const posix::Syscalls& sys, int fd, int wakeRead,
                    int wakeWrite)
        : SerialPortBase(std::move(name)), m_sys(sys), m_fd(fd), m_wakeRead(wakeRead),
          m_wakeWrite(wakeWrite) {}
    ~PosixSerialPort() override { close(); }

    void close() override;

private:
    bool isOpen() const override { return m_fd >= 0; }
    Result<void> doApplyLineSettings(const LineSettings& settings) override;
    Result<bool> doWaitReadable(milliseconds limit, std::stop_token stop) override;
    Result<std::size_t> doBytesWaiting() override;
    Result<std::size_t> doRead(std::span<std::uint8_t> buffer, milliseconds limit,
                               std::stop_token stop) override;
    Result<void> doWrite(std::span<const std::uint8_t> data, std::stop_token stop) override;
    Result<void> doDiscardInput() override { return flush(TCIFLUSH); }
    Result<void> doDiscardOutput() override { return flush(TCOFLUSH); }

    enum class Ready { Yes, TimedOut, Stopped, HungUp, Failed };
    // Polls the port for events (POLLIN or POLLOUT) and the wake pipe, for at most limitMs
    // (-1: no limit), retrying on EINTR with the time left.
    Ready pollPort(short events, int limitMs, std::stop_token& stop, int& osError);
    Result<void> drain(std::stop_token& stop);
    Result<void> flush(int queue); // tcflush of TCIFLUSH or TCOFLUSH
    Error hungUp() const { return makeError(ErrorCode::PortIo, name() + " hung up", EIO); }

    const posix::Syscalls m_sys;
    int m_fd = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::uint32_t m_baud = 115200;
};

} // namespace

Result<std::unique_ptr<SerialPort>> PosixSerialPorts::open(const std::string& name) {
    const auto& sys = m_sys;
    if (name.empty())
        return makeError(ErrorCode::PortOpen, "no port selected");
    if (isUserTerminal(name))
        return makeError(ErrorCode::PortOpen,
                         name + " is not a serial port: it is a terminal to type in", ENOTTY);
    int fd;
    do {
        fd = sys.open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return systemError(ErrorCode::PortOpen, "open " + name, errno);

    auto fail = [&](const std::string& what, int err) -> Result<std::unique_ptr<SerialPort>> {
        sys.close(fd);
        return systemError(ErrorCode::PortOpen, what, err);
    };
    termios probe{};
    if (sys.tcgetattr(fd, &probe) != 0)
        return fail(name + " is not a serial port", errno);
    if (sys.flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(name + " is in use", errno == EWOULDBLOCK ? EBUSY : errno);
    if (sys.ioctl(fd, TIOCEXCL, nullptr) != 0)
        return fail("TIOCEXCL " + name, errno);

    int wake[2];
    if (::pipe(wake) != 0)
        return fail("pipe", errno);
    for (int w : wake) {
        ::fcntl(w, F_SETFL, ::fcntl(w, F_GETFL) | O_NONBLOCK);
        ::fcntl(w, F_SETFD, FD_CLOEXEC);
    }
    return std::unique_ptr<SerialPort>(
        std::make_unique<PosixSerialPort>(name, sys, fd, wake[0], wake[1]));
}

void PosixSerialPort::close() {
    if (m_fd >= 0) {
        m_sys.ioctl(m_fd, TIOCNXCL, nullptr);
        m_sys.flock(m_fd, LOCK_UN);
        m_sys.close(m_fd);
        m_fd = -1;
    }
    if (m_wakeRead >= 0) {
        ::close(m_wakeRead);
        ::close(m_wakeWrite);
        m_wakeRead = m_wakeWrite = -1;
    }
}

Result<void> PosixSerialPort::doApplyLineSettings(const LineSettings& settings) {
    const auto& sys = m_sys;
    // A speed without a termios constant (28800) is set exactly once the rest is applied.
    const speed_t speed = posix::speedConstant(settings.baud);
#ifndef CMSPAR
    return makeError(ErrorCode::PortSetup, "this system cannot set mark or space parity");
#else
    termios t{};
    if (sys.tcgetattr(m_fd, &t) != 0)
        return systemError(ErrorCode::PortSetup, "tcgetattr " + name(), errno);

    // Firmware is binary: no line editing, echo, signals, CR/LF translation, output
    // processing, software flow control or parity marking. Stop bits (CSTOPB), hardware
    // flow control (CRTSCTS), CLOCAL and parity checking stay as the port has them.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR);
    t.c_cflag |= sizeFlag(settings.dataBits) | CREAD | PARENB | CMSPAR;
    if (settings.parity == Parity::Mark)
        t.c_cflag |= PARODD;
    cfsetispeed(&t, speed == B0 ? B38400 : speed);
    cfsetospeed(&t, speed == B0 ? B38400 : speed);
    int rc;
    do {
        rc = sys.tcsetattr(m_fd, TCSANOW, &t);
    } while (rc != 0 && errno == EINTR);
    // glibc answers EINVAL when the kernel did not keep PARENB, which a pseudo-terminal
    // never does although it applied the rest; the read-back below decides then.
    if (rc != 0 && errno != EINVAL)
        return systemError(ErrorCode::PortSetup, "tcsetattr " + name(), errno);
    if (speed == B0) {
        if (const int err = posix::setExactSpeed(m_fd, settings.baud, m_sys); err != 0)
            return systemError(ErrorCode::PortSetup,
                               name() + ": " + std::to_string(settings.baud) + " baud", err);
    }

    // Drivers accept what they cannot do and report the truth only when read back. PARENB
    // is not checked: a pseudo-terminal clears it while keeping CMSPAR and PARODD.
    termios back{};
    if (sys.tcgetattr(m_fd, &back) != 0)
        return systemError(ErrorCode::PortSetup, "tcgetattr " + name(), errno);
    if ((back.c_lflag & (ICANON | ECHO)) || (back.c_oflag & OPOST) ||
        (back.c_cflag & CSIZE) != sizeFlag(settings.dataBits))
        return makeError(ErrorCode::PortSetup, name() + ": the line settings were not taken");
    if (!(back.c_cflag & CMSPAR)) {
        // Which adapter it is decides what to buy instead: name its driver.
        const std::string driver = portDriver(name());
        return makeError(ErrorCode::PortSetup,
                         name() + ": the adapter" +
                             (driver.empty() ? "" : " (driver " + driver + ")") +
                             " cannot do mark/space parity (CMSPAR dropped)");
    }
    if (((back.c_cflag & PARODD) != 0) != (settings.parity == Parity::Mark))
        return makeError(ErrorCode::PortSetup, name() + ": the adapter refused the parity");
    const auto actual = posix::readExactSpeed(m_fd, m_sys);
    if (actual ? *actual != settings.baud : cfgetospeed(&back) != speed)
        return makeError(ErrorCode::PortSetup, name() + ": the adapter refused " +
                                                   std::to_string(settings.baud) + " baud");
    m_baud = settings.baud;
    return {};
#endif
}

PosixSerialPort::Ready PosixSerialPort::pollPort(short events, int limitMs, std::stop_token& stop,
                                                 int& osError) {
    const auto& sys = m_sys;
    if (stop.stop_requested())
        return Ready::Stopped;
    const int wakeWrite = m_wakeWrite;
    std::stop_callback onStop(stop, [wakeWrite] {
        const char one = 1;
        [[maybe_unused]] auto n = ::write(wakeWrite, &one, 1);
    });
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(limitMs);
    for (;;) {
        pollfd fds[2] = {{m_fd, events, 0}, {m_wakeRead, POLLIN, 0}};
        int timeout = -1;
        if (limitMs >= 0) {
            const auto left =
                std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<milliseconds::rep>(0, left.count()));
        }
        const int rc = sys.poll(fds, 2, timeout);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            osError = errno;
            return Ready::Failed;
        }
        if (fds[1].revents != 0 || stop.stop_requested()) {
            char sink[16];
            while (::read(m_wakeRead, sink, sizeof sink) > 0) {
            }
            return Ready::Stopped;
        }
        if (fds[0].revents & events)
            return Ready::Yes;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            osError = EIO;
            return Ready::HungUp;
        }
        if (rc == 0)
            return Ready::TimedOut;
    }
}

Result<bool> PosixSerialPort::doWaitReadable(milliseconds limit, std::stop_token stop) {
    auto waiting = doBytesWaiting();
    if (!waiting)
        return waiting.error();
    if (*waiting > 0)
        return true;
    int err = 0;
    const int limitMs = static_cast<int>(std::clamp<milliseconds::rep>(limit.count(), 0, 1 << 30));
    switch (pollPort(POLLIN, limitMs, stop, err)) {
    case Ready::Yes:
        return true;
    case Ready::TimedOut:
        return false;
    case Ready::Stopped:
        return stopped();
    case Ready::HungUp:
        return hungUp();
    case Ready::Failed:
        break;
    }
    return systemError(ErrorCode::PortIo, "poll " + name(), err);
}

Result<std::size_t> PosixSerialPort::doBytesWaiting() {
    int n = 0;
    if (m_sys.ioctl(m_fd, FIONREAD, &n) != 0)
        return systemError(ErrorCode::PortIo, "FIONREAD " + name(), errno);
    return static_cast<std::size_t>(std::max(0, n));
}

// Reads never block here: poll has waited already.
Result<std::size_t> PosixSerialPort::doRead(std::span<std::uint8_t> buffer, milliseconds,
                                            std::stop_token) {
    if (buffer.empty())
        return std::size_t{0};
    for (;;) {
        const ssize_t n = m_sys.read(m_fd, buffer.data(), buffer.size());
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return std::size_t{0};
        return systemError(ErrorCode::PortIo, "read " + name(), errno);
    }
}

Result<void> PosixSerialPort::doWrite(std::span<const std::uint8_t> data, std::stop_token stop) {
    const auto& sys = m_sys;
    std::size_t done = 0;
    while (done < data.size()) {
        if (stop.stop_requested())
            return stopped();
        const ssize_t n = sys.write(m_fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int err = n == 0 ? EAGAIN : errno;
        if (err == EINTR)
            continue;
        if (err != EAGAIN && err != EWOULDBLOCK)
            return systemError(ErrorCode::PortIo, "write " + name(), err);
        // The driver's queue is full: wait until it takes more (no limit, like the
        // original write), or a stop.
        int pollErr = 0;
        switch (pollPort(POLLOUT, -1, stop, pollErr)) {
        case Ready::Yes:
        case Ready::TimedOut:
            break;
        case Ready::Stopped:
            return stopped();
        case Ready::HungUp:
            return hungUp();
        case Ready::Failed:
            return systemError(ErrorCode::PortIo, "poll " + name(), pollErr);
        }
    }
    return drain(stop);
}

// tcdrain cannot be interrupted by a stop request, so the output queue is watched until it
// is empty first; tcdrain then returns at once and only covers the last character.
Result<void> PosixSerialPort::drain(std::stop_token& stop) {
    const auto& sys = m_sys;
    for (;;) {
        int queued = 0;
        if (sys.ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        // Time for the queue at the line's speed, 11 bits a byte, in slices short enough
        // for a prompt stop.
        const auto ms = static_cast<int>(
            std::clamp<long long>(static_cast<long long>(queued) * 11 * 1000 / m_baud, 1, 20));
        int err = 0;
        switch (pollPort(0, ms, stop, err)) {
        case Ready::Stopped:
            return stopped();
        case Ready::HungUp:
            return hungUp();
        default:
            break;
        }
    }
    int rc;
    do {
        rc = sys.tcdrain(m_fd);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && hardError(errno))
        return systemError(ErrorCode::PortIo, "tcdrain " + name(), errno);
    return {};
}

Result<void> PosixSerialPort::flush(int queue) {
    if (m_sys.tcflush(m_fd, queue) != 0)
        return systemError(ErrorCode::PortIo, "tcflush " + name(), errno);
    return {};
}

SerialPortFactory& platformSerialPorts() {
    static PosixSerialPorts factory;
    return factory;
}

} // namespace cpuconfig
