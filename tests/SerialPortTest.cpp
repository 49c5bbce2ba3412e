// The POSIX serial port over a real pseudo-terminal, with faults injected at the system
// call seam where a real line cannot make them.
#include "LinkTestSupport.h"

#include "link/PortList.h"
#include "link/PosixSerialPort.h"
#include "link/PosixSys.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;

// A bare pseudo-terminal whose far end nobody reads.
struct Pty {
    int master = -1, slave = -1;
    std::string name;
    Pty() {
        char n[128];
        if (::openpty(&master, &slave, n, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        name = n;
    }
    ~Pty() {
        ::close(master);
        ::close(slave);
    }
};

// Puts the real system calls back whatever a test changed.
struct SeamGuard {
    ~SeamGuard() { posix::syscalls() = posix::realSyscalls(); }
};

// Writes that the system interrupts, refuses for now, or takes only in part, and polls it
// interrupts, lose nothing; a device that goes away mid-transfer stops it at once, without
// one more write into the dead port and without waiting for an answer.
TEST(SerialPortSeam, faultsDuringAnUpgrade) {
    struct Row {
        const char* name;
        int error;            // errno of every failed call
        int every;            // every n-th write fails; 0: none
        std::size_t limit;    // bytes a write takes at most; 0: all
        std::size_t goneFrom; // every write fails once this many bytes went out; 0: never
        bool pollFails;       // the first polls are interrupted
    };
    const Row rows[] = {{"EINTR", EINTR, 2, 0, 0, false},    {"EAGAIN", EAGAIN, 3, 0, 0, false},
                        {"short writes", 0, 0, 3, 0, false}, {"interrupted poll", 0, 0, 0, 0, true},
                        {"EIO", EIO, 0, 0, 5000, false},     {"ENXIO", ENXIO, 0, 0, 5000, false}};
    for (const auto& f : rows) {
        SCOPED_TRACE(f.name);
        SeamGuard guard;
        UpgradeRig rig;
        const auto bytes = packageBytes(8 + 20000);
        writeBytes(rig.package, bytes);
        SimCard card;
        const auto real = posix::realSyscalls();
        auto calls = std::make_shared<std::atomic<int>>(0);
        auto written = std::make_shared<std::atomic<std::size_t>>(0);
        auto afterGone = std::make_shared<std::atomic<int>>(0);
        posix::syscalls().write = [=](int fd, const void* buf, size_t n) -> ssize_t {
            if ((f.goneFrom && *written >= f.goneFrom && ++*afterGone) ||
                (f.every && (*calls)++ % f.every == 0)) {
                errno = f.error;
                return -1;
            }
            const ssize_t r = real.write(fd, buf, f.limit ? std::min(n, f.limit) : n);
            *written += r > 0 ? static_cast<std::size_t>(r) : 0;
            return r;
        };
        auto polls = std::make_shared<std::atomic<int>>(0);
        posix::syscalls().poll = [=](pollfd* fds, unsigned long n, int ms) {
            if (f.pollFails && (*polls)++ < 3) {
                errno = EINTR;
                return -1;
            }
            return real.poll(fds, n, ms);
        };
        rig.runOn(card.port());
        const auto sent = rig.window.sent();
        if (f.goneFrom) {
            EXPECT_EQ(Messages(sent.end() - 2, sent.end()), (Messages{kSendFailed, msgResult(1)}));
            EXPECT_EQ(afterGone->load(), 1);
            EXPECT_TRUE(rig.clock.sleeps().empty());
        } else {
            EXPECT_EQ(sent.back(), msgResult(0));
            EXPECT_EQ(card.record().transfer,
                      std::vector<std::uint8_t>(bytes.begin() + 8, bytes.end()));
        }
    }
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
    EXPECT_TRUE(portFree(pty.name));
}

TEST(PortList, sortsLikeThePanelList) {
    std::vector<std::string> names = {"COM2", "com10", "COM1", "/dev/ttyUSB0", "/dev/ttyS1"};
    sortPortNames(names);
    EXPECT_EQ(names,
              (std::vector<std::string>{"/dev/ttyS1", "/dev/ttyUSB0", "COM1", "com10", "COM2"}));
}

} // namespace
} // namespace cpuconfig::test
