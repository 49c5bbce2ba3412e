#include "link/Simulator.h"

#include "common/Sha256.h"
#include "link/PortList.h"
#include "link/PosixBaud.h"
#include "link/PosixSpeed.h"
#include "link/Protocol.h"
#include "package/PackageFormat.h"

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

using namespace protocol;

std::string hex(const std::uint8_t* data, std::size_t n, std::size_t max = 32) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < std::min(n, max); ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", data[i]);
        out += b;
    }
    if (n > max)
        out += " ...";
    return out;
}

} // namespace

std::optional<SimFault> simFaultFromText(const std::string& text) {
    static const std::pair<const char*, SimFault> names[] = {
        {"none", SimFault::None},        {"silent", SimFault::Silent},
        {"no-ack", SimFault::NoAck},     {"nak", SimFault::Nak},
        {"no-final", SimFault::NoFinal}, {"garbage", SimFault::Garbage},
        {"hangup", SimFault::Hangup},
    };
    for (const auto& [name, fault] : names)
        if (text == name)
            return fault;
    return std::nullopt;
}

Simulator::Simulator(SimulatorOptions options) : m_options(std::move(options)) {}

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
    const fs::path folder = simulatedPortsFolder();
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
    const std::string card = "screen=" + std::to_string(m_options.screen) +
                             "\nmodel=" + m_options.model.substr(0, kSimModelBytes) + "\n";
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
    if (m_options.log)
        m_options.log(line);
}

SimRecord Simulator::record() const {
    std::lock_guard lock(m_mutex);
    return m_record;
}

