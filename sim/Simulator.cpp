#include "sim/Simulator.h"

#include "link/PortList.h"
#include "link/PosixBaud.h"
#include "link/PosixSpeed.h"
#include "sim/SimulatedPort.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace cpuconfig {
namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

} // namespace

Simulator::Simulator(SimulatorOptions options) : m_card(std::move(options)) {}

Result<std::unique_ptr<Simulator>> Simulator::create(SimulatorOptions options) {
    std::unique_ptr<Simulator> sim(new Simulator(std::move(options)));
    if (auto r = sim->openPty(); !r)
        return r.error();
    return sim;
}

Simulator::~Simulator() {
    unregisterPort();
    closePty();
}

Result<void> Simulator::openPty() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return makeError(ErrorCode::PortOpen, std::string("posix_openpt: ") + std::strerror(errno),
                         errno);
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        const int err = errno;
        ::close(master);
        return makeError(ErrorCode::PortOpen, std::string("pty: ") + std::strerror(err), err);
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        const int err = errno;
        ::close(master);
        return makeError(ErrorCode::PortOpen,
                         std::string("open ") + name + ": " + std::strerror(err), err);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    std::lock_guard lock(m_mutex);
    m_master = master;
    m_slave = slave;
    m_device = name;
    return {};
}

