// A simulated controller card on a pseudo-terminal, for training, demos and tests. Its far
// end is an ordinary serial port to the rest of the system. It answers its own screen
// number, takes the upgrade's header command and transfer, checks length and end mark,
// recovers the image, and answers the configuration query with its model text. Faults can
// be asked for, and a line-speed limit (11 bits a byte) makes its timing realistic.
//
// A pseudo-terminal carries no parity bit, but both ends share one termios: the card reads
// CMSPAR/PARODD when bytes arrive and so tells address bytes (mark) from data (space).
#pragma once

#include "common/Result.h"
#include "link/Protocol.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace cpuconfig {

enum class SimFault {
    None,
    Silent,  // never sends a byte
    NoAck,   // answers the address with 01 01 in one write, and nothing else ever
    Nak,     // acknowledges, takes the whole transfer, final answer 00
    NoFinal, // acknowledges, takes the whole transfer, never answers at the end
    Garbage, // garbage before the acknowledge, then a proper acknowledge
    Hangup,  // hangs up part-way through the transfer
};

// "none", "silent", "no-ack", "nak", "no-final", "garbage", "hangup"
std::optional<SimFault> simFaultFromText(const std::string& text);

// The longest model text a card reports (the query reply's twelve bytes).
inline constexpr std::size_t kSimModelBytes = protocol::kModelTextSize;

// Why name cannot be a simulated port's name under the ports folder, empty when it can: a
// plain name, no path (no slash, backslash or dot: nothing outside the folder, nothing
// that clashes with a card's own ".card" file).
std::string simPortNameProblem(const std::string& name);

struct SimulatorOptions {
    int screen = 1;
    std::string model = "A8-SIM"; // at most 12 bytes go on the wire
    SimFault fault = SimFault::None;
    // Take bytes no faster than the line's speed allows (11 bits a byte). Below 96000 baud
    // the card keeps the pace of 96000, as a pty's buffering would otherwise run the sender
    // past its 2-second wait for the final answer.
    bool baudLimit = false;
    int hangupAtPercent = 50; // of the transfer, for SimFault::Hangup
    // Other answers than the card's own, in one write each (for tests of odd cards).
    std::optional<std::vector<std::uint8_t>> finalAnswer{}; // instead of 01
    std::optional<std::vector<std::uint8_t>> queryReply{};  // instead of 01, two bytes, model
    // Instead of the acknowledge 01. Empty: the card says nothing yet takes the command
    // that follows, as a card does whose acknowledge comes late (see answer()).
    std::optional<std::vector<std::uint8_t>> ackAnswer{};
    // Sent once the transfer is half through: a card that talks while it is being written.
    std::optional<std::vector<std::uint8_t>> chatter{};
    // Each answer a byte at a time, the next only once the other end has taken the one
    // before, so that every byte arrives in a read of its own.
    bool answerByteByByte = false;
    // Whether the card hears the nth address frame meant for it (from 1), as line noise
    // or a card gone quiet decides; unset: every one. One it does not hear goes unanswered.
    std::function<bool(int n)> hears{};
    // Gets one line for everything the card saw and did. Called from run()'s thread.
    std::function<void(const std::string&)> log{};
};

// The line as the card saw it when a chunk of bytes arrived.
struct SimLine {
    bool mark = false;  // CMSPAR|PARODD
    bool space = false; // CMSPAR without PARODD
    bool twoStopBits = false;
    bool hardwareFlow = false;
    bool raw = false; // no canonical input, echo or output processing
    std::uint32_t baud = 0;
    std::size_t bytes = 0;
};

// What the card saw, for tests and the log.
struct SimRecord {
    std::vector<SimLine> lines;
    std::vector<std::uint8_t> address;       // the last address frame
    std::vector<std::uint8_t> headerCommand; // the last 15-byte header command
    std::vector<std::uint8_t> transfer;      // the last transfer, complete or not
    std::vector<std::uint8_t> queryFrame;    // the last query frame
    std::string imageSha256;                 // of the last complete transfer's image
    bool endMarkOk = false;
    int acknowledges = 0;
    int upgradesCompleted = 0;
    int queriesAnswered = 0;
    int hangups = 0;
    std::size_t dataBytesUnderMark = 0; // bytes after an acknowledge that came under mark
};

class Simulator {
public:
    static Result<std::unique_ptr<Simulator>> create(SimulatorOptions options);
    ~Simulator(); // unregisters and closes
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The pseudo-terminal's device (/dev/pts/N). A hang-up makes a new one.
    std::string devicePath() const;
    // Registers the card under simulatedPortsFolder()/name as a link to its device and
    // returns that path, which stays valid across hang-ups. A name held by a running card
    // (it keeps a lock on the name's ".card" file while it runs) is refused with PortOpen;
    // a stale one, left by a card that was killed, is replaced. Usage: not a plain name.
    Result<std::filesystem::path> registerPort(const std::string& name);
    void unregisterPort();

    // Serves the line until stop is requested.
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
    void handle(const std::uint8_t* data, std::size_t n, const SimLine& line);
    void onAddressByte(std::uint8_t b);
    void onDataByte(std::uint8_t b);
    void finishTransfer();
    void send(const std::vector<std::uint8_t>& bytes);
    void sendNow(std::span<const std::uint8_t> bytes);
    void waitUntilTaken();
    void advanceLine(std::size_t bytes);
    void hangUp();
    void log(const std::string& line);

    SimulatorOptions m_options;
    int m_master = -1;
    int m_slave = -1; // held so the line stays up between exchanges
    std::string m_device;
    std::filesystem::path m_registered;
    int m_nameLock = -1; // the locked ".card" file of the registered name
    std::uint32_t m_baud = 115200;
    std::chrono::steady_clock::time_point m_lineFree{};

    enum class State { Idle, Address, Command, Transfer } m_state = State::Idle;
    std::vector<std::uint8_t> m_addressBuf;
    int m_addressed = 0; // address frames meant for this card so far
    std::vector<std::uint8_t> m_command;
    std::uint64_t m_expected = 0;
    bool m_hangupDue = false;

    std::atomic<bool> m_powered{true};
    mutable std::mutex m_mutex; // guards m_record and m_device
    SimRecord m_record;
};

} // namespace cpuconfig
