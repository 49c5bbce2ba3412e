// Progress on stderr when it is a terminal: one line for one task, or a board of lines, one
// per port, redrawn in place.
#pragma once

#include "cli/Console.h"
#include "common/NonCopyable.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace cpuconfig::cli {

// "1.5 MiB", "512 B"
std::string formatBytes(std::uint64_t bytes);

class ProgressLine : NonCopyable {
public:
    // label: what is being done ("pack", "upgrade"). Drawn only when stderr is a terminal.
    ProgressLine(Console& console, std::string label);
    ~ProgressLine();

    // done and total in bytes; redraws at most ten times a second, and always at the end.
    void update(std::uint64_t done, std::uint64_t total);
    // Ends the line (a newline after the last draw), if anything was drawn.
    void finish();

    // The text of one progress line, without the leading carriage return.
    static std::string render(const std::string& label, std::uint64_t done, std::uint64_t total,
                              double seconds, int barWidth = 24);

private:
    Console& m_console;
    std::string m_label;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

// Several progress lines, one per row, redrawn in place (cursor up) at most ten times a
// second and at every change of a row's text. Any thread may call it.
class ProgressBoard : NonCopyable {
public:
    ProgressBoard(Console& console, std::size_t rows);
    ~ProgressBoard();

    // A new task on row: its progress is timed from now.
    void begin(std::size_t row, const std::string& label);
    void update(std::size_t row, std::uint64_t done, std::uint64_t total);
    // The row's final text, drawn at once.
    void end(std::size_t row, const std::string& text);
    // The last drawing, and the cursor below the board.
    void finish();

private:
    struct Row {
        std::string label;
        std::string text;
        std::chrono::steady_clock::time_point start;
    };
    void draw(bool force);

    Console& m_console;
    std::mutex m_mutex;
    std::vector<Row> m_rows;
    bool m_drawn = false;
    bool m_finished = false;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

} // namespace cpuconfig::cli
