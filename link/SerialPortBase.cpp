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

} // namespace cpuconfig
