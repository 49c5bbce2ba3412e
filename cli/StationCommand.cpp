// cpuctl station: upgrade every card the moment it is connected, on every port, with a log
// of every card that survives a crash.
#include "cli/CardOptions.h"
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "cli/PortsView.h"
#include "cli/StationSummary.h"

#include "common/FileIo.h"
#include "common/Gbk.h"
#include "common/Json.h"
#include "common/Texts.h"
#include "link/Station.h"
#include "link/StationLog.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace cpuconfig::cli {
namespace {

// The last event of a station's stream, also when it could not start.
Json totals(unsigned done, unsigned failed, double average, unsigned notLogged, int exit,
            const char* status, const std::string& reason) {
    Json j;
    j["event"] = "totals";
    j["done"] = done;
    j["failed"] = failed;
    j["averageSeconds"] = jsonSeconds(average);
    j["notLogged"] = notLogged;
    addOutcome(j, exit, status, reason);
    return j;
}

// The screen and the log. Every port's worker calls it at once, so it guards itself. A card
// goes to the log (on disk) before the screen shows it.
class StationScreen final : public StationReporter {
public:
    StationScreen(Console& console, const CardOptions& o, DurableLog& log)
        : m_view(console,
                 o.json                    ? PortsView::Mode::JsonLines
                 : console.errIsTerminal() ? PortsView::Mode::Board
                                           : PortsView::Mode::Lines,
                 o.ports, 2),
          m_ports(o.ports), m_log(log) {
        m_rows.resize(o.ports.size());
        if (board()) {
            for (std::size_t i = 0; i < m_ports.size(); ++i) {
                m_view.begin(i, m_view.padded(i));
                m_view.end(i, "starting");
            }
            m_view.end(m_ports.size(), counters());
        }
    }

    void portState(std::size_t i, PortState state, const std::string& detail) override {
        std::lock_guard lock(m_mutex);
        Row& row = m_rows[i];
        std::string text = stationStateWord(state);
        if (state == PortState::CardFound)
            text += ": " + gbkToUtf8(detail);
        else if (!detail.empty())
            text += ": " + detail;
        if (state == PortState::NotLogged)
            text += " (the log could not be written)";
        if (state == PortState::Done || state == PortState::Failed)
            row.outcome = text;
        if (state == PortState::StillConnected && !row.outcome.empty())
            text = row.outcome + "; card still connected";
        if (json()) {
            Json j;
            j["event"] = "state";
            j["port"] = m_ports[i];
            j["state"] = stationStateWord(state);
            j["detail"] = state == PortState::CardFound ? gbkToUtf8(detail) : detail;
            console().print(jsonText(j));
        } else if (board()) {
            if (state == PortState::Upgrading)
                m_view.begin(i, m_view.padded(i));
            else
                m_view.end(i, text);
        } else if (state != PortState::Done && state != PortState::Failed) {
            console().print(m_view.padded(i) + "  " +
                            text); // the card's own line says how it ended
        }
    }

    void progress(std::size_t i, std::uint64_t sent, std::uint64_t total) override {
        m_view.progress(i, sent, total);
    }

    // The card is shown only once its line is on disk; a card whose line could not be
    // written is shown by the station as not logged, and the station stops.
    bool cardFinished(const StationCard& c) override {
        const Json record = cardRecord(c);
        std::lock_guard lock(m_mutex);
        if (auto r = m_log.appendLine(jsonText(record)); !r) {
            logFailed(r.error().message);
            ++m_notLogged;
            return false;
        }
        (c.ok ? m_done : m_failed)++;
        m_cutShort = m_cutShort || c.result.end == CardEnd::Stopped;
        m_seconds += c.result.seconds;
        if (json()) {
            console().print(jsonText(record));
        } else if (board()) {
            m_view.end(m_ports.size(), counters());
        } else {
            char tail[96];
            std::snprintf(tail, sizeof tail, " (%llu bytes, %.1f s)",
                          static_cast<unsigned long long>(c.result.bytesSent), c.result.seconds);
            console().print(m_view.padded(c.portIndex) + "  " + (c.ok ? "done: " : "failed: ") +
                            c.status + (c.ok ? "" : " - " + c.reason) + tail);
        }
        return true;
    }

