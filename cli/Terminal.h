// Console helpers for cpuctl: UTF-8 output, and a progress line on stderr that shows
// percent, bytes, rate and time left when stderr is a terminal (and nothing otherwise).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace cpuconfig::cli {

// Makes the console take UTF-8 (a no-op where it already does).
void prepareConsole();

bool stderrIsTerminal();

// "1.5 MiB", "512 B"
std::string formatBytes(std::uint64_t bytes);

class ProgressLine {
public:
    // label: what is being done ("pack", "upgrade"). The line is drawn only on a terminal,
    // or always when force is set (for tests).
    explicit ProgressLine(std::string label, bool force = false);
    ~ProgressLine();

    // done and total in bytes; redraws at most ten times a second, and always at the end.
    void update(std::uint64_t done, std::uint64_t total);
    // Ends the line (a newline after the last draw), if anything was drawn.
    void finish();

    // The text of one progress line, without the leading carriage return.
    static std::string render(const std::string& label, std::uint64_t done, std::uint64_t total,
                              double seconds);

private:
    std::string m_label;
    bool m_enabled;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

} // namespace cpuconfig::cli
