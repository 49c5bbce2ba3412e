// Console helpers for cpuctl: UTF-8 output, stop on Ctrl-C, and progress on stderr when it
// is a terminal: one line for one card, or a board of lines, one per port, redrawn in place.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace cpuconfig::cli {

// Makes the console take UTF-8 (a no-op where it already does).
void prepareConsole();

bool stderrIsTerminal();
// Columns of the terminal on stderr; 80 when it cannot be told.
int terminalWidth();

// One line on stdout, flushed at once (scripts read it as it comes).
void printLine(const std::string& s);

// "1.5 MiB", "512 B"
std::string formatBytes(std::uint64_t bytes);

// Ctrl-C, SIGTERM and SIGHUP, while this object lives, become a stop request on token();
// the workers then run their closing steps.
class StopOnSignal {
public:
    StopOnSignal();
    ~StopOnSignal();
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;
    std::stop_token token() const { return m_source.get_token(); }
    bool stopped() const { return m_source.stop_requested(); }
    // How many requests came: a second one may be taken as "now". Signals within a second
    // of the one before are one request.
    int signals() const;

private:
    std::stop_source m_source;
    std::atomic<int> m_requests{0};
    void (*m_oldInt)(int);
    void (*m_oldTerm)(int);
    void (*m_oldHup)(int) = nullptr;
    void (*m_oldPipe)(int) = nullptr;
    std::jthread m_watcher;
};

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
                              double seconds, int barWidth = 24);

private:
    std::string m_label;
    bool m_enabled;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

// Several progress lines on stderr, one per row, redrawn in place (cursor up) at most ten
// times a second and at every change of a row's text. Any thread may call it.
class ProgressBoard {
public:
    explicit ProgressBoard(std::size_t rows);
    ~ProgressBoard();
    ProgressBoard(const ProgressBoard&) = delete;
    ProgressBoard& operator=(const ProgressBoard&) = delete;

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

    std::mutex m_mutex;
    std::vector<Row> m_rows;
    bool m_drawn = false;
    bool m_finished = false;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

} // namespace cpuconfig::cli
