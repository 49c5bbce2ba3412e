// cpuctl station: upgrade every card the moment it is connected, on every port, with a log
// of every card that survives a crash; cpuctl station --summary: the totals of such a log.
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Terminal.h"

#include "common/FileIo.h"
#include "common/Gbk.h"
#include "common/Texts.h"
#include "link/PortInfo.h"
#include "link/Station.h"

#include <CLI/CLI.hpp>

#include <atomic>
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
    }
    return "";
}

Json cardRecord(const StationCard& c) {
    Json j;
    j["time"] = timeText("%Y-%m-%dT%H:%M:%SZ");
    j["event"] = "card";
    j["port"] = c.port;
    j["byId"] = c.byId;
    j["screen"] = c.screen;
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

    void cardFinished(const StationCard& c) override {
        const Json record = cardRecord(c);
        std::lock_guard lock(m_mutex);
        if (auto r = m_log.appendLine(jsonText(record)); !r)
            logFailed(r.error().message);
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

    // The board's last drawing and the totals; returns the last line's status text.
    const char* finish() {
        std::lock_guard lock(m_mutex);
        if (m_board) {
            m_board->end(m_rows.size(), counters());
            m_board->finish();
        }
        if (m_json) {
            Json j;
            j["event"] = "totals";
            j["done"] = m_done;
            j["failed"] = m_failed;
            j["averageSeconds"] = jsonSeconds(average());
            printLine(jsonText(j));
        } else {
            printLine(counters());
        }
        // Success only when something was done: a run without a card upgraded none.
        if (m_cutShort)
            return text::kSendFailed;
        return m_failed > 0 || m_done == 0 ? text::kConfigFailed : text::kConfigOk;
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
        char buf[96];
        std::snprintf(buf, sizeof buf, "cards: %u done, %u failed, average %.1f s per card", m_done,
                      m_failed, average());
        return buf;
    }
    std::string label(std::size_t i) const {
        const std::string& p = m_args.ports[i];
        return p + std::string(m_width - p.size(), ' ');
    }
    void logFailed(const std::string& why) {
        if (!m_logBroken)
            std::fprintf(stderr, "cpuctl: log: %s; stopping\n", why.c_str());
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
    double m_seconds = 0;
    bool m_cutShort = false; // a stop ended a card before its answer
    std::atomic<bool> m_logBroken{false};
};

int runSummary(const StationArgs& a) {
    std::ifstream in(a.summary, std::ios::binary);
    if (!isRegularFile(a.summary) || !in) {
        std::fprintf(stderr, "cpuctl: %s: cannot be read\n", a.summary.c_str());
        return kExitFile;
    }
    unsigned done = 0, failed = 0, packages = 0, setAside = 0;
    double seconds = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty())
            continue;
        const Json j = Json::parse(line, nullptr, false);
        const bool card = j.is_object() && j.value("event", "") == "card" &&
                          j.contains("outcome") && j["seconds"].is_number();
        if (card) {
            (j["outcome"] == "done" ? done : failed)++;
            seconds += j["seconds"].get<double>();
        } else if (j.is_object() && j.value("event", "") == "package") {
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
        printLine(jsonText(j));
    }
    if (setAside > 0)
        std::fprintf(stderr, "cpuctl: %s: %u lines set aside (not a whole record)\n",
                     a.summary.c_str(), setAside);
    char buf[128];
    std::snprintf(buf, sizeof buf, "cards: %u done, %u failed, average %.1f s per card", done,
                  failed, average);
    printLine(buf);
    return kExitOk;
}

int runStation(const StationArgs& a) {
    if (!a.summary.empty())
        return runSummary(a);
    if (a.ports.empty()) {
        std::fprintf(stderr, "cpuctl: station: --port is required\n");
        return kExitUsage;
    }
    if (const auto same = findSamePort(a.ports)) {
        std::fprintf(stderr, "cpuctl: --port %s and --port %s are the same port\n",
                     a.ports[same->first].c_str(), a.ports[same->second].c_str());
        return kExitUsage;
    }
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
    if (auto bytes = readStationPackage(a.package); !bytes) {
        std::fprintf(stderr, "cpuctl: %s\n", bytes.error().message.c_str());
        printLine(text::kNoPackage);
        return kExitFile;
    }
    const std::string logPath =
        a.log.empty() ? timeText("station-%Y%m%d.jsonl", false) : a.log; // the day it started
    auto log = DurableLog::open(logPath);
    if (!log) {
        std::fprintf(stderr, "cpuctl: %s\n", log.error().message.c_str());
        return kExitFile;
    }
    if (log->tornBytes() > 0)
        std::fprintf(stderr,
                     "cpuctl: %s: a torn last line (%llu bytes) from an earlier run is set "
                     "aside\n",
                     logPath.c_str(), static_cast<unsigned long long>(log->tornBytes()));

    StationScreen screen(a, *log);
    auto station = Station::create(options, screen);
    if (!station) {
        std::fprintf(stderr, "cpuctl: %s\n", station.error().message.c_str());
        printLine(text::kNoPackage);
        return kExitFile;
    }

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
    const char* last = screen.finish();
    printLine(last);
    return screen.logBroken() ? kExitFile : kExitStopped;
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
    c->add_option("--baud", a->baud, "9600, 28800, 57600; anything else means 115200")
        ->capture_default_str();
    c->add_option("--screen", a->screen, "Screen number of the cards")->capture_default_str();
    c->add_option("--log", a->log,
                  "Log of every card, one JSON line each "
                  "(default station-YYYYMMDD.jsonl)");
    c->add_option("--poll", a->poll, "Seconds between two questions for a card, 0.05 to 60")
        ->check(CLI::Range(0.05, 60.0).description(""))
        ->capture_default_str();
    c->add_flag("--again", a->again, "Upgrade a card that failed once more if it still answers");
    c->add_flag("--json", a->json, "One JSON object per event on stdout");
    c->add_flag("-v,--verbose", a->verbose, "Say on stderr why a step failed");
    c->add_option("--summary", a->summary, "Print the totals of a station log and end");
    c->callback([&run, a] { run = [a] { return runStation(*a); }; });
}

} // namespace cpuconfig::cli
