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
    Result<void> setQueueSizes(std::size_t receive, std::size_t send) final {
        return checked([&] { return doSetQueueSizes(receive, send); });
    }
    Result<void> setTimeouts(const SerialTimeouts& timeouts) final {
        return checked([&] { return doSetTimeouts(timeouts); });
    }
    Result<void> applyLineSettings(const LineSettings& settings) final {
        return checked([&] { return doApplyLineSettings(settings); });
    }
    Result<void> armReceiveWait() final {
        return checked([&] { return doArmReceiveWait(); });
    }
    Result<bool> waitReceive(std::chrono::milliseconds limit, std::stop_token stop) final {
        return checked([&] { return doWaitReceive(limit, stop); }, &stop);
    }
    Result<void> renewReceiveWait() final {
        return checked([&] { return doRenewReceiveWait(); });
    }
    Result<std::size_t> clearErrors() final {
        return checked([&] { return doClearErrors(); });
    }
    Result<std::size_t> read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit,
                             std::stop_token stop) final {
        return checked([&] { return doRead(buffer, limit, stop); }, &stop);
    }
    Result<void> write(std::span<const std::uint8_t> data, std::stop_token stop) final {
        return checked([&] { return doWrite(data, stop); }, &stop);
    }
    Result<void> purgeInput() final {
        return checked([&] { return doPurgeInput(); });
    }
    Result<void> purgeOutput() final {
        return checked([&] { return doPurgeOutput(); });
    }

protected:
    explicit SerialPortBase(std::string name) : m_name(std::move(name)) {}
    // Stopped, for a wait or write that a stop request ended.
    Error stopped() const;

    virtual bool isOpen() const = 0;
    virtual Result<void> doSetQueueSizes(std::size_t receive, std::size_t send) = 0;
    virtual Result<void> doSetTimeouts(const SerialTimeouts& timeouts) = 0;
    virtual Result<void> doApplyLineSettings(const LineSettings& settings) = 0;
    virtual Result<void> doArmReceiveWait() = 0;
    // The waits, the read and the write are called only while no stop has been requested.
    virtual Result<bool> doWaitReceive(std::chrono::milliseconds limit, std::stop_token stop) = 0;
    virtual Result<void> doRenewReceiveWait() = 0;
    virtual Result<std::size_t> doClearErrors() = 0;
    virtual Result<std::size_t> doRead(std::span<std::uint8_t> buffer,
                                       std::chrono::milliseconds limit, std::stop_token stop) = 0;
    virtual Result<void> doWrite(std::span<const std::uint8_t> data, std::stop_token stop) = 0;
    virtual Result<void> doPurgeInput() = 0;
    virtual Result<void> doPurgeOutput() = 0;

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
