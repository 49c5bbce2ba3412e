#include "cli/Terminal.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace cpuconfig::cli {

void prepareConsole() {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
}

bool stderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

int terminalWidth() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
#endif
    return 80;
}

namespace {
std::atomic<int> g_signals{0};
extern "C" void onSignal(int) {
    g_signals.fetch_add(1);
}
// Signals this close together are one request: timeout(1) and a terminal's hang-up send a
// signal to a process and again to its group, and a script may add its own kill.
constexpr std::chrono::seconds kOneRequest{1};
} // namespace

StopOnSignal::StopOnSignal(StopRequests& requests) {
    g_signals.store(0);
    m_oldInt = std::signal(SIGINT, onSignal);
    m_oldTerm = std::signal(SIGTERM, onSignal);
#ifdef SIGHUP
    // A dropped SSH session: stopped like Ctrl-C, with the closing steps. Output to the
    // gone terminal, or to a pipe whose reader went with it, fails quietly from then on.
    m_oldHup = std::signal(SIGHUP, onSignal);
    m_oldPipe = std::signal(SIGPIPE, SIG_IGN);
#endif
    // A signal handler may do almost nothing: a thread turns the count into the stop.
    m_watcher = std::jthread([&requests](std::stop_token own) {
        int seen = 0;
        bool first = true;
        auto last = std::chrono::steady_clock::time_point{};
        while (!own.stop_requested()) {
            if (const int n = g_signals.load(); n > seen) {
                seen = n;
                const auto now = std::chrono::steady_clock::now();
                if (first || now - last >= kOneRequest)
                    requests.request();
                first = false;
                last = now;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
}

StopOnSignal::~StopOnSignal() {
    m_watcher.request_stop();
    m_watcher.join();
    std::signal(SIGINT, m_oldInt);
    std::signal(SIGTERM, m_oldTerm);
#ifdef SIGHUP
    std::signal(SIGHUP, m_oldHup);
    std::signal(SIGPIPE, m_oldPipe);
#endif
}

} // namespace cpuconfig::cli
