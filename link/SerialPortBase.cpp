#include "link/SerialPortBase.h"

namespace cpuconfig {

std::optional<Error> SerialPortBase::refused(const std::stop_token* stop) const {
    if (!isOpen())
        return makeError(ErrorCode::PortIo, m_name + ": the port is closed");
    if (stop && stop->stop_requested())
        return stopped();
    return std::nullopt;
}

Error SerialPortBase::stopped() const {
    return makeError(ErrorCode::Stopped, m_name + ": stopped");
}

Result<void> SerialPortBase::setQueueSizes(std::size_t receive, std::size_t send) {
    if (auto refusal = refused())
        return *refusal;
    return doSetQueueSizes(receive, send);
}

Result<void> SerialPortBase::setTimeouts(const SerialTimeouts& timeouts) {
    if (auto refusal = refused())
        return *refusal;
    return doSetTimeouts(timeouts);
}

Result<void> SerialPortBase::applyLineSettings(const LineSettings& settings) {
    if (auto refusal = refused())
        return *refusal;
    return doApplyLineSettings(settings);
}

Result<void> SerialPortBase::armReceiveWait() {
    if (auto refusal = refused())
        return *refusal;
    return doArmReceiveWait();
}

Result<bool> SerialPortBase::waitReceive(std::chrono::milliseconds limit, std::stop_token stop) {
    if (auto refusal = refused(&stop))
        return *refusal;
    return doWaitReceive(limit, stop);
}

Result<void> SerialPortBase::renewReceiveWait() {
    if (auto refusal = refused())
        return *refusal;
    return doRenewReceiveWait();
}

Result<std::size_t> SerialPortBase::clearErrors() {
    if (auto refusal = refused())
        return *refusal;
    return doClearErrors();
}

Result<std::size_t> SerialPortBase::read(std::span<std::uint8_t> buffer,
                                         std::chrono::milliseconds limit, std::stop_token stop) {
    if (auto refusal = refused(&stop))
        return *refusal;
    return doRead(buffer, limit, stop);
}

Result<void> SerialPortBase::write(std::span<const std::uint8_t> data, std::stop_token stop) {
    if (auto refusal = refused(&stop))
        return *refusal;
    return doWrite(data, stop);
}

Result<void> SerialPortBase::purgeInput() {
    if (auto refusal = refused())
        return *refusal;
    return doPurgeInput();
}

Result<void> SerialPortBase::purgeOutput() {
    if (auto refusal = refused())
        return *refusal;
    return doPurgeOutput();
}

} // namespace cpuconfig
