// The serial port as every exchange with a card uses it: open, set the line (baud rate, data
// bits, parity), write, wait until bytes can be read, count and read them, discard input or
// output, close; and a word at each point where the exchange starts to await something else
// from the card, for a port that prepares its receive side for it. PosixSerialPort and
// Win32SerialPort implement it over SerialPortBase, which checks every call once for both;
// the exchange, upgrade and query code never sees the platform.
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
    Space, // parity bit always 0: the data phase, everything after the acknowledge
};

// The line settings an exchange changes; stop bits, flow control and everything else stay
// as the port reports them.
struct LineSettings {
    std::uint32_t baud = 115200;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::Mark;
};

// What the exchange awaits from the card from here on.
enum class Awaiting {
    Acknowledge, // the address is out: the card's acknowledge
    Answer,      // the data is out: the card's answer to it
    Reply,       // the query is out: its reply, whose reads may wait for the rest of it
    More,        // a wait reported bytes: whatever comes after them
    Nothing,     // the acknowledge wait is over, or the port is about to close
};

class SerialPort {
public:
    virtual ~SerialPort() = default; // closes the port if it is still open

    // The name it was opened by.
    virtual const std::string& name() const = 0;

    // Reads the current line settings, changes baud rate, data bits and parity only, and
    // applies them. PortSetup when refused, or when the port cannot do what was asked
    // (e.g. an adapter without mark/space parity; the message says so).
    virtual Result<void> applyLineSettings(const LineSettings& settings) = 0;
    // The exchange awaits something else from here on; a wait's leftovers from before are
    // dropped where the port keeps any. PortSetup when the port cannot watch for it.
    virtual Result<void> expect(Awaiting what) = 0;
    // Waits in real time for at most limit until bytes can be read. true when some arrived
    // (or are already waiting), false when the limit passed first. PortIo when the port
    // failed or hung up; Stopped on a stop request.
    virtual Result<bool> waitReadable(std::chrono::milliseconds limit, std::stop_token stop) = 0;
    // The number of bytes waiting to be read (clearing any line error the port holds).
    // PortIo when the port cannot tell.
    virtual Result<std::size_t> bytesWaiting() = 0;
    // Reads at most buffer.size() of the bytes waiting; a read that does not finish at once
    // is waited for at most limit. Returns the number taken (possibly 0). PortIo, Stopped.
    virtual Result<std::size_t> read(std::span<std::uint8_t> buffer,
                                     std::chrono::milliseconds limit, std::stop_token stop) = 0;
    // Writes the whole block and waits until it has left (or until the driver gives up
    // after its write timeout, which counts as done: the card's answers judge the data).
    // PortIo only when the port can take nothing more (the device is gone: EIO, ENXIO,
    // a hang-up); Stopped on a stop request, with part of the block possibly sent.
    virtual Result<void> write(std::span<const std::uint8_t> data, std::stop_token stop) = 0;
    // Discards what was received and not yet read. Never fails the exchange; the result is
    // for logs.
    virtual Result<void> discardInput() = 0;
    // Discards what was written and has not left yet, so that a stopped transfer does not
    // trickle on into the card.
    virtual Result<void> discardOutput() = 0;
    // Releases the port; later calls fail with PortIo. Safe to call twice.
    virtual void close() = 0;
};

// Opens ports. Implementations must be safe to call from any thread.
class SerialPortFactory {
public:
    virtual ~SerialPortFactory() = default;
    // Opens the device by its name, read and write, not shared, and sets it up for an
    // exchange: a port held by another exchange or another program fails here. PortOpen
    // when missing, busy or refused; PortSetup when it will not be set up.
    virtual Result<std::unique_ptr<SerialPort>> open(const std::string& name) = 0;
};

// The platform's serial backend (POSIX termios or Win32 communications), chosen at build
// time.
SerialPortFactory& platformSerialPorts();

} // namespace cpuconfig
