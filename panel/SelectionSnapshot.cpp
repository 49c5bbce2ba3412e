#include "panel/SelectionSnapshot.h"

namespace cpuconfig {

std::string SelectionSnapshot::portName() const {
    std::lock_guard lock(m_mutex);
    return m_port;
}

std::string SelectionSnapshot::baudText() const {
    std::lock_guard lock(m_mutex);
    return m_baud;
}

std::string SelectionSnapshot::screenText() const {
    std::lock_guard lock(m_mutex);
    return m_screen;
}

void SelectionSnapshot::setPortName(std::string port) {
    std::lock_guard lock(m_mutex);
    m_port = std::move(port);
}

void SelectionSnapshot::setBaudText(std::string baud) {
    std::lock_guard lock(m_mutex);
    m_baud = std::move(baud);
}

void SelectionSnapshot::setScreenText(std::string screen) {
    std::lock_guard lock(m_mutex);
    m_screen = std::move(screen);
}

} // namespace cpuconfig
