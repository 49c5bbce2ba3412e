// The POSIX serial port over a real pseudo-terminal, with faults injected at the system
// call seam where a real line cannot make them.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "link/PortList.h"
#include "link/PosixSerialPort.h"
#include "link/PosixSys.h"
#include "link/Upgrade.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;

// A bare pseudo-terminal: the test reads and writes the master itself.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;
    Pty() {
        char n[128];
        if (::openpty(&master, &slave, n, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        name = n;
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        ::close(master);
        ::close(slave);
    }
    std::vector<std::uint8_t> drain() {
        std::vector<std::uint8_t> out;
        std::uint8_t b[4096];
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                return out;
            const ssize_t n = ::read(master, b, sizeof b);
            if (n <= 0)
                return out;
            out.insert(out.end(), b, b + n);
        }
    }
};

// Puts the real system calls back whatever a test changed.
struct SeamGuard {
    ~SeamGuard() { posix::syscalls() = posix::realSyscalls(); }
};

std::unique_ptr<SerialPort> openRaw(const Pty& pty) {
    auto port = PosixSerialPort::open(pty.name);
    if (!port)
        throw std::runtime_error(port.error().message);
    LineSettings line;
    line.parity = Parity::Space;
    if (!(*port)->applyLineSettings(line))
        throw std::runtime_error("line settings");
    return std::move(*port);
}

// Writes that the system interrupts, refuses for now, or takes only in part.
struct WriteFault {
    const char* name;
    int error;         // errno of every failed call
    int every;         // every n-th call fails; 0: none
    std::size_t limit; // bytes a call takes at most; 0: all
};
class SerialPortWrite : public ::testing::TestWithParam<WriteFault> {};

TEST_P(SerialPortWrite, everyByteArrivesInOrder) {
    SeamGuard guard;
    Pty pty;
    auto port = openRaw(pty);
    auto real = posix::realSyscalls().write;
    auto calls = std::make_shared<int>(0);
    const WriteFault f = GetParam();
    posix::syscalls().write = [real, calls, f](int fd, const void* buf, size_t n) -> ssize_t {
        if (f.every && (*calls)++ % f.every == 0) {
            errno = f.error;
            return -1;
        }
        return real(fd, buf, f.limit ? std::min(n, f.limit) : n);
    };
    const auto data = randomBytes(1000, 7);
    ASSERT_TRUE(port->write(data, {}));
    EXPECT_EQ(pty.drain(), data);
}

INSTANTIATE_TEST_SUITE_P(Faults, SerialPortWrite,
                         ::testing::Values(WriteFault{"eintr", EINTR, 2, 0},
                                           WriteFault{"eagain", EAGAIN, 3, 0},
                                           WriteFault{"short", 0, 0, 3}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SerialPort, deviceGoneOnWriteIsAnIoError) {
    for (int err : {EIO, ENXIO}) {
        SeamGuard guard;
        Pty pty;
        auto port = openRaw(pty);
        posix::syscalls().write = [err](int, const void*, size_t) -> ssize_t {
            errno = err;
            return -1;
        };
        auto r = port->write(randomBytes(10, 1), {});
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().code, ErrorCode::PortIo);
        EXPECT_EQ(r.error().osError, err);
    }
}

TEST(SerialPort, interruptedPollStillSeesTheCharacter) {
    SeamGuard guard;
    Pty pty;
    auto port = openRaw(pty);
    auto real = posix::realSyscalls().poll;
    auto calls = std::make_shared<int>(0);
    posix::syscalls().poll = [real, calls](pollfd* fds, unsigned long n, int ms) {
        if ((*calls)++ < 3) {
            errno = EINTR;
            return -1;
        }
        return real(fds, n, ms);
    };
    std::jthread writer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        [[maybe_unused]] auto n = ::write(pty.master, "\x01", 1);
    });
    auto r = port->waitReceive(milliseconds(5000), {});
    ASSERT_TRUE(r);
    EXPECT_TRUE(*r);
    EXPECT_EQ(*port->clearErrors(), 1u);
}

