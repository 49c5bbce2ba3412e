// The serial port as every exchange with a card uses it: exactly the operations of the
// exchange pattern, nothing more. PosixSerialPort and Win32SerialPort implement it over
// SerialPortBase, which checks every call once for both; the exchange, upgrade and query
// code never sees the platform.
//
// A port object belongs to the one worker thread that opened it. Waits and writes take the
// worker's stop token and end promptly (well within 100 ms) once a stop is requested,
// returning ErrorCode::Stopped.
#pragma once

#include "common/Result.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>
#include <string>

namespace cpuconfig {

enum class Parity {
    Mark,  // parity bit always 1: the two address bytes
    Space, // parity bit always 0: everything after the acknowledge
};

// Driver timeouts in milliseconds (the Win32 COMMTIMEOUTS fields). POSIX ports take them
// and need none: their reads never block and their receive wait has its own limit.
struct SerialTimeouts {
    std::uint32_t readInterval = 0xFFFFFFFF; // with the two below 0: reads return at once
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 2000; // per byte
    std::uint32_t writeTotalConstant = 50;
};

// Every exchange, from the open on.
inline constexpr SerialTimeouts kExchangeTimeouts{};
// The card query while it waits for the configuration reply.
inline constexpr SerialTimeouts kQueryReplyTimeouts{40, 40, 40, 2000, 50};

// The line settings an exchange changes; stop bits, flow control and everything else stay
// as the port reports them.
struct LineSettings {
    std::uint32_t baud = 115200;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::Mark;
    // The data phase applies its settings with the settings record's length field set to
    // 28 (Win32 DCBlength); POSIX ignores it.
    bool dataPhase = false;
};

inline constexpr std::size_t kQueueSize = 1024; // receive and send queue, bytes

class SerialPort {
public:
    virtual ~SerialPort() = default; // closes the port if it is still open

    // The name it was opened by.
    virtual const std::string& name() const = 0;

    // Driver queue sizes in bytes. PortSetup when refused.
    virtual Result<void> setQueueSizes(std::size_t receive, std::size_t send) = 0;
    // PortSetup when refused.
    virtual Result<void> setTimeouts(const SerialTimeouts& timeouts) = 0;
    // Reads the current line settings, changes baud rate, data bits and parity only, and
    // applies them. PortSetup when refused, or when the port cannot do what was asked
    // (e.g. an adapter without mark/space parity; the message says so).
    virtual Result<void> applyLineSettings(const LineSettings& settings) = 0;

    // Arms the receive-character wait (Win32: the event mask EV_RXCHAR). PortSetup when
    // refused.
    virtual Result<void> armReceiveWait() = 0;
    // Waits in real time for at most limit for a received character. true when one
    // arrived (or bytes are already waiting), false when the limit passed first. PortIo
    // when the port failed or hung up; Stopped on a stop request.
    virtual Result<bool> waitReceive(std::chrono::milliseconds limit, std::stop_token stop) = 0;
    // Starts the next phase with fresh receive-wait and read objects, dropping anything a
    // previous wait left pending (Win32: the wait and read events are set, closed and
    // created anew; POSIX: nothing to do). PortSetup when they cannot be made.
    virtual Result<void> renewReceiveWait() = 0;
    // Clears the port's error state and returns the number of bytes waiting. PortIo when
    // the state cannot be fetched.
    virtual Result<std::size_t> clearErrors() = 0;
    // Reads at most buffer.size() of the bytes waiting; a read that does not finish at once
    // is waited for at most limit. Returns the number taken (possibly 0). PortIo, Stopped.
    virtual Result<std::size_t> read(std::span<std::uint8_t> buffer,
                                     std::chrono::milliseconds limit, std::stop_token stop) = 0;
    // Writes the whole block and waits until it has left (or until the driver gives up
    // after its write timeout, which counts as done: the card's answers judge the data).
    // PortIo only when the port can take nothing more (the device is gone: EIO, ENXIO,
    // a hang-up); Stopped on a stop request, with part of the block possibly sent.
    virtual Result<void> write(std::span<const std::uint8_t> data, std::stop_token stop) = 0;
    // Discards pending input (Win32 PurgeComm RXABORT|RXCLEAR). Never fails the exchange;
    // the result is for logs.
    virtual Result<void> purgeInput() = 0;
    // Discards output not yet sent (Win32 PurgeComm TXABORT|TXCLEAR), so that a stopped
    // transfer does not trickle on into the card. The default does nothing.
    virtual Result<void> purgeOutput() { return {}; }
    // Releases the port; later calls fail with PortIo. Safe to call twice.
    virtual void close() = 0;
};

// Opens ports. Implementations must be safe to call from any thread.
class SerialPortFactory {
public:
    virtual ~SerialPortFactory() = default;
    // Opens the device by its name, read and write, not shared: a port held by another
    // exchange or another program fails here. PortOpen when missing, busy or refused.
    virtual Result<std::unique_ptr<SerialPort>> open(const std::string& name) = 0;
};

// The platform's serial backend (POSIX termios or Win32 communications), chosen at build
// time.
SerialPortFactory& platformSerialPorts();

} // namespace cpuconfig