    void packageChanged(const PackageChange& p) override {
        const Json record = packageRecord(p);
        std::lock_guard lock(m_mutex);
        if (auto r = m_log.appendLine(jsonText(record)); !r)
            logFailed(r.error().message);
        const std::string text =
            p.taken ? "package changed: now " + p.sha256.substr(0, 12) + ", for the next card"
                    : "package changed but refused: " + p.reason + "; still using " +
                          p.previous.substr(0, 12);
        if (json())
            console().print(jsonText(record));
        if (board())
            m_view.end(m_ports.size() + 1, text);
        else
            console().note(text);
    }

    // The board's last drawing, the totals and the status text, last. Returns the exit code.
    int finish() {
        std::lock_guard lock(m_mutex);
        if (board())
            m_view.end(m_ports.size(), counters());
        m_view.finish();
        // Success only when something was done: a run without a card upgraded none.
        const char* status = m_cutShort                                   ? text::kSendFailed
                             : m_failed > 0 || m_done == 0 || m_logBroken ? text::kConfigFailed
                                                                          : text::kConfigOk;
        const int exit = m_logBroken ? kExitFile : kExitStopped;
        const std::string reason = m_logBroken ? "log: " + m_logError : "stopped";
        if (json()) {
            console().print(
                jsonText(totals(m_done, m_failed, average(), m_notLogged, exit, status, reason)));
        } else {
            console().print(counters());
            console().print(status);
        }
        return exit;
    }

    bool logBroken() const { return m_logBroken; }

private:
    struct Row {
        std::string outcome; // how its last card ended
    };

    Console& console() { return m_view.console(); }
    bool json() const { return m_view.mode() == PortsView::Mode::JsonLines; }
    bool board() const { return m_view.mode() == PortsView::Mode::Board; }
    double average() const {
        return m_done + m_failed > 0 ? m_seconds / static_cast<double>(m_done + m_failed) : 0.0;
    }
    std::string counters() const {
        char buf[128];
        std::snprintf(buf, sizeof buf, "cards: %u done, %u failed, %saverage %.1f s per card",
                      m_done, m_failed,
                      m_notLogged ? (std::to_string(m_notLogged) + " not logged, ").c_str() : "",
                      average());
        return buf;
    }
    void logFailed(const std::string& why) {
        if (!m_logBroken) {
            console().note("log: " + why + "; stopping");
            m_logError = why;
        }
        m_logBroken = true;
    }

