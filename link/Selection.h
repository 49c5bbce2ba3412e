// The three panel selections as the workers see them. Workers read a value at the moment
// they need it (the baud text twice per exchange), so a change on the panel during an
// exchange takes effect at the next read. Implementations must be safe to call from any
// thread.
#pragma once

#include "link/Protocol.h"

#include <string>

namespace cpuconfig {

using protocol::kFirstScreen;
using protocol::kLastScreen;

class SelectionProvider {
public:
    virtual ~SelectionProvider() = default;
    virtual std::string portName() const = 0;   // e.g. "COM1" or "/dev/ttyUSB0"; may be empty
    virtual std::string baudText() const = 0;   // the selected entry of the baud list
    virtual std::string screenText() const = 0; // "1" ... "80" as listed
};

// Fixed values, for cpuctl and tests.
class FixedSelection final : public SelectionProvider {
public:
    FixedSelection(std::string port, std::string baud, std::string screen)
        : m_port(std::move(port)), m_baud(std::move(baud)), m_screen(std::move(screen)) {}
    std::string portName() const override { return m_port; }
    std::string baudText() const override { return m_baud; }
    std::string screenText() const override { return m_screen; }

private:
    std::string m_port, m_baud, m_screen;
};

} // namespace cpuconfig
