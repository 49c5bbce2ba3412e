// What the station window shows, kept by the station's reporter: every port's state and
// progress, the totals and the last lines of the log. The station's workers write it, each
// card to the log on disk before its tile may say done; the GUI thread reads a copy of it
// whenever it has changed.
#pragma once

#include "common/FileIo.h"
#include "link/Station.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace cpuconfig {

struct TileState {
    PortState state = PortState::Waiting;
    std::string detail;     // as the station gave it (a card's model in GBK bytes)
    std::string model;      // of the card on the port, GBK bytes; kept while it is there
    bool failed = false;    // its last card failed: red until it is taken away
    std::uint64_t sent = 0; // of the card being upgraded
    std::uint64_t total = 0;
    double secondsLeft = -1; // estimated from the rate so far; -1 while unknown
};

struct BoardTotals {
    unsigned done = 0;
    unsigned failed = 0;
    unsigned notLogged = 0;
    double cardSeconds = 0;    // the upgrades' own times, added up
    double runningSeconds = 0; // since the start
    double average() const;    // seconds per card, 0 before the first
    double perHour() const;    // cards finished per hour of running; 0 in the first minute
};

struct BoardView {
    std::vector<TileState> tiles;
    BoardTotals totals;
    std::vector<std::string> lines; // the last lines of the log, readable, oldest first
    std::uint64_t linesAdded = 0;   // every line ever added, so a reader knows what is new
    std::string package;            // what the station says of the package: refused, taken
    std::string logError;           // why the log could not be written; the station stops
    std::uint64_t version = 0;      // one more for every change
};

class StationBoard final : public StationReporter {
public:
    using Clock = std::chrono::steady_clock;
    // ports: the station's, in its order. changed runs on a station worker after every
    // change; it must only schedule a look (see GUI), never wait for one.
    StationBoard(std::vector<std::string> ports, DurableLog& log, std::function<void()> changed,
                 std::size_t keptLines = 200);

    void portState(std::size_t index, PortState state, const std::string& detail) override;
    void progress(std::size_t index, std::uint64_t sent, std::uint64_t total) override;
    bool cardFinished(const StationCard& card) override;
    void packageChanged(const PackageChange& change) override;

    // A copy, taken under the lock.
    BoardView view() const;
    // The totals alone, as of now.
    BoardTotals totals() const;

private:
    void addLine(std::string line); // with the lock held
    void touch();                   // with the lock held: a change to show
    double runningSeconds() const;  // since the start

    const std::vector<std::string> m_ports;
    DurableLog& m_log;
    const std::function<void()> m_changed;
    const std::size_t m_keptLines;
    const Clock::time_point m_started = Clock::now();
    std::vector<Clock::time_point> m_upgradeStarted;
    mutable std::mutex m_mutex;
    BoardView m_view;
    std::deque<std::string> m_lines;
};

} // namespace cpuconfig
