// One exchange with a card: open and set up the port, address the card under mark parity,
// wait for its acknowledge, switch to space parity for the data, wait for answers, close.
// The upgrade and the query are built on it, and it keeps their outcome's record of the
// port, the screen, the port's fault and the last word as it goes. Internal to the link.
#pragma once

#include "link/LinkOptions.h"
#include "link/Outcome.h"
#include "link/Protocol.h"
#include "link/Selection.h"
#include "link/SerialPort.h"

#include <array>
#include <functional>
#include <optional>

namespace cpuconfig {

class Exchange {
public:
    Exchange(const SelectionProvider& selection, const LinkOptions& options, std::stop_token stop,
             Outcome& record);
    ~Exchange(); // runs the closing steps if the caller has not
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    enum class Opening {
        Acknowledged,
        NoAcknowledge,
        SetupFailed, // a set-up step failed; everything is released already
        Stopped,     // a stop was requested; the closing steps ran
    };
    // The opening and address phase; the record's stage follows it.
    Opening open();

    // Space parity with the baud text read again. PortSetup when refused.
    Result<void> enterDataPhase();
    // Write-and-wait. PortIo when the device is gone, Stopped on a stop request.
    Result<void> write(std::span<const std::uint8_t> data);

    // Gets the whole receive buffer and the number of bytes the last read took.
    using AnswerTest = std::function<bool(std::span<const std::uint8_t> buffer, std::size_t got)>;
    enum class Answer {
        Passed,
        None,         // silence, or the port state could not be fetched
        RearmRefused, // the port could not go on watching for the rest: the exchange fails
        Stopped,
    };
    // The receive loop. readLimit bounds a read that does not finish at once; silence is
    // how long a quiet line ends it.
    Answer receive(const AnswerTest& test,
                   std::chrono::milliseconds readLimit = protocol::kReplyWait,
                   std::chrono::milliseconds silence = protocol::kReplyWait);
    // Why the last receive ended without an answer, for the log: the silence that ended it,
    // or what the card said instead of expected ("silent for 2000 ms", "it said 00, not 01").
    std::string unanswered(const std::string& expected) const;

    // The closing steps: end the wait, discard what is left, close. Idempotent.
    void close();

    SerialPort& port() { return *m_port; }
    const std::array<std::uint8_t, protocol::kReceiveBufferSize>& buffer() const {
        return m_buffer;
    }
    const Error& lastError() const { return m_error; }
    // A line for the log, which is also the outcome's last word so far.
    void note(const std::string& line);
    std::stop_token stopToken() const { return m_stop; }
    bool stopped() const { return m_stop.stop_requested(); }
    Clock& clock() { return *m_options.clock; }

private:
    // Waits up to limit on the injected clock for a received character.
    Result<bool> waitOnClock(std::chrono::milliseconds limit);
    Result<void> applyLine(Parity parity);
    // A failed open or set-up step of the port: kept for the front ends to explain.
    void recordPortFault(const Error& e);
    void hear(const std::uint8_t* bytes, std::size_t n);

    const SelectionProvider& m_selection;
    LinkOptions m_options;
    std::stop_token m_stop;
    Outcome& m_record;
    std::unique_ptr<SerialPort> m_port;
    std::array<std::uint8_t, protocol::kReceiveBufferSize> m_buffer{};
    std::string m_heard;                   // the last receive's reads, in hex, cut short
    std::chrono::milliseconds m_silence{}; // the silence that ended it
    Error m_error{ErrorCode::Usage, 0, {}};
};

} // namespace cpuconfig
