// What cpuctl as a process wires its commands to: the console's code page, what stderr is,
// and Ctrl-C, SIGTERM and SIGHUP as stop requests.
#pragma once

#include "cli/Context.h"

#include <thread>

namespace cpuconfig::cli {

// Makes the console take UTF-8 (a no-op where it already does).
void prepareConsole();

bool stderrIsTerminal();
// Columns of the terminal on stderr; 80 when it cannot be told.
int terminalWidth();

// Ctrl-C, SIGTERM and SIGHUP, while this object lives, become requests on requests; the
// workers then run their closing steps. Signals within a second of the one before are one
// request.
class StopOnSignal {
public:
    explicit StopOnSignal(StopRequests& requests);
    ~StopOnSignal();
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

private:
    void (*m_oldInt)(int);
    void (*m_oldTerm)(int);
    void (*m_oldHup)(int) = nullptr;
    void (*m_oldPipe)(int) = nullptr;
    std::jthread m_watcher;
};

} // namespace cpuconfig::cli
