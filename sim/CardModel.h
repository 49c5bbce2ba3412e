// The simulated controller card itself, bytes in and bytes out, for training, demos and
// tests. It answers its own screen number, takes the upgrade's header command and transfer,
// checks length and end mark, recovers the image, and answers the configuration query with
// its model text. Faults can be asked for.
//
// The model owns no line and keeps no time: what arrives is fed to it with the line's
// settings, and it says what it answers and when, as data. Whoever serves it on a line (a
// pseudo-terminal, sim/Simulator.h; an in-memory port, sim/MemoryPort.h) does the rest.
// Not thread-safe: one caller at a time.
#pragma once

#include "link/Protocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
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

struct SimulatorOptions {
    int screen = 1;
    std::string model = "A8-SIM"; // at most 12 bytes go on the wire
    SimFault fault = SimFault::None;
    // Take bytes no faster than the line's speed allows (see lineTime()). For a card on a
    // line that keeps time; the model itself keeps none.
    bool baudLimit = false;
    int hangupAtPercent = 50; // of the transfer, for SimFault::Hangup
    // Other answers than the card's own, in one write each (for tests of odd cards).
    std::optional<std::vector<std::uint8_t>> finalAnswer{}; // instead of 01
    std::optional<std::vector<std::uint8_t>> queryReply{};  // instead of 01, two bytes, model
    // Instead of the acknowledge 01. Empty: the card says nothing yet takes the command
    // that follows, as a card does whose acknowledge comes late.
    std::optional<std::vector<std::uint8_t>> ackAnswer{};
    // Sent once the transfer is half through: a card that talks while it is being written.
    std::optional<std::vector<std::uint8_t>> chatter{};
    // Each answer a byte at a time, the next only once the other end has taken the one
    // before, so that every byte arrives in a read of its own.
    bool answerByteByByte = false;
    // Whether the card hears the nth address frame meant for it (from 1), as line noise
    // or a card gone quiet decides; unset: every one. One it does not hear goes unanswered.
    std::function<bool(int n)> hears{};
    // Gets one line for everything the card saw and did, from whoever feeds the card.
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

// One write of the card. afterTaken: only once the other end has taken everything the
// card wrote before, so that this one arrives in a read of its own.
struct SimReply {
    std::vector<std::uint8_t> bytes;
    bool afterTaken = false;
};

// What the card does about a chunk of bytes: its writes in order, and whether it then
// hangs up (bytes of the chunk after that moment go unheard).
struct SimAction {
    std::vector<SimReply> replies;
    bool hangUp = false;
};

// How long the line takes to carry bytes at baud, 11 bits a byte. Below 96000 baud the card
// keeps the pace of 96000: a pseudo-terminal lets a sender run about 12 KiB ahead of its
// reader and its drain returns at once, so at slow speeds that lead would outlast the
// sender's 2-second wait for the final answer (exact at 115200 and above).
std::chrono::microseconds lineTime(std::size_t bytes, std::uint32_t baud);

class CardModel {
public:
    explicit CardModel(SimulatorOptions options) : m_options(std::move(options)) {}

    // Bytes that arrived together on the line as line describes it (its bytes field as the
    // line carried them): mark parity makes them address bytes, anything else data.
    SimAction feed(std::span<const std::uint8_t> bytes, const SimLine& line);

    // Between an acknowledge and the end of what followed it: a new address under mark
    // breaks that off.
    bool midFrame() const { return m_state == State::Command || m_state == State::Transfer; }

    // The writes that say bytes, as this card writes: at once, or a byte at a time.
    std::vector<SimReply> writesOf(const std::vector<std::uint8_t>& bytes,
                                   bool afterTaken = false) const;

    const SimRecord& record() const { return m_record; }
    const SimulatorOptions& options() const { return m_options; }
    void log(const std::string& line) const;

private:
    void onAddressByte(std::uint8_t b);
    void onDataByte(std::uint8_t b);
    void finishTransfer();
    void send(const std::vector<std::uint8_t>& bytes, bool afterTaken = false);

    SimulatorOptions m_options;
    enum class State { Idle, Address, Command, Transfer } m_state = State::Idle;
    std::vector<std::uint8_t> m_addressBuf;
    int m_addressed = 0; // address frames meant for this card so far
    std::vector<std::uint8_t> m_command;
    std::uint64_t m_expected = 0;
    SimRecord m_record;
    SimAction m_action; // of the chunk being fed
};

} // namespace cpuconfig
