// How a command that works on several ports at once (upgrade, station) shows them, chosen
// once: a board of rows redrawn in place on a terminal, one bar for a single port, or lines
// as things happen, in plain words or in JSON. Every port's worker calls it at once; it
// guards itself.
#pragma once

#include "cli/Console.h"
#include "cli/Progress.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cpuconfig::cli {

class PortsView {
public:
    enum class Mode {
        Lines,     // a line for each event, nothing drawn
        JsonLines, // a JSON object for each event
        Bar,       // one progress line at a time, on a terminal
        Board,     // a row for each port and the extra rows, on a terminal
    };
    PortsView(Console& console, Mode mode, const std::vector<std::string>& ports,
              std::size_t extraRows = 0);
    PortsView(const PortsView&) = delete;
    PortsView& operator=(const PortsView&) = delete;

    Mode mode() const { return m_mode; }
    Console& console() { return m_console; }
    // The port of a row, padded to the widest port so that the rows line up.
    std::string padded(std::size_t row) const;

    // A task on a row begins, goes on and ends with a text (the board's row, or the bar).
    // Nothing is drawn in the other modes.
    void begin(std::size_t row, const std::string& label);
    void progress(std::size_t row, std::uint64_t done, std::uint64_t total);
    void end(std::size_t row, const std::string& text);

    // A reason on stderr; one that comes while a board stands (it would be drawn over) is
    // said after the board's last drawing.
    void note(const std::string& why);
    // The board's last drawing, then what could not be said while it stood.
    void finish();

private:
    Console& m_console;
    const Mode m_mode;
    std::vector<std::string> m_ports;
    std::size_t m_width = 0;
    std::unique_ptr<ProgressBoard> m_board;
    std::mutex m_mutex; // guards the two below
    std::unique_ptr<ProgressLine> m_bar;
    std::vector<std::string> m_heldBack;
};

} // namespace cpuconfig::cli
