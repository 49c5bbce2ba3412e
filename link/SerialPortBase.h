// What both serial backends share: the port's name, the check that it is still open before
// every operation, the check for a stop before one that may wait, and the words for both.
// Each backend does the operations its own way behind the protected hooks, which run only
// on an open port.
#pragma once

#include "link/SerialPort.h"

#include <optional>

namespace cpuconfig {

class SerialPortBase : public SerialPort {
public:
    const std::string& name() const final { return m_name; }
    Result<void> applyLineSettings(const LineSettings& settings) final {
        return checked([&] { return doApplyLineSettings(settings); });
    }
    Result<void> expect(Awaiting what) final {
        return checked([&] { return doExpect(what); });
    }
    Result<bool> waitReadable(std::chrono::milliseconds limit, std::stop_token stop) final {
        return checked([&] { return doWaitReadable(limit, stop); }, &stop);
    }
    Result<std::size_t> bytesWaiting() final {
        return checked([&] { return doBytesWaiting(); });
    }
    Result<std::size_t> read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                             std::stop_token stop) final {
        return checked([&] { return doRead(buffer, limit, stop); }, &stop);
    }
    Result<void> write(std::span<const std::uint8_t> data, std::stop_token stop) final {
        return checked([&] { return doWrite(data, stop); }, &stop);
    }
    Result<void> discardInput() final {
        return checked([&] { return doDiscardInput(); });
    }
    Result<void> discardOutput() final {
        return checked([&] { return doDiscardOutput(); });
    }

protected:
    explicit SerialPortBase(std::string name) : m_name(std::move(name)) {}
    // Stopped, for a wait or write that a stop request ended.
    Error stopped() const;

    virtual bool isOpen() const = 0;
    virtual Result<void> doApplyLineSettings(const LineSettings& settings) = 0;
    // A port whose waits need no preparation does nothing.
    virtual Result<void> doExpect(Awaiting) { return {}; }
    // The waits, the read and the write are called only while no stop has been requested.
    virtual Result<bool> doWaitReadable(std::chrono::milliseconds limit, std::stop_token stop) = 0;
    virtual Result<std::size_t> doBytesWaiting() = 0;
    virtual Result<std::size_t> doRead(std::span<std::uint8_t> buffer,
                                       std::chrono::milliseconds limit, std::stop_token stop) = 0;
    virtual Result<void> doWrite(std::span<const std::uint8_t> data, std::stop_token stop) = 0;
    virtual Result<void> doDiscardInput() = 0;
    virtual Result<void> doDiscardOutput() = 0;

private:
    // PortIo once the port is closed: every call after close() fails alike on every
    // platform; Stopped when stop is given and a stop was requested.
    std::optional<Error> refused(const std::stop_token* stop) const;
    template <class Operation>
    auto checked(Operation operation, const std::stop_token* stop = nullptr) const
        -> decltype(operation()) {
        if (auto refusal = refused(stop))
            return *refusal;
        return operation();
    }

    std::string m_name;
};

} // namespace cpuconfig