TEST(SerialPort, adapterWithoutMarkSpaceParityIsRefused) {
    SeamGuard guard;
    Pty pty;
    auto port = PosixSerialPort::open(pty.name);
    ASSERT_TRUE(port);
    auto real = posix::realSyscalls().tcgetattr;
    posix::syscalls().tcgetattr = [real](int fd, termios* t) {
        const int r = real(fd, t);
        t->c_cflag &= ~static_cast<tcflag_t>(CMSPAR); // what such a driver reports
        return r;
    };
    auto r = (*port)->applyLineSettings({});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, ErrorCode::PortSetup);
    EXPECT_NE(r.error().message.find("mark/space"), std::string::npos);
}

// A port another exchange holds, and a file that is no port, fail at the open.
TEST(SerialPort, openRefusesAHeldPortAndARegularFile) {
    Pty pty;
    TempDir dir;
    writeBytes(dir / "file", {1, 2, 3});
    auto first = PosixSerialPort::open(pty.name);
    ASSERT_TRUE(first);
    for (const std::string& name : {pty.name, (dir / "file").string()}) {
        auto second = PosixSerialPort::open(name);
        ASSERT_FALSE(second) << name;
        EXPECT_EQ(second.error().code, ErrorCode::PortOpen);
    }
    (*first)->close();
    EXPECT_TRUE(PosixSerialPort::open(pty.name));
}

TEST(SerialPort, stopEndsAWaitAndABlockedWritePromptly) {
    Pty pty;
    auto port = openRaw(pty);
    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(milliseconds(50));
        stop.request_stop();
    });
    auto start = std::chrono::steady_clock::now();
    auto waited = port->waitReceive(milliseconds(10000), stop.get_token());
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().code, ErrorCode::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));
    stopper.join();

    // Nobody reads the far end: the write fills the line's buffers and blocks.
    std::stop_source stop2;
    std::jthread stopper2([&] {
        std::this_thread::sleep_for(milliseconds(100));
        stop2.request_stop();
    });
    start = std::chrono::steady_clock::now();
    auto wrote = port->write(std::vector<std::uint8_t>(1 << 20, 0x55), stop2.get_token());
    ASSERT_FALSE(wrote);
    EXPECT_EQ(wrote.error().code, ErrorCode::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));
}

TEST(Upgrade, injectedIoErrorStopsTheTransferAtOnce) {
    SeamGuard guard;
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(8 + 100000));
    SimCard card;
    auto real = posix::realSyscalls().write;
    auto written = std::make_shared<std::atomic<std::size_t>>(0);
    auto afterFailure = std::make_shared<std::atomic<int>>(0);
    posix::syscalls().write = [=](int fd, const void* buf, size_t n) -> ssize_t {
        if (*written >= 5000) {
            ++*afterFailure;
            errno = EIO;
            return -1;
        }
        const ssize_t r = real(fd, buf, n);
        if (r > 0)
            *written += static_cast<std::size_t>(r);
        return r;
    };
    UpgradeRig rig;
    rig.package = dir / "RQ_CPU.cpu";
    rig.runOn(card.port());
    const auto sent = rig.window.sent();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], kSendFailed);
    EXPECT_EQ(sent.back(), msgResult(1));
    EXPECT_EQ(afterFailure->load(), 1); // not one more write into the dead port
    EXPECT_TRUE(rig.clock.sleeps().empty());
}

TEST(PortList, sortsLikeThePanelList) {
    std::vector<std::string> names = {"COM2", "com10", "COM1", "/dev/ttyUSB0", "/dev/ttyS1"};
    sortPortNames(names);
    EXPECT_EQ(names,
              (std::vector<std::string>{"/dev/ttyS1", "/dev/ttyUSB0", "COM1", "com10", "COM2"}));
}

TEST(PortList, listsRunningSimulatedCardsOnly) {
    TempDir runtime;
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    {
        SimCard card;
        auto path = card.sim().registerPort("SIMTEST");
        ASSERT_TRUE(path);
        std::filesystem::create_symlink("/dev/cpuconfig-gone", simulatedPortsFolder() / "STALE");
        const auto ports = listSerialPorts();
        EXPECT_NE(std::find(ports.begin(), ports.end(), path->string()), ports.end());
        for (const auto& p : ports)
            EXPECT_EQ(p.find("STALE"), std::string::npos);
        // A second card cannot take a name in use.
        SimCard other;
        EXPECT_FALSE(other.sim().registerPort("SIMTEST"));
        card.sim().unregisterPort();
        const auto after = listSerialPorts();
        EXPECT_EQ(std::find(after.begin(), after.end(), path->string()), after.end());
    }
    if (old)
        ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
} // namespace cpuconfig::test