void Simulator::closePty() {
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

std::string Simulator::devicePath() const {
    std::lock_guard lock(m_mutex);
    return m_device;
}

std::string simPortNameProblem(const std::string& name) {
    if (name.empty() || name.find_first_of("/\\.") != std::string::npos)
        return "\"" + name + "\" is not a plain name (no slashes, backslashes or dots)";
    return "";
}

Result<fs::path> Simulator::registerPort(const std::string& name) {
    if (const auto problem = simPortNameProblem(name); !problem.empty())
        return makeError(ErrorCode::Usage, "port name " + problem);
    unregisterPort();
    const fs::path folder = registeredPortsFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    const fs::path link = folder / name;
    // The name is held while its ".card" file is locked. The lock goes with the process
    // that holds it, also when that one is killed; a new pseudo-terminal may get the number
    // of a killed card's, so the device the link points to tells nothing.
    const std::string cardFile = link.string() + ".card";
    const int lock = ::open(cardFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (lock < 0)
        return makeError(ErrorCode::CreateFailed, cardFile + ": " + std::strerror(errno), errno);
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        ::close(lock);
        return makeError(ErrorCode::PortOpen, link.string() + " is held by a running card");
    }
    fs::remove(link, ec);
    fs::create_symlink(devicePath(), link, ec);
    if (ec) {
        ::close(lock);
        return makeError(ErrorCode::CreateFailed, link.string() + ": " + ec.message(), ec.value());
    }
    m_registered = link;
    m_nameLock = lock;
    // What the port lister shows for this card (link/PortInfo.h reads it).
    const std::string card = simulatedPortFile(m_card.options().screen,
                                               m_card.options().model.substr(0, kSimModelBytes));
    if (::ftruncate(lock, 0) != 0 || ::write(lock, card.data(), card.size()) < 0)
        log(cardFile + ": " + std::strerror(errno));
    return link;
}

void Simulator::unregisterPort() {
    if (m_registered.empty())
        return;
    std::error_code ec;
    fs::remove(m_registered, ec);
    fs::remove(m_registered.string() + ".card", ec);
    m_registered.clear();
    ::close(m_nameLock); // after the removal: a new card may take the name from here on
    m_nameLock = -1;
}

void Simulator::log(const std::string& line) {
    m_card.log(line);
}

SimRecord Simulator::record() const {
    std::lock_guard lock(m_mutex);
    return m_card.record();
}

void Simulator::run(std::stop_token stop) {
    std::vector<std::uint8_t> buf(4096);
    const bool baudLimit = m_card.options().baudLimit;
    while (!stop.stop_requested()) {
        pollfd pfd{m_master, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, 20);
        if (rc <= 0 || !(pfd.revents & POLLIN))
            continue;
        const std::size_t chunk = baudLimit ? 64 : buf.size();
        const ssize_t n = ::read(m_master, buf.data(), chunk);
        if (n <= 0 || !m_powered)
            continue;
        termios t{};
        ::tcgetattr(m_slave, &t);
        SimLine line;
        line.mark = (t.c_cflag & CMSPAR) && (t.c_cflag & PARODD);
        line.space = (t.c_cflag & CMSPAR) && !(t.c_cflag & PARODD);
        line.twoStopBits = t.c_cflag & CSTOPB;
        line.hardwareFlow = t.c_cflag & CRTSCTS;
        line.raw = !(t.c_lflag & (ICANON | ECHO)) && !(t.c_oflag & OPOST);
        line.baud = posix::readExactSpeed(m_slave).value_or(posix::baudOfConstant(cfgetospeed(&t)));
        line.bytes = static_cast<std::size_t>(n);
        m_baud = line.baud;
        if (baudLimit) {
            // The bytes could not have arrived before the line carried them.
            advanceLine(static_cast<std::size_t>(n));
        }
        std::size_t count = static_cast<std::size_t>(n);
        std::size_t first = 0;
        bool midFrame;
        {
            std::lock_guard lock(m_mutex);
            midFrame = m_card.midFrame();
        }
        if (line.mark && midFrame) {
            // The other end broke off a transfer and addresses anew. A real line would have
            // carried the rest of the transfer long ago under space parity; here it still
            // waits in the pty, read as if under mark. The address is the last thing
            // written, so only the last two bytes count.
            for (;;) {
                if (buf.size() - count < 4096)
                    buf.resize(buf.size() + 65536);
                pollfd more{m_master, POLLIN, 0};
                if (::poll(&more, 1, 5) <= 0)
                    break;
                const ssize_t m = ::read(m_master, buf.data() + count, buf.size() - count);
                if (m <= 0)
                    break;
                count += static_cast<std::size_t>(m);
            }
            if (count > 2) {
                first = count - 2;
                log("dropped " + std::to_string(first) + " bytes of a broken-off transfer");
            }
        }
        SimAction action;
        {
            std::lock_guard lock(m_mutex);
            action = m_card.feed(std::span(buf.data() + first, count - first), line);
        }
        send(action.replies);
        if (action.hangUp)
            hangUp();
    }
}

void Simulator::advanceLine(std::size_t bytes) {
    // The line is busy until its last byte is through. Short oversleeps are not added up:
    // a line that was busy a moment ago carries on from where it was.
    const auto now = Steady::now();
    if (now > m_lineFree + std::chrono::milliseconds(20))
        m_lineFree = now;
    m_lineFree += lineTime(bytes, m_baud);
    std::this_thread::sleep_until(m_lineFree);
}

void Simulator::answer(const std::vector<std::uint8_t>& bytes) {
    std::vector<SimReply> writes;
    {
        std::lock_guard lock(m_mutex);
        writes = m_card.writesOf(bytes);
    }
    send(writes);
}

void Simulator::waitUntilTaken() {
    // The bytes reach the other end's queue a moment after the write: wait for them to
    // arrive there, then to be taken.
    const auto arrived = Steady::now() + std::chrono::milliseconds(50);
    const auto until = Steady::now() + std::chrono::seconds(2);
    int waiting = 0;
    while (Steady::now() < arrived && ::ioctl(m_slave, FIONREAD, &waiting) == 0 && waiting == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    while (Steady::now() < until && ::ioctl(m_slave, FIONREAD, &waiting) == 0 && waiting > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void Simulator::send(const std::vector<SimReply>& replies) {
    for (const auto& reply : replies) {
        if (reply.afterTaken)
            waitUntilTaken();
        sendNow(reply.bytes);
    }
}

void Simulator::sendNow(std::span<const std::uint8_t> bytes) {
    if (m_card.options().baudLimit) {
        advanceLine(bytes.size());
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            log(std::string("write failed: ") + std::strerror(errno));
            return;
        } else if (n < 0 && errno == EAGAIN) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

void Simulator::hangUp() {
    closePty(); // the far end sees a hang-up: reads end, writes fail with EIO
    // Come back on a fresh line, as a card does after a power cycle; the registered name
    // follows it.
    if (auto r = openPty(); !r) {
        log("cannot reopen the line: " + r.error().message);
        return;
    }
    if (!m_registered.empty()) {
        std::error_code ec;
        const fs::path tmp = m_registered.string() + ".new";
        fs::remove(tmp, ec);
        fs::create_symlink(devicePath(), tmp, ec);
        fs::rename(tmp, m_registered, ec);
    }
    log("line back up on " + devicePath());
}

} // namespace cpuconfig
