// The POSIX serial port over a real pseudo-terminal, with faults injected at the system
// call seam where a real line cannot make them; the port list; and the port lister against
// a /sys and /dev tree laid out as a real FTDI FT232R and a real CH340 adapter make it,
// beside a built-in UART, a placeholder UART and a virtual console.
#include "LinkTestSupport.h"

#include "link/PortFault.h"
#include "link/PortInfo.h"
#include "link/PortList.h"
#include "link/PosixSerialPort.h"
#include "link/PosixSys.h"
#include "sim/SimulatedPort.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

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
        UpgradeRig rig;
        const auto bytes = packageBytes(8 + 20000);
        writeBytes(rig.package, bytes);
        SimCard card;
        const auto& real = posix::realSyscalls();
        posix::Syscalls sys = real;
        auto calls = std::make_shared<std::atomic<int>>(0);
        auto written = std::make_shared<std::atomic<std::size_t>>(0);
        auto afterGone = std::make_shared<std::atomic<int>>(0);
        sys.write = [=, &real](int fd, const void* buf, size_t n) -> ssize_t {
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
        sys.poll = [=, &real](pollfd* fds, unsigned long n, int ms) {
            if (f.pollFails && (*polls)++ < 3) {
                errno = EINTR;
                return -1;
            }
            return real.poll(fds, n, ms);
        };
        PosixSerialPorts ports(sys);
        rig.ports = &ports;
        rig.runOn(card.port());
        if (f.goneFrom) {
            EXPECT_EQ(rig.ending(), kBrokenOff);
            EXPECT_EQ(afterGone->load(), 1);
            EXPECT_TRUE(rig.clock.sleeps().empty());
        } else {
            EXPECT_EQ(rig.ending(), kConfirmed);
            EXPECT_EQ(card.record().transfer,
                      std::vector<std::uint8_t>(bytes.begin() + 8, bytes.end()));
        }
    }
}

TEST(SerialPort, adapterWithoutMarkSpaceParityIsRefused) {
    Pty pty;
    posix::Syscalls sys = posix::realSyscalls();
    sys.tcgetattr = [real = sys.tcgetattr](int fd, termios* t) {
        const int r = real(fd, t);
        t->c_cflag &= ~static_cast<tcflag_t>(CMSPAR); // what such a driver reports
        return r;
    };
    auto port = PosixSerialPorts(sys).open(pty.name);
    ASSERT_TRUE(port);
    auto r = (*port)->applyLineSettings({});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, ErrorCode::PortSetup);
    EXPECT_NE(r.error().message.find("mark/space"), std::string::npos);
}

// A port another exchange holds, and a file that is no port, fail at the open; once closed,
// a port refuses every call alike and touches nothing.
TEST(SerialPort, heldPortFileAndClosedPortAreRefused) {
    Pty pty;
    TempDir dir;
    writeBytes(dir / "file", {1, 2, 3});
    auto first = platformSerialPorts().open(pty.name);
    ASSERT_TRUE(first);
    for (const std::string& name : {pty.name, (dir / "file").string()}) {
        auto second = platformSerialPorts().open(name);
        ASSERT_FALSE(second) << name;
        EXPECT_EQ(second.error().code, ErrorCode::PortOpen);
    }
    (*first)->close();
    EXPECT_TRUE(portFree(pty.name));
    SerialPort& closed = **first;
    std::array<std::uint8_t, 1> byte{};
    for (const auto& r : {closed.applyLineSettings({}), closed.expect(Awaiting::Acknowledge),
                          closed.write(byte, {}), closed.discardInput(), closed.discardOutput()})
        EXPECT_EQ(r.error().code, ErrorCode::PortIo);
    EXPECT_EQ(closed.waitReadable(std::chrono::milliseconds(1), {}).error().code,
              ErrorCode::PortIo);
    EXPECT_EQ(closed.bytesWaiting().error().code, ErrorCode::PortIo);
    EXPECT_EQ(closed.read(byte, std::chrono::milliseconds(1), {}).error().code, ErrorCode::PortIo);
}

