#include "cli/Console.h"

#include <ostream>

namespace cpuconfig::cli {

Console::Console(std::ostream& out, std::ostream& err, Terminal errTerminal)
    : m_out(out), m_err(err), m_terminal(std::move(errTerminal)) {}

void Console::toOut(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_out << text << std::flush;
}

void Console::note(const std::string& why) {
    toErr("cpuctl: " + why + '\n');
}

void Console::toErr(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_err << text << std::flush;
}

int Console::errWidth() const {
    return m_terminal.width ? m_terminal.width() : 80;
}

} // namespace cpuconfig::cli
