// The panel's three selections as the workers read them. The GUI thread publishes every
// change; workers read from their own threads at the moment they need a value.
#pragma once

#include "link/Selection.h"

#include <mutex>
#include <string>

namespace cpuconfig {

class SelectionSnapshot final : public SelectionProvider {
public:
    std::string portName() const override;
    std::string baudText() const override;
    std::string screenText() const override;

    void setPortName(std::string port);
    void setBaudText(std::string baud);
    void setScreenText(std::string screen);

private:
    mutable std::mutex m_mutex;
    std::string m_port;
    std::string m_baud;
    std::string m_screen;
};

} // namespace cpuconfig