TEST(PortList, sortsLikeThePanelList) {
    std::vector<std::string> names = {"COM2", "com10", "COM1", "/dev/ttyUSB0", "/dev/ttyS1"};
    sortPortNames(names);
    EXPECT_EQ(names,
              (std::vector<std::string>{"/dev/ttyS1", "/dev/ttyUSB0", "COM1", "com10", "COM2"}));
}

namespace fs = std::filesystem;

struct FakeTree {
    TempDir dir;
    // Entries: "path=text" a file, "path->target" a link.
    explicit FakeTree(std::initializer_list<std::string> entries) {
        for (const std::string& e : entries) {
            const auto arrow = e.find("->");
            const auto eq = e.find('=');
            const fs::path p = dir / e.substr(0, std::min(arrow, eq));
            fs::create_directories(p.parent_path());
            if (arrow != std::string::npos)
                fs::create_symlink(e.substr(arrow + 2), p);
            else
                std::ofstream(p) << e.substr(eq + 1) << "\n";
        }
    }
};

const std::string kUsb = "sys/devices/pci0000:00/0000:00:14.0/usb1/";
const std::string kFtdi = kUsb + "1-2/1-2:1.0/ttyUSB0/";
const std::string kCh340 = kUsb + "1-3/1-3:1.0/ttyUSB1/";
const std::string kUart = "sys/devices/pnp0/00:01/00:01:0/00:01:0.0/";

FakeTree adapters() {
    return FakeTree{
        kUsb + "1-2/idVendor=0403", kUsb + "1-2/idProduct=6001", kUsb + "1-2/manufacturer=FTDI",
        kUsb + "1-2/product=FT232R USB UART", kUsb + "1-2/serial=A50285BI",
        kUsb + "1-2/1-2:1.0/bInterfaceNumber=00",
        kUsb + "1-2/1-2:1.0/driver->../../../../../../bus/usb/drivers/ftdi_sio",
        kFtdi + "driver->../../../../../../../bus/usb-serial/drivers/ftdi_sio",
        kFtdi + "tty/ttyUSB0/device->../../../ttyUSB0",
        "sys/class/tty/ttyUSB0->../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/"
        "tty/ttyUSB0",
        kUsb + "1-3/idVendor=1a86", kUsb + "1-3/idProduct=7523", kUsb + "1-3/product=USB2.0-Serial",
        kUsb + "1-3/1-3:1.0/bInterfaceNumber=00",
        kUsb + "1-3/1-3:1.0/driver->../../../../../../bus/usb/drivers/ch341",
        kCh340 + "driver->../../../../../../../bus/usb-serial/drivers/ch341-uart",
        kCh340 + "tty/ttyUSB1/device->../../../ttyUSB1",
        "sys/class/tty/ttyUSB1->../../devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB1/"
        "tty/ttyUSB1",
        "sys/devices/pnp0/00:01/driver->../../../bus/pnp/drivers/serial",
        kUart + "driver->../../../../../bus/serial-base/drivers/port",
        kUart + "tty/ttyS0/device->../../../00:01:0.0", kUart + "tty/ttyS0/type=4",
        "sys/class/tty/ttyS0->../../devices/pnp0/00:01/00:01:0/00:01:0.0/tty/ttyS0",
        "sys/devices/platform/serial8250/tty/ttyS1/device->../../../serial8250",
        "sys/devices/platform/serial8250/tty/ttyS1/type=0",
        "sys/class/tty/ttyS1->../../devices/platform/serial8250/tty/ttyS1",
        "sys/devices/virtual/tty/tty0/dev=4:0",
        "sys/class/tty/tty0->../../devices/virtual/tty/tty0",
        // Device nodes cannot be made without root: links to one stand in for them.
        "dev/ttyUSB0->/dev/null", "dev/ttyUSB1->/dev/null", "dev/ttyS0->/dev/null",
        "dev/ttyS1->/dev/null", "dev/tty0->/dev/null",
        "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0->../../ttyUSB0",
        "dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0->../../ttyUSB1",
        "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0->../../ttyUSB0",
        "dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0->../../ttyUSB1"};
}

