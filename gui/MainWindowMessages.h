// Main-window messages: the numbers the main window has always used. The panel starts an
// upgrade with WM_CPU_START; the main window hears the upgrade through the others, made
// from the engine's progress and outcome by shell/UpgradeMessages.h.
#pragma once

#include <cstdint>

namespace cpuconfig {

enum : unsigned {
    WM_CPU_PROGRESS = 9527, // wParam value, lParam: 1 position, 2 minimum, 3 maximum, 4 show/hide
    WM_CPU_SEND_FAILED = 9531, // a step of the upgrade failed
    WM_CPU_NO_FILE = 9532,     // the package file is missing
    WM_CPU_RESULT = 9533,      // wParam 0 the card confirmed, 1 it did not
    WM_CPU_START = 9534,       // start an upgrade worker
};

enum : std::intptr_t {
    kProgressPosition = 1,
    kProgressMinimum = 2,
    kProgressMaximum = 3,
    kProgressVisible = 4, // wParam 1 shows, 0 hides
};

// Where the upgrade worker's messages go. send() returns only once the main window has
// handled the message; post() queues it and returns at once. Both are called from the
// worker thread.
class MainWindowLink {
public:
    virtual ~MainWindowLink() = default;
    virtual void send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    virtual void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

} // namespace cpuconfig
