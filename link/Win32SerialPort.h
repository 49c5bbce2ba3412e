// The serial port on Windows: Win32 communications functions with overlapped I/O, in the
// order and with the values every exchange with a card has always used.
//
// Each port holds three manual-reset events (write, receive wait, read), each with its
// overlapped record. Every wait also watches the stop token (every 10 ms), so a stop ends
// it promptly on shutdown. No overlapped operation is left pending when a call returns: one
// that timed out or was stopped is cancelled and reaped first, so its record can be
// reused or released.
#pragma once

#include "link/SerialPortBase.h"

#include <memory>
#include <string>

namespace cpuconfig {

// The name CreateFileA needs for a port name: COM10 and above only open as \\.\COM10, and
// the prefix does no harm to COM1..COM9. Other names (and names already prefixed) pass
// unchanged.
std::string win32DeviceName(const std::string& portName);

class Win32SerialPort final : public SerialPortBase {
public:
    // The exchange's first two steps: the write event, then the port itself (read and
    // write, share 0, existing device, overlapped). PortOpen when either fails.
    static Result<std::unique_ptr<SerialPort>> open(const std::string& name);

    ~Win32SerialPort() override;
    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    // The closing steps: set and close the write event, set and close the wait and read
    // events, release the write record, purge the receive side, close the port.
    void close() override;

private:
    bool isOpen() const override { return m_state != nullptr; }
    Result<void> doSetQueueSizes(std::size_t receive, std::size_t send) override;
    Result<void> doSetTimeouts(const SerialTimeouts& timeouts) override;
    Result<void> doApplyLineSettings(const LineSettings& settings) override;
    Result<void> doArmReceiveWait() override;
    Result<bool> doWaitReceive(std::chrono::milliseconds limit, std::stop_token stop) override;
    Result<void> doRenewReceiveWait() override;
    Result<std::size_t> doClearErrors() override;
    Result<std::size_t> doRead(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                               std::stop_token stop) override;
    Result<void> doWrite(std::span<const std::uint8_t> data, std::stop_token stop) override;
    Result<void> doPurgeInput() override;
    // What the driver still holds of a stopped transfer is dropped, not sent on to the card.
    Result<void> doPurgeOutput() override;

    struct State; // the handles and overlapped records; Win32 types stay out of this header
    Win32SerialPort(std::string name, std::unique_ptr<State> state);
    Result<void> purge(std::uint32_t flags); // PurgeComm with these PURGE_* flags

    std::unique_ptr<State> m_state;
};

class Win32SerialPortFactory final : public SerialPortFactory {
public:
    Result<std::unique_ptr<SerialPort>> open(const std::string& name) override {
        return Win32SerialPort::open(name);
    }
};

} // namespace cpuconfig