std::string fields(const PortInfo& p) {
    std::string s = p.device + " |";
    for (const auto& l : p.byId)
        s += " " + l;
    s += " |";
    for (const auto& l : p.byPath)
        s += " " + l;
    const auto card = simulatedPort(p);
    return s + " | " + p.driver + " " + p.vendorId + ":" + p.productId + " " + p.serial + " | " +
           p.manufacturer + " | " + p.product +
           (card ? " | simulated " + std::to_string(card->screen) + " " + card->model : "");
}

TEST(PortInfo, adaptersSayWhatTheyAre) {
    FakeTree tree = adapters();
    TempDir runtime;
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    auto sim = Simulator::create({.screen = 3, .model = "QX-9"});
    ASSERT_TRUE(sim);
    ASSERT_TRUE((*sim)->registerPort("SIM1"));
    const std::string simPort = (runtime / "cpuconfig-ports" / "SIM1").string();
    // A link left by a card that is gone is no port, and a name in use is not given twice.
    fs::create_symlink("/dev/cpuconfig-gone", registeredPortsFolder() / "STALE");
    EXPECT_FALSE((*Simulator::create({}))->registerPort("SIM1"));

    std::vector<std::string> got;
    for (const auto& p : describeSerialPorts({tree.dir.path(), {}}))
        got.push_back(fields(p));
    const std::string ftdiId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const std::vector<std::string> expected = {
        "/dev/ttyS0 | | | serial :  |  | ",
        "/dev/ttyUSB0 | " + ftdiId +
            " | /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0 | ftdi_sio 0403:6001 "
            "A50285BI | FTDI | FT232R USB UART",
        "/dev/ttyUSB1 | /dev/serial/by-id/usb-1a86_USB2.0-Serial-if00-port0 | "
        "/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0 | ch341 1a86:7523  |  | "
        "USB2.0-Serial",
        simPort + " | | |  :  |  |  | simulated 3 QX-9"};
    EXPECT_EQ(got, expected);

    // cpuctl reads the same tree when told to.
    const auto r =
        runCommand("'" + cpuctl() + "' ports --long --json --root " + tree.dir.path().string());
    const auto usb = nlohmann::ordered_json::parse(r.out).at(1);
    EXPECT_EQ(usb.dump(),
              R"({"device":"/dev/ttyUSB0","byId":[")" + ftdiId +
                  R"("],"byPath":["/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"],)"
                  R"("driver":"ftdi_sio","vendorId":"0403","productId":"6001","serial":"A50285BI",)"
                  R"("manufacturer":"FTDI","product":"FT232R USB UART","simulated":false})");

    const PortTree fake{tree.dir.path(), {}};
    EXPECT_EQ(portDriver(ftdiId, fake), "ftdi_sio");
    ASSERT_TRUE(findPort(ftdiId, fake));
    EXPECT_EQ(findPort(ftdiId, fake)->device, "/dev/ttyUSB0");
    // A renumbered adapter is found again by its stable name.
    const auto why =
        explainPortFault("/dev/ttyUSB2", makeError(ErrorCode::PortOpen, "", ENOENT), fake);
    EXPECT_NE(why.find("no such port; ports now: "), std::string::npos) << why;
    EXPECT_NE(why.find("/dev/ttyUSB0 (" + ftdiId + ")"), std::string::npos) << why;
    // A simulated card says what it is in the card's own words.
    EXPECT_NE(why.find(simPort + " (simulated card, screen 3)"), std::string::npos) << why;
    EXPECT_EQ(findPort(simPort, fake)->description(),
              "simulated card, screen 3, model QX-9, on " + (*sim)->devicePath());
}

} // namespace
} // namespace cpuconfig::test
