// A simulated card (sim/CardModel.h) served on a pseudo-terminal, for training, demos and
// the tests of the real port. Its far end is an ordinary serial port to the rest of the
// system; registered under a name, it is listed with the machine's ports. A line-speed
// limit makes its timing realistic, and a hang-up brings it back on a fresh line.
//
// A pseudo-terminal carries no parity bit, but both ends share one termios: the card reads
// CMSPAR/PARODD when bytes arrive and so tells address bytes (mark) from data (space).
#pragma once

#include "common/Result.h"
#include "sim/CardModel.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace cpuconfig {

// Why name cannot be a simulated port's name under the ports folder, empty when it can: a
// plain name, no path (no slash, backslash or dot: nothing outside the folder, nothing
// that clashes with a card's own ".card" file).
std::string simPortNameProblem(const std::string& name);

class Simulator {
public:
    static Result<std::unique_ptr<Simulator>> create(SimulatorOptions options);
    ~Simulator(); // unregisters and closes
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The pseudo-terminal's device (/dev/pts/N). A hang-up makes a new one.
    std::string devicePath() const;
    // Registers the card under registeredPortsFolder()/name as a link to its device and
    // returns that path, which stays valid across hang-ups. A name held by a running card
    // (it keeps a lock on the name's ".card" file while it runs) is refused with PortOpen;
    // a stale one, left by a card that was killed, is replaced. Usage: not a plain name.
    Result<std::filesystem::path> registerPort(const std::string& name);
    void unregisterPort();

    // Serves the line until stop is requested. The options' log is called from here.
    void run(std::stop_token stop);

    SimRecord record() const;

    // A card switched off stays on its port but takes no notice of anything sent to it.
    // Any thread.
    void setPowered(bool on) { m_powered = on; }

    // Sends bytes as the card, at once, from any thread: a card that answers late. Not for
    // a card with a line-speed limit or one that hangs up.
    void answer(const std::vector<std::uint8_t>& bytes);

private:
    explicit Simulator(SimulatorOptions options);
    Result<void> openPty();
    void closePty();
    void send(const std::vector<SimReply>& replies);
    void sendNow(std::span<const std::uint8_t> bytes);
    void waitUntilTaken();
    void advanceLine(std::size_t bytes);
    void hangUp();
    void log(const std::string& line);

    int m_master = -1;
    int m_slave = -1; // held so the line stays up between exchanges
    std::string m_device;
    std::filesystem::path m_registered;
    int m_nameLock = -1; // the locked ".card" file of the registered name
    std::uint32_t m_baud = 115200;
    std::chrono::steady_clock::time_point m_lineFree{};

    std::atomic<bool> m_powered{true};
    mutable std::mutex m_mutex; // guards m_card and m_device
    CardModel m_card;
};

} // namespace cpuconfig
