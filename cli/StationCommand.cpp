// cpuctl station: upgrade every card the moment it is connected, on every port, with a log
// of every card that survives a crash; cpuctl station --summary: the totals of such a log.
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/LinkArgs.h"
#include "cli/Terminal.h"

#include "common/FileIo.h"
#include "common/Gbk.h"
#include "common/Texts.h"
#include "link/PortInfo.h"
#include "link/Station.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

namespace cpuconfig::cli {
namespace {

struct StationArgs {
    std::vector<std::string> ports;
    std::string package = kPackageFileName;
    std::string baud = "115200";
    std::string screen = "1";
    std::string log; // empty: station-YYYYMMDD.jsonl
    std::string summary;
    double poll = 0.5;
    bool again = false;
    bool json = false;
    bool verbose = false;
};

// Now, in local time or in UTC.
std::tm timeNow(bool utc) {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    if (utc)
        gmtime_s(&tm, &t);
    else
        localtime_s(&tm, &t);
#else
    if (utc)
        gmtime_r(&t, &tm);
    else
        localtime_r(&t, &tm);
#endif
    return tm;
}

// The log's times are UTC: they stay in order across a change of summer time.
std::string timeText(const char* format, bool utc = true) {
    const std::tm tm = timeNow(utc);
    char buf[40];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

const char* stateWord(PortState s) {
    switch (s) {
    case PortState::Waiting:
        return "waiting";
    case PortState::PortMissing:
        return "port missing";
    case PortState::PortBusy:
        return "port busy";
    case PortState::PortFault:
        return "port fault";
    case PortState::CardFound:
        return "card found";
    case PortState::Upgrading:
        return "upgrading";
    case PortState::Done:
        return "done";
    case PortState::Failed:
        return "failed";
    case PortState::StillConnected:
        return "card still connected";
    case PortState::NotLogged:
        return "not logged";
    }
    return "";
}

Json cardRecord(const StationCard& c) {
    Json j;
    j["time"] = timeText("%Y-%m-%dT%H:%M:%SZ");
    j["event"] = "card";
    j["port"] = c.port;
    j["byId"] = c.byId;
    j["screen"] = parseScreen(c.screen).value_or(0);
    j["model"] = gbkToUtf8(c.model);
    j["packageSha256"] = c.packageSha256;
    j["outcome"] = c.ok ? "done" : "failed";
    j["status"] = c.status;
    j["reason"] = c.reason;
    j["bytes"] = c.result.bytesSent;
    j["bytesTotal"] = c.result.bytesTotal;
    j["seconds"] = jsonSeconds(c.result.seconds);
    j["attempt"] = c.attempt;
    return j;
}

Json packageRecord(const PackageChange& p) {
    Json j;
    j["time"] = timeText("%Y-%m-%dT%H:%M:%SZ");
    j["event"] = "package";
    j["taken"] = p.taken;
    j["sha256"] = p.sha256;
    j["previous"] = p.previous;
    j["reason"] = p.reason;
    return j;
}

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
    StationScreen(const StationArgs& a, DurableLog& log) : m_args(a), m_log(log) {
        m_json = a.json;
        for (const auto& p : a.ports)
            m_width = std::max(m_width, p.size());
        m_rows.resize(a.ports.size());
        if (!m_json && stderrIsTerminal()) {
            m_board = std::make_unique<ProgressBoard>(a.ports.size() + 2);
            for (std::size_t i = 0; i < a.ports.size(); ++i) {
                m_board->begin(i, label(i));
                m_board->end(i, "starting");
            }
            m_board->end(a.ports.size(), counters());
        }
    }

    void portState(std::size_t i, PortState state, const std::string& detail) override {
        std::lock_guard lock(m_mutex);
        Row& row = m_rows[i];
        std::string text = stateWord(state);
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
        if (m_json) {
            Json j;
            j["event"] = "state";
            j["port"] = m_args.ports[i];
            j["state"] = stateWord(state);
            j["detail"] = state == PortState::CardFound ? gbkToUtf8(detail) : detail;
            printLine(jsonText(j));
        } else if (m_board) {
            if (state == PortState::Upgrading)
                m_board->begin(i, label(i));
            else
                m_board->end(i, text);
        } else if (state != PortState::Done && state != PortState::Failed) {
            printLine(label(i) + "  " + text); // the card's own line says how it ended
        }
    }

    void progress(std::size_t i, std::uint64_t sent, std::uint64_t total) override {
        if (m_board)
            m_board->update(i, sent, total);
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
        if (m_json) {
            printLine(jsonText(record));
        } else if (m_board) {
            m_board->end(m_rows.size(), counters());
        } else {
            char tail[96];
            std::snprintf(tail, sizeof tail, " (%llu bytes, %.1f s)",
                          static_cast<unsigned long long>(c.result.bytesSent), c.result.seconds);
            printLine(label(c.portIndex) + "  " + (c.ok ? "done: " : "failed: ") + c.status +
                      (c.ok ? "" : " - " + c.reason) + tail);
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
        if (m_json)
            printLine(jsonText(record));
        if (m_board)
            m_board->end(m_rows.size() + 1, text);
        else
            std::fprintf(stderr, "cpuctl: %s\n", text.c_str());
    }

    // The board's last drawing, the totals and the status text, last. Returns the exit code.
    int finish() {
        std::lock_guard lock(m_mutex);
        if (m_board) {
            m_board->end(m_rows.size(), counters());
            m_board->finish();
        }
        // Success only when something was done: a run without a card upgraded none.
        const char* status = m_cutShort                                   ? text::kSendFailed
                             : m_failed > 0 || m_done == 0 || m_logBroken ? text::kConfigFailed
                                                                          : text::kConfigOk;
        const int exit = m_logBroken ? kExitFile : kExitStopped;
        const std::string reason = m_logBroken ? "log: " + m_logError : "stopped";
        if (m_json) {
            printLine(
                jsonText(totals(m_done, m_failed, average(), m_notLogged, exit, status, reason)));
        } else {
            printLine(counters());
            printLine(status);
        }
        return exit;
    }

    bool logBroken() const { return m_logBroken; }

private:
    struct Row {
        std::string outcome; // how its last card ended
    };

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
    std::string label(std::size_t i) const {
        const std::string& p = m_args.ports[i];
        return p + std::string(m_width - p.size(), ' ');
    }
    void logFailed(const std::string& why) {
        if (!m_logBroken) {
            std::fprintf(stderr, "cpuctl: log: %s; stopping\n", why.c_str());
            m_logError = why;
        }
        m_logBroken = true;
    }

    const StationArgs& m_args;
    DurableLog& m_log;
    std::mutex m_mutex;
    bool m_json = false;
    std::size_t m_width = 0;
    std::vector<Row> m_rows;
    std::unique_ptr<ProgressBoard> m_board;
    unsigned m_done = 0;
    unsigned m_failed = 0;
    unsigned m_notLogged = 0; // upgraded or not, its line is not in the log
    std::string m_logError;
    double m_seconds = 0;
    bool m_cutShort = false; // a stop ended a card before its answer
    std::atomic<bool> m_logBroken{false};
};

// A card's time beyond this is no card's: a whole package at the slowest rate takes hours.
constexpr double kLongestCardSeconds = 24 * 3600.0;

std::string stringAt(const Json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int runSummary(const StationArgs& a) {
    auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "cpuctl: %s\n", why.c_str());
        if (a.json) {
            Json j;
            j["log"] = a.summary;
            addOutcome(j, kExitFile, "", why);
            printLine(jsonText(j));
        }
        return kExitFile;
    };
    std::ifstream in(a.summary, std::ios::binary);
    if (!isRegularFile(a.summary) || !in)
        return refuse(a.summary + ": cannot be read");
    unsigned done = 0, failed = 0, packages = 0, setAside = 0, number = 0;
    double seconds = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty())
            continue;
        // Every line of a log, a torn one too, is the beginning of a JSON object in text.
        if (line.front() != '{' || line.find('\0') != std::string::npos)
            return refuse(a.summary + ": not a station log (line " + std::to_string(number) +
                          " is not a record)");
        const Json j = Json::parse(line, nullptr, false);
        const std::string event = j.is_object() ? stringAt(j, "event") : "";
        const std::string outcome = j.is_object() ? stringAt(j, "outcome") : "";
        const Json took = j.is_object() ? j.value("seconds", Json()) : Json();
        const bool card = event == "card" && (outcome == "done" || outcome == "failed") &&
                          took.is_number() && took.get<double>() >= 0 &&
                          took.get<double>() <= kLongestCardSeconds;
        if (card) {
            (outcome == "done" ? done : failed)++;
            seconds += took.get<double>();
        } else if (event == "package") {
            ++packages;
        } else {
            ++setAside; // a torn line from a crash, or not a record of this log
        }
    }
    const double average = done + failed > 0 ? seconds / (done + failed) : 0.0;
    if (a.json) {
        Json j;
        j["log"] = a.summary;
        j["cards"] = done + failed;
        j["done"] = done;
        j["failed"] = failed;
        j["averageSeconds"] = jsonSeconds(average);
        j["packageChanges"] = packages;
        j["linesSetAside"] = setAside;
        addOutcome(j, kExitOk, "", "");
        printLine(jsonText(j));
    }
    if (setAside > 0)
        std::fprintf(stderr, "cpuctl: %s: %u %s set aside (not a whole record)\n",
                     a.summary.c_str(), setAside, setAside == 1 ? "line" : "lines");
    if (!a.json) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "cards: %u done, %u failed, average %.1f s per card", done,
                      failed, average);
        printLine(buf);
    }
    return kExitOk;
}

