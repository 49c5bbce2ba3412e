#include "cli/Terminal.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
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

std::string formatBytes(std::uint64_t bytes) {
    char buf[32];
    if (bytes < 1024) {
        std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1024 * 1024) {
        std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else {
        std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    }
    return buf;
}

ProgressLine::ProgressLine(std::string label, bool force)
    : m_label(std::move(label)), m_enabled(force || stderrIsTerminal()),
      m_start(std::chrono::steady_clock::now()), m_lastDraw{} {}

ProgressLine::~ProgressLine() {
    finish();
}

std::string ProgressLine::render(const std::string& label, std::uint64_t done, std::uint64_t total,
                                 double seconds) {
    constexpr int kWidth = 24;
    const double fraction =
        total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '.');

    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::string left = "--:--";
    if (rate > 0 && done < total) {
        const auto s = static_cast<long long>(static_cast<double>(total - done) / rate + 0.5);
        char buf[48];
        std::snprintf(buf, sizeof buf, "%02lld:%02lld", s / 60, s % 60);
        left = buf;
    } else if (done >= total) {
        left = "00:00";
    }
    char line[160];
    std::snprintf(line, sizeof line, "%s [%s] %3d%% %s / %s  %s/s  left %s", label.c_str(),
                  bar.c_str(), static_cast<int>(fraction * 100.0), formatBytes(done).c_str(),
                  formatBytes(total).c_str(), formatBytes(static_cast<std::uint64_t>(rate)).c_str(),
                  left.c_str());
    return line;
}

void ProgressLine::update(std::uint64_t done, std::uint64_t total) {
    if (!m_enabled) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && done < total && now - m_lastDraw < std::chrono::milliseconds(100)) {
        return;
    }
    m_lastDraw = now;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    std::fprintf(stderr, "\r%s\x1b[K", render(m_label, done, total, seconds).c_str());
    std::fflush(stderr);
    m_drawn = true;
}

void ProgressLine::finish() {
    if (m_drawn) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
        m_drawn = false;
    }
}

} // namespace cpuconfig::cli