void Simulator::run(std::stop_token stop) {
    std::vector<std::uint8_t> buf(4096);
    while (!stop.stop_requested()) {
        pollfd pfd{m_master, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, 20);
        if (rc <= 0 || !(pfd.revents & POLLIN))
            continue;
        const std::size_t chunk = m_options.baudLimit ? 64 : buf.size();
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
        if (m_options.baudLimit) {
            // The bytes could not have arrived before the line carried them.
            advanceLine(static_cast<std::size_t>(n));
        }
        {
            std::lock_guard lock(m_mutex);
            if (m_record.lines.size() < 100000)
                m_record.lines.push_back(line);
        }
        std::size_t count = static_cast<std::size_t>(n);
        std::size_t first = 0;
        if (line.mark && (m_state == State::Command || m_state == State::Transfer)) {
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
        handle(buf.data() + first, count - first, line);
        if (m_hangupDue)
            hangUp();
    }
}

void Simulator::handle(const std::uint8_t* data, std::size_t n, const SimLine& line) {
    for (std::size_t i = 0; i < n && !m_hangupDue; ++i) {
        if (line.mark) {
            if (m_state == State::Command || m_state == State::Transfer) {
                std::lock_guard lock(m_mutex);
                ++m_record.dataBytesUnderMark;
            }
            onAddressByte(data[i]);
        } else {
            onDataByte(data[i]);
        }
    }
}

void Simulator::onAddressByte(std::uint8_t b) {
    if (m_state != State::Address) {
        if (m_state == State::Transfer)
            log("transfer broken off by a new address");
        m_state = State::Address;
        m_addressBuf.clear();
    }
    m_addressBuf.push_back(b);
    if (m_addressBuf.size() < 2)
        return;
    const bool mine = m_addressBuf[0] == m_addressBuf[1] &&
                      m_addressBuf[0] == static_cast<std::uint8_t>(m_options.screen & 0xFF);
    log("address " + hex(m_addressBuf.data(), 2) + " parity mark" +
        (mine ? "" : " (another card's)"));
    {
        std::lock_guard lock(m_mutex);
        m_record.address = m_addressBuf;
    }
    m_state = State::Idle;
    if (!mine)
        return;
    if (m_options.hears && !m_options.hears(++m_addressed)) {
        log("did not hear it");
        return;
    }
    switch (m_options.fault) {
    case SimFault::Silent:
        return;
    case SimFault::NoAck:
        send({kAck, kAck}); // two bytes in one go: no acknowledge
        return;
    case SimFault::Garbage: {
        send({0x7E, 0x00, 0xFF});
        // Let the other end take the garbage in a read of its own before the acknowledge.
        waitUntilTaken();
        break;
    }
    default:
        break;
    }
    send(m_options.ackAnswer.value_or(std::vector<std::uint8_t>{kAck}));
    m_state = State::Command;
    m_command.clear();
    std::lock_guard lock(m_mutex);
    ++m_record.acknowledges;
}

void Simulator::onDataByte(std::uint8_t b) {
    switch (m_state) {
    case State::Idle:
    case State::Address:
        m_state = State::Idle; // noise on the bus, or a card not addressed
        return;
    case State::Command:
        m_command.push_back(b);
        if (m_command.size() == 2 && m_command[1] != kUpgradeCommand &&
            m_command[1] != kQueryCommand) {
            log("unknown command " + hex(m_command.data(), 2));
            m_state = State::Idle;
            return;
        }
        if (m_command.size() == kQueryFrameSize && m_command[1] == kQueryCommand) {
            log("query frame " + hex(m_command.data(), m_command.size()) + " parity space");
            {
                std::lock_guard lock(m_mutex);
                m_record.queryFrame = m_command;
            }
            m_state = State::Idle;
            const QueryFrame good = queryFrame(kAck);
            if (!std::equal(m_command.begin(), m_command.end(), good.begin())) {
                log("query frame not understood");
                return;
            }
            if (m_options.fault == SimFault::NoFinal || m_options.fault == SimFault::Silent)
                return;
            const std::string model = m_options.model.substr(0, kSimModelBytes);
            auto reply = queryReply(static_cast<std::uint8_t>(m_options.screen), model);
            if (m_options.queryReply)
                reply = *m_options.queryReply;
            send(reply);
            log("answered the query with model \"" + model + "\"");
            std::lock_guard lock(m_mutex);
            ++m_record.queriesAnswered;
            return;
        }
        if (m_command.size() == kHeaderCommandSize && m_command[1] == kUpgradeCommand) {
            m_expected = announcedLength(m_command);
            log("header command " + hex(m_command.data(), 7) + " header " +
                hex(m_command.data() + 7, 8) + " length " + std::to_string(m_expected) +
                " parity space");
            std::lock_guard lock(m_mutex);
            m_record.headerCommand = m_command;
            m_record.transfer.clear();
            m_record.endMarkOk = false;
            m_record.imageSha256.clear();
            m_state = State::Transfer;
            if (m_expected == 0) {
                m_state = State::Idle;
            }
        }
        return;
    case State::Transfer: {
        std::size_t got;
        {
            std::lock_guard lock(m_mutex);
            m_record.transfer.push_back(b);
            got = m_record.transfer.size();
        }
        if (m_options.fault == SimFault::Hangup &&
            got * 100 >= m_expected * static_cast<std::uint64_t>(
                                          std::clamp(m_options.hangupAtPercent, 0, 100))) {
            log("hanging up after " + std::to_string(got) + " of " + std::to_string(m_expected) +
                " bytes");
            m_hangupDue = true;
            m_state = State::Idle;
            return;
        }
        if (m_options.chatter && got == m_expected / 2) {
            send(*m_options.chatter);
            log("said " + hex(m_options.chatter->data(), m_options.chatter->size()) +
                " during the transfer");
        }
        if (got == m_expected)
            finishTransfer();
        return;
    }
    }
}

void Simulator::finishTransfer() {
    m_state = State::Idle;
    std::vector<std::uint8_t> transfer;
    {
        std::lock_guard lock(m_mutex);
        transfer = m_record.transfer;
    }
    const bool endMark = !transfer.empty() && transfer.back() == kEndMark;
    std::string sha;
    if (transfer.size() >= kTrailerSize) {
        std::vector<std::uint8_t> image(transfer.size() - kTrailerSize);
        nibbleSwap(transfer.data(), image.data(), image.size());
        sha = sha256Hex(image);
        log("transfer " + std::to_string(transfer.size()) + " bytes, end mark " +
            (endMark ? "aa ok" : "missing") + ", image " + std::to_string(image.size()) +
            " bytes sha256 " + sha);
    } else {
        log("transfer " + std::to_string(transfer.size()) + " bytes: too short for a trailer");
    }
    {
        std::lock_guard lock(m_mutex);
        m_record.endMarkOk = endMark;
        m_record.imageSha256 = sha;
        ++m_record.upgradesCompleted;
    }
    switch (m_options.fault) {
    case SimFault::Nak:
        send({kNak});
        log("answered 00");
        return;
    case SimFault::NoFinal:
        log("no answer");
        return;
    default: {
        const auto answer = m_options.finalAnswer.value_or(std::vector<std::uint8_t>{kAck});
        send(answer);
        log("answered " + hex(answer.data(), answer.size()));
    }
    }
}

// A pseudo-terminal lets a sender run about 12 KiB ahead of its reader, and its drain
// returns at once, where a real port's write-and-wait keeps the sender on the line. At
// slow speeds that lead would outlast the sender's 2-second wait for the final answer, so
// the card never takes bytes slower than this (exact at 115200 and above).
inline constexpr std::uint32_t kSlowestPace = 96000;

void Simulator::advanceLine(std::size_t bytes) {
    // The line is busy until its last byte is through. Short oversleeps are not added up:
    // a line that was busy a moment ago carries on from where it was.
    const auto now = Steady::now();
    if (now > m_lineFree + std::chrono::milliseconds(20))
        m_lineFree = now;
    const long long pace = std::max(m_baud, kSlowestPace);
    m_lineFree += std::chrono::microseconds(static_cast<long long>(bytes) * 11 * 1000000 / pace);
    std::this_thread::sleep_until(m_lineFree);
}

void Simulator::answer(const std::vector<std::uint8_t>& bytes) {
    send(bytes);
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

void Simulator::send(const std::vector<std::uint8_t>& bytes) {
    if (m_options.answerByteByByte && bytes.size() > 1) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (i > 0)
                waitUntilTaken();
            sendNow(std::span(bytes.data() + i, 1));
        }
        return;
    }
    sendNow(bytes);
}

void Simulator::sendNow(std::span<const std::uint8_t> bytes) {
    if (m_options.baudLimit) {
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
    m_hangupDue = false;
    {
        // Counted before the line drops, so that whoever sees the hang-up sees it counted.
        std::lock_guard lock(m_mutex);
        ++m_record.hangups;
    }
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