std::string secondsText(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", seconds);
    return buf;
}

std::string stationProblem(const StationArgs& a) {
    if (a.ports.empty())
        return "station: --port is required";
    for (const auto& port : a.ports)
        if (!portProblem(port).empty())
            return "--port: " + portProblem(port);
    if (!baudProblem(a.baud).empty())
        return "--baud: " + baudProblem(a.baud);
    if (!screenProblem(a.screen).empty())
        return "--screen: " + screenProblem(a.screen);
    if (!std::isfinite(a.poll) || a.poll < 0.05 || a.poll > 60)
        return "--poll: " + secondsText(a.poll) + " is not a number of seconds from 0.05 to 60";
    if (const auto same = findSamePort(a.ports))
        return "--port " + a.ports[same->first] + " and --port " + a.ports[same->second] +
               " are the same port";
    return "";
}

int runStation(const StationArgs& a) {
    if (!a.summary.empty())
        return runSummary(a);
    // Before the station runs: the reason on stderr, and with --json the totals event.
    auto notStarted = [&](int exit, const char* status, const std::string& why) {
        std::fprintf(stderr, "cpuctl: %s\n", why.c_str());
        if (a.json)
            printLine(jsonText(totals(0, 0, 0.0, 0, exit, status, why)));
        else if (*status)
            printLine(status);
        return exit;
    };
    if (const auto problem = stationProblem(a); !problem.empty())
        return notStarted(kExitUsage, "", problem);
    StationOptions options;
    options.ports = a.ports;
    options.baud = a.baud;
    options.screen = a.screen;
    options.package = a.package;
    options.again = a.again;
    options.poll = Clock::Ms(static_cast<long long>(a.poll * 1000.0 + 0.5));
    if (a.verbose)
        options.link.log = [](const std::string& line) {
            static std::mutex m;
            std::lock_guard lock(m);
            std::fprintf(stderr, "cpuctl: %s\n", line.c_str());
        };

    // The package first: a bad one stops the station before any port or log is touched.
    if (auto bytes = readStationPackage(a.package); !bytes)
        return notStarted(kExitFile, text::kNoPackage, bytes.error().message);
    const std::string logPath =
        a.log.empty() ? timeText("station-%Y%m%d.jsonl", false) : a.log; // the day it started
    auto log = DurableLog::open(logPath);
    if (!log)
        return notStarted(kExitFile, "", log.error().message);
    if (log->tornBytes() > 0)
        std::fprintf(stderr,
                     "cpuctl: %s: a torn last line (%llu bytes) from an earlier run is set "
                     "aside\n",
                     logPath.c_str(), static_cast<unsigned long long>(log->tornBytes()));

    StationScreen screen(a, *log);
    auto station = Station::create(options, screen);
    if (!station)
        return notStarted(kExitFile, text::kNoPackage, station.error().message);

    // The station runs on a thread of its own; this one watches for Ctrl-C and the log.
    StopOnSignal signals;
    std::stop_source stop;
    std::atomic<bool> ended{false};
    std::jthread worker([&] {
        (*station)->run(stop.get_token());
        ended = true;
    });
    bool said = false;
    while (!ended) {
        if (signals.signals() >= 2) {
            std::fprintf(stderr, "\ncpuctl: stopped at once\n");
            std::fflush(nullptr);
            std::_Exit(kExitStopped); // every finished card is on disk already
        }
        if ((signals.stopped() || screen.logBroken()) && !said) {
            said = true;
            stop.request_stop();
            if (signals.stopped())
                std::fprintf(stderr, "\ncpuctl: stopping: upgrades in flight end their block "
                                     "(Ctrl-C again to stop at once)\n");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    worker.join();
    return screen.finish();
}

} // namespace

void addStationCommand(CLI::App& app, Runner& run) {
    auto a = std::make_shared<StationArgs>();
    auto* c = app.add_subcommand(
        "station", "Upgrade every card as it is connected, on every port, and log each");
    c->add_option("--port", a->ports, "Serial port to watch; give it again for more ports")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    c->add_option("--package", a->package, "CPU package")->capture_default_str();
    c->add_option("--baud", a->baud, "9600, 28800, 57600 or 115200")->capture_default_str();
    c->add_option("--screen", a->screen, "Screen number of the cards")->capture_default_str();
    c->add_option("--log", a->log,
                  "Log of every card, one JSON line each "
                  "(default station-YYYYMMDD.jsonl)");
    c->add_option("--poll", a->poll, "Seconds between two questions for a card, 0.05 to 60")
        ->capture_default_str();
    c->add_flag("--again", a->again, "Upgrade a card that failed once more if it still answers");
    c->add_flag("--json", a->json, "One JSON object per event on stdout");
    c->add_flag("-v,--verbose", a->verbose, "Say on stderr why a step failed");
    c->add_option("--summary", a->summary, "Print the totals of a station log and end");
    c->callback([&run, a] { run = [a] { return runStation(*a); }; });
}

} // namespace cpuconfig::cli
