// Where a command's words go: whole lines on stdout, reasons on stderr, and progress drawn
// on stderr when it is a terminal. cpuctl gives it the process's streams; a test gives it
// strings. Any thread may call it: each call writes its text whole, flushed at once
// (scripts read stdout as it comes).
#pragma once

#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>

namespace cpuconfig::cli {

// What stderr is: a terminal gets progress drawn in place.
struct Terminal {
    bool isTerminal = false;
    std::function<int()> width; // columns now (a terminal may be resized); unset: 80
};

class Console {
public:
    Console(std::ostream& out, std::ostream& err, Terminal errTerminal = {});
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // One line on stdout.
    void print(const std::string& line) { toOut(line + '\n'); }
    // Text on stdout as it is.
    void toOut(const std::string& text);
    // "cpuctl: why" on stderr.
    void note(const std::string& why);
    // Text on stderr as it is (a progress drawing, a line of its own).
    void toErr(const std::string& text);

    bool errIsTerminal() const { return m_terminal.isTerminal; }
    int errWidth() const;

private:
    std::mutex m_mutex;
    std::ostream& m_out;
    std::ostream& m_err;
    Terminal m_terminal;
};

} // namespace cpuconfig::cli
