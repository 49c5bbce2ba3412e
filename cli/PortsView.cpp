#include "cli/PortsView.h"

#include <algorithm>

namespace cpuconfig::cli {

PortsView::PortsView(Console& console, Mode mode, const std::vector<std::string>& ports,
                     std::size_t extraRows)
    : m_console(console), m_mode(mode), m_ports(ports) {
    for (const auto& port : ports)
        m_width = std::max(m_width, port.size());
    if (mode == Mode::Board)
        m_board = std::make_unique<ProgressBoard>(console, ports.size() + extraRows);
}

std::string PortsView::padded(std::size_t row) const {
    const std::string& port = m_ports[row];
    return port + std::string(m_width - port.size(), ' ');
}

void PortsView::begin(std::size_t row, const std::string& label) {
    if (m_board) {
        m_board->begin(row, label);
    } else if (m_mode == Mode::Bar) {
        std::lock_guard lock(m_mutex);
        m_bar = std::make_unique<ProgressLine>(m_console, label);
    }
}

void PortsView::progress(std::size_t row, std::uint64_t done, std::uint64_t total) {
    if (m_board) {
        m_board->update(row, done, total);
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_bar)
        m_bar->update(done, total);
}

void PortsView::end(std::size_t row, const std::string& text) {
    if (m_board) {
        m_board->end(row, text);
        return;
    }
    std::lock_guard lock(m_mutex);
    m_bar.reset(); // its line ends
}

void PortsView::note(const std::string& why) {
    std::lock_guard lock(m_mutex);
    if (m_board)
        m_heldBack.push_back(why);
    else
        m_console.note(why);
}

void PortsView::finish() {
    std::lock_guard lock(m_mutex);
    if (m_board)
        m_board->finish();
    for (const auto& why : m_heldBack)
        m_console.note(why);
    m_heldBack.clear();
}

} // namespace cpuconfig::cli
