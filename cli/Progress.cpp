#include "cli/Progress.h"

#include <algorithm>
#include <cstdio>

namespace cpuconfig::cli {

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

ProgressLine::ProgressLine(Console& console, std::string label)
    : m_console(console), m_label(std::move(label)),
      m_start(std::chrono::steady_clock::now()), m_lastDraw{} {}

ProgressLine::~ProgressLine() {
    finish();
}

std::string ProgressLine::render(const std::string& label, std::uint64_t done, std::uint64_t total,
                                 double seconds, int barWidth) {
    const double fraction =
        total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const int filled = static_cast<int>(fraction * barWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(barWidth - filled), '.');

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
    if (!m_console.errIsTerminal()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && done < total && now - m_lastDraw < std::chrono::milliseconds(100)) {
        return;
    }
    m_lastDraw = now;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    m_console.toErr("\r" + render(m_label, done, total, seconds) + "\x1b[K");
    m_drawn = true;
}

void ProgressLine::finish() {
    if (m_drawn) {
        m_console.toErr("\n");
        m_drawn = false;
    }
}

namespace {
// At most width - 1 bytes, cut where a UTF-8 character begins (a CJK character takes three
// bytes and two columns, so the line never wraps).
std::string fitWidth(std::string s, int width) {
    const auto most = static_cast<std::size_t>(std::max(width - 1, 10));
    if (s.size() <= most)
        return s;
    std::size_t cut = most;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
        --cut;
    s.resize(cut);
    return s;
}
} // namespace

ProgressBoard::ProgressBoard(Console& console, std::size_t rows)
    : m_console(console), m_rows(rows) {}

ProgressBoard::~ProgressBoard() {
    finish();
}

void ProgressBoard::begin(std::size_t row, const std::string& label) {
    std::lock_guard lock(m_mutex);
    m_rows[row] = {label, label, std::chrono::steady_clock::now()};
    draw(true);
}

void ProgressBoard::update(std::size_t row, std::uint64_t done, std::uint64_t total) {
    std::lock_guard lock(m_mutex);
    Row& r = m_rows[row];
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - r.start).count();
    r.text = ProgressLine::render(r.label, done, total, seconds, 10); // rate and time left fit

    draw(done >= total);
}

void ProgressBoard::end(std::size_t row, const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_rows[row].text = m_rows[row].label + "  " + text;
    draw(true);
}

void ProgressBoard::finish() {
    std::lock_guard lock(m_mutex);
    if (!m_finished && m_drawn)
        draw(true);
    m_finished = true;
}

void ProgressBoard::draw(bool force) {
    if (m_finished)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_drawn && now - m_lastDraw < std::chrono::milliseconds(100))
        return;
    m_lastDraw = now;
    const int width = m_console.errWidth();
    std::string out;
    if (m_drawn)
        out += "\x1b[" + std::to_string(m_rows.size()) + "A"; // back to the board's first line
    for (const auto& r : m_rows)
        out += "\r" + fitWidth(r.text, width) + "\x1b[K\n";
    m_console.toErr(out);
    m_drawn = true;
}

} // namespace cpuconfig::cli