    PortsView m_view;
    const std::vector<std::string> m_ports;
    DurableLog& m_log;
    std::mutex m_mutex;
    std::vector<Row> m_rows;
    unsigned m_done = 0;
    unsigned m_failed = 0;
    unsigned m_notLogged = 0; // upgraded or not, its line is not in the log
    std::string m_logError;
    double m_seconds = 0;
    bool m_cutShort = false; // a stop ended a card before its answer
    std::atomic<bool> m_logBroken{false};
};

std::string secondsText(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", seconds);
    return buf;
}

class StationCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* c = app.add_subcommand(
            "station", "Upgrade every card as it is connected, on every port, and log each");
        addPorts(*c, m_card, "Serial port to watch; give it again for more ports", false);
        c->add_option("--package", m_package, "CPU package")->capture_default_str();
        addBaud(*c, m_card);
        c->add_option("--screen", m_card.screen, "Screen number of the cards")
            ->capture_default_str();
        c->add_option("--log", m_log,
                      "Log of every card, one JSON line each "
                      "(default station-YYYYMMDD.jsonl)");
        c->add_option("--poll", m_poll, "Seconds between two questions for a card, 0.05 to 60")
            ->capture_default_str();
        c->add_flag("--again", m_again, "Upgrade a card that failed once more if it still answers");
        c->add_flag("--json", m_card.json, "One JSON object per event on stdout");
        addVerbose(*c, m_card);
        c->add_option("--summary", m_summary, "Print the totals of a station log and end");
        return c;
    }

    int run(Context& ctx) override {
        if (!m_summary.empty())
            return summarizeStationLog(ctx.console, ctx.file(m_summary), m_summary, m_card.json);
        Console& c = ctx.console;
        // Before the station runs: the reason on stderr, and with --json the totals event.
        auto notStarted = [&](int exit, const char* status, const std::string& why) {
            c.note(why);
            if (m_card.json)
                c.print(jsonText(totals(0, 0, 0.0, 0, exit, status, why)));
            else if (*status)
                c.print(status);
            return exit;
        };
        if (const auto problem = usageProblem(); !problem.empty())
            return notStarted(kExitUsage, "", problem);

        // The package first: a bad one stops the station before any port or log is touched.
        if (auto bytes = readStationPackage(ctx.file(m_package)); !bytes)
            return notStarted(kExitFile, text::kNoPackage, bytes.error().message);
        const std::string logPath = m_log.empty() ? stationLogName() : m_log; // the day it started
        auto log = DurableLog::open(ctx.file(logPath));
        if (!log)
            return notStarted(kExitFile, "", log.error().message);
        if (log->tornBytes() > 0)
            c.note(logPath + ": a torn last line (" + std::to_string(log->tornBytes()) +
                   " bytes) from an earlier run is set aside");

        StationScreen screen(c, m_card, *log);
        auto station = Station::create(stationOptions(ctx), screen);
        if (!station)
            return notStarted(kExitFile, text::kNoPackage, station.error().message);
        auto signals = ctx.listenForStops();
        serve(ctx, **station, screen);
        return screen.finish();
    }

private:
    std::string usageProblem() const {
        if (m_card.ports.empty())
            return "station: --port is required";
        if (auto p = m_card.portAndBaudProblem(); !p.empty())
            return p;
        if (!screenProblem(m_card.screen).empty())
            return "--screen: " + screenProblem(m_card.screen);
        if (!std::isfinite(m_poll) || m_poll < 0.05 || m_poll > 60)
            return "--poll: " + secondsText(m_poll) + " is not a number of seconds from 0.05 to 60";
        return samePortProblem(m_card.ports);
    }

    StationOptions stationOptions(Context& ctx) const {
        StationOptions options;
        options.ports = m_card.ports;
        options.baud = m_card.baud;
        options.screen = m_card.screen;
        options.package = ctx.file(m_package);
        options.again = m_again;
        options.poll = Clock::Ms(static_cast<long long>(m_poll * 1000.0 + 0.5));
        options.link.log = verboseLog(m_card, ctx.console);
        return options;
    }

    // The station runs on a thread of its own; this one watches the stop requests and the
    // log.
    static void serve(Context& ctx, Station& station, const StationScreen& screen) {
        std::stop_source stop;
        std::atomic<bool> ended{false};
        std::jthread worker([&] {
            station.run(stop.get_token());
            ended = true;
        });
        bool said = false;
        while (!ended) {
            if (ctx.stops.count() >= 2 && ctx.quit) {
                ctx.console.toErr("\ncpuctl: stopped at once\n");
                ctx.quit(kExitStopped); // every finished card is on disk already
            }
            if ((ctx.stops.stopped() || screen.logBroken()) && !said) {
                said = true;
                stop.request_stop();
                if (ctx.stops.stopped())
                    ctx.console.toErr("\ncpuctl: stopping: upgrades in flight end their block "
                                      "(Ctrl-C again to stop at once)\n");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    CardOptions m_card;
    std::string m_package = kPackageFileName;
    std::string m_log; // empty: station-YYYYMMDD.jsonl
    std::string m_summary;
    double m_poll = 0.5;
    bool m_again = false;
};

} // namespace

std::unique_ptr<Command> makeStationCommand() {
    return std::make_unique<StationCommand>();
}

} // namespace cpuconfig::cli
