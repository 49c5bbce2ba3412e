#include "station/StationBoard.h"

#include "common/Gbk.h"
#include "gui/WindowSupport.h"
#include "link/StationLog.h"

#include <cstdio>

namespace cpuconfig {
namespace {

std::string shortName(const std::string& device) {
    return shortPortName(QString::fromStdString(device)).toStdString();
}

std::string clockTime() {
    return stationTime("%H:%M:%S", false);
}

} // namespace

double BoardTotals::average() const {
    const unsigned cards = done + failed;
    return cards > 0 ? cardSeconds / cards : 0.0;
}

double BoardTotals::perHour() const {
    // A rate over less than a minute says little: one card in two seconds is no 1800 an hour.
    return runningSeconds >= 60 ? (done + failed) * 3600.0 / runningSeconds : 0.0;
}

StationBoard::StationBoard(std::vector<std::string> ports, DurableLog& log,
                           std::function<void()> changed, std::size_t keptLines)
    : m_ports(std::move(ports)), m_log(log), m_changed(std::move(changed)), m_keptLines(keptLines),
      m_upgradeStarted(m_ports.size()) {
    m_view.tiles.resize(m_ports.size());
}

void StationBoard::portState(std::size_t i, PortState state, const std::string& detail) {
    {
        std::lock_guard lock(m_mutex);
        TileState& tile = m_view.tiles.at(i);
        tile.state = state;
        tile.detail = detail;
        switch (state) {
        case PortState::CardFound:
            tile.model = detail;
            tile.failed = false;
            break;
        case PortState::Upgrading:
            tile.sent = 0;
            tile.total = 0;
            tile.secondsLeft = -1;
            m_upgradeStarted[i] = Clock::now();
            break;
        case PortState::Failed:
        case PortState::NotLogged:
            tile.failed = true;
            break;
        case PortState::Done:
            tile.failed = false;
            break;
        case PortState::StillConnected:
            break; // what the card's end said stays: a failed card stays red
        default:
            // The card has gone (or never came): the port is free for the next one.
            tile.model.clear();
            tile.failed = false;
            break;
        }
        touch();
    }
    m_changed();
}

void StationBoard::progress(std::size_t i, std::uint64_t sent, std::uint64_t total) {
    {
        std::lock_guard lock(m_mutex);
        TileState& tile = m_view.tiles.at(i);
        tile.sent = sent;
        tile.total = total;
        const double spent =
            std::chrono::duration<double>(Clock::now() - m_upgradeStarted[i]).count();
        tile.secondsLeft = sent > 0 && total >= sent && spent > 0
                               ? spent * static_cast<double>(total - sent) / sent
                               : -1;
        touch();
    }
    m_changed();
}

bool StationBoard::cardFinished(const StationCard& card) {
    const std::string record = jsonText(cardRecord(card));
    bool logged = false;
    {
        std::lock_guard lock(m_mutex);
        if (auto r = m_log.appendLine(record); !r) {
            ++m_view.totals.notLogged;
            if (m_view.logError.empty())
                m_view.logError = r.error().message;
            addLine(clockTime() + "  " + shortName(card.port) + "  日志无法写入：" +
                    r.error().message);
        } else {
            logged = true;
            (card.ok ? m_view.totals.done : m_view.totals.failed)++;
            m_view.totals.cardSeconds += card.result.seconds;
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f 秒", card.result.seconds);
            std::string line = clockTime() + "  " + shortName(card.port) + "  " +
                               gbkToUtf8(card.model) + "  " + card.status;
            if (!card.ok && !card.reason.empty())
                line += "（" + card.reason + "）";
            addLine(line + "  " + seconds);
        }
        touch();
    }
    m_changed();
    return logged;
}

void StationBoard::packageChanged(const PackageChange& change) {
    const std::string record = jsonText(packageRecord(change));
    {
        std::lock_guard lock(m_mutex);
        if (auto r = m_log.appendLine(record); !r && m_view.logError.empty())
            m_view.logError = r.error().message;
        m_view.package = change.taken
                             ? "升级文件已更换，下一张卡起使用 " + change.sha256.substr(0, 12)
                             : "新的升级文件被拒绝：" + change.reason + "；仍使用 " +
                                   change.previous.substr(0, 12);
        addLine(clockTime() + "  " + m_view.package);
        touch();
    }
    m_changed();
}

BoardView StationBoard::view() const {
    std::lock_guard lock(m_mutex);
    BoardView copy = m_view;
    copy.totals.runningSeconds = runningSeconds();
    copy.lines.assign(m_lines.begin(), m_lines.end());
    return copy;
}

BoardTotals StationBoard::totals() const {
    std::lock_guard lock(m_mutex);
    BoardTotals copy = m_view.totals;
    copy.runningSeconds = runningSeconds();
    return copy;
}

double StationBoard::runningSeconds() const {
    return std::chrono::duration<double>(Clock::now() - m_started).count();
}

void StationBoard::addLine(std::string line) {
    m_lines.push_back(std::move(line));
    ++m_view.linesAdded;
    while (m_lines.size() > m_keptLines)
        m_lines.pop_front();
}

void StationBoard::touch() {
    ++m_view.version;
}

} // namespace cpuconfig
