// cpuctl upgrade: one card, several cards on one port in turn, or several ports at once.
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/LinkArgs.h"
#include "cli/Terminal.h"

#include "common/Texts.h"
#include "link/ParallelUpgrade.h"
#include "link/PortInfo.h"

#include <cstdio>
#include <map>
#include <memory>

namespace cpuconfig::cli {

int exitFor(CardEnd end) {
    switch (end) {
    case CardEnd::Confirmed:
        return kExitOk;
    case CardEnd::NotConfirmed:
        return kExitCard;
    case CardEnd::NoPackage:
        return kExitFile;
    case CardEnd::PortFailed:
        return kExitPort;
    case CardEnd::Stopped:
        return kExitStopped;
    }
    return kExitCard;
}

namespace {

// The screen as the reports give it: a number (the engine's selection holds its text).
int screenNumber(const std::string& screen) {
    return parseScreen(screen).value_or(0);
}

const char* resultWord(CardEnd end) {
    return end == CardEnd::Confirmed ? "ok" : end == CardEnd::Stopped ? "stopped" : "failed";
}

// Where progress and per-card lines go. Shared by the ports' reporters, so it guards
// itself: the workers call it at the same time.
class Console {
public:
    Console(const LinkArgs& a, std::size_t screens)
        : m_json(a.progress == "json"), m_report(a.json), m_verbose(a.verbose),
          m_multiPort(a.ports.size() > 1), m_multiCard(a.ports.size() * screens > 1),
          m_terminal(a.progress == "auto" && stderrIsTerminal()) {
        for (const auto& port : a.ports)
            m_portWidth = std::max(m_portWidth, port.size());
        if (m_terminal && m_multiPort)
            m_board = std::make_unique<ProgressBoard>(a.ports.size());
    }

    void started(std::size_t row, const std::string& port, const std::string& screen) {
        std::lock_guard lock(m_mutex);
        m_lastJson[row] = {};
        if (m_board)
            m_board->begin(row, port + std::string(m_portWidth - port.size(), ' ') + " " +
                                    label("", screen));
        else if (m_terminal)
            m_line = std::make_unique<ProgressLine>(m_multiCard ? label(port, screen)
                                                                : std::string("upgrade"));
    }

    void progress(std::size_t row, const std::string& port, const std::string& screen,
                  std::uint64_t sent, std::uint64_t total) {
        std::lock_guard lock(m_mutex);
        if (m_json)
            jsonProgress(row, port, screen, sent, total, false);
        else if (m_board)
            m_board->update(row, sent, total);
        else if (m_line)
            m_line->update(sent, total);
    }

    void finished(std::size_t row, const CardResult& r) {
        std::lock_guard lock(m_mutex);
        if (m_json && r.bytesTotal > 0)
            jsonProgress(row, r.port, r.screen, r.bytesSent, r.bytesTotal, true);
        if (m_board) {
            m_board->end(row, r.status);
            if (r.end == CardEnd::PortFailed || r.end == CardEnd::NoPackage)
                m_afterBoard.push_back(r.reason);
            return;
        }
        if (m_line)
            m_line->finish();
        m_line.reset();
        if ((r.end == CardEnd::PortFailed || r.end == CardEnd::NoPackage) && m_json)
            std::fprintf(stderr, "%s\n",
                         jsonText(Json{{"port", r.port},
                                       {"screen", screenNumber(r.screen)},
                                       {"reason", r.reason}})
                             .c_str());
        else if ((r.end == CardEnd::PortFailed || r.end == CardEnd::NoPackage) &&
                 !(m_verbose && r.portError && r.portError->message == r.reason))
            std::fprintf(stderr, "cpuctl: %s\n", r.reason.c_str()); // unless --verbose said it
        if (m_multiCard && r.end != CardEnd::Stopped && !m_report)
            printLine(label(r.port, r.screen) + ": " + r.status);
    }

    // The board's last drawing, then what could not be said while it stood.
    void finish() {
        std::lock_guard lock(m_mutex);
        if (m_board)
            m_board->finish();
        for (const auto& reason : m_afterBoard)
            std::fprintf(stderr, "cpuctl: %s\n", reason.c_str());
        m_afterBoard.clear();
    }

private:
    std::string label(const std::string& port, const std::string& screen) const {
        return (m_multiPort && !port.empty() ? port + " " : "") + "screen " + screen;
    }

    // At most ten lines a second for each port, and always a card's last position.
    void jsonProgress(std::size_t row, const std::string& port, const std::string& screen,
                      std::uint64_t sent, std::uint64_t total, bool last) {
        auto& shown = m_lastJson[row];
        const auto now = std::chrono::steady_clock::now();
        if (last ? shown.sent == sent && shown.at != Clock::time_point{}
                 : shown.at != Clock::time_point{} && sent < total &&
                       now - shown.at < std::chrono::milliseconds(100))
            return;
        shown = {now, sent};
        Json j;
        j["port"] = port;
        j["screen"] = screenNumber(screen);
        j["sent"] = sent;
        j["total"] = total;
        std::fprintf(stderr, "%s\n", jsonText(j).c_str());
        std::fflush(stderr);
    }

    using Clock = std::chrono::steady_clock;
    struct Shown {
        Clock::time_point at{};
        std::uint64_t sent = 0;
    };

    std::mutex m_mutex;
    const bool m_json;   // progress as JSON lines on stderr
    const bool m_report; // the --json report is stdout's only text
    const bool m_verbose;
    const bool m_multiPort;
    const bool m_multiCard;
    const bool m_terminal;
    std::size_t m_portWidth = 0;
    std::unique_ptr<ProgressBoard> m_board;
    std::unique_ptr<ProgressLine> m_line; // one card at a time when there is one port
    std::map<std::size_t, Shown> m_lastJson;
    std::vector<std::string> m_afterBoard;
};

class PortConsole final : public PortReporter {
public:
    PortConsole(Console& console, std::size_t row) : m_console(console), m_row(row) {}
    void cardStarted(const std::string& port, const std::string& screen) override {
        m_console.started(m_row, port, screen);
    }
    void progress(const std::string& port, const std::string& screen, std::uint64_t sent,
                  std::uint64_t total) override {
        m_console.progress(m_row, port, screen, sent, total);
    }
    void cardFinished(const CardResult& result) override { m_console.finished(m_row, result); }

private:
    Console& m_console;
    std::size_t m_row;
};

void printTable(const std::vector<CardResult>& results, bool multiPort) {
    std::size_t portWidth = 4;
    for (const auto& r : results)
        portWidth = std::max(portWidth, r.port.size());
    printLine("");
    const std::string portHead = multiPort ? "port" + std::string(portWidth - 4, ' ') + "  " : "";
    printLine(portHead + "screen  result  bytes     seconds");
    for (const auto& r : results) {
        char line[128];
        std::snprintf(line, sizeof line, "%-6s  %-7s %-8llu  %.1f", r.screen.c_str(),
                      resultWord(r.end), static_cast<unsigned long long>(r.bytesSent), r.seconds);
        const std::string port =
            multiPort ? r.port + std::string(portWidth - r.port.size(), ' ') + "  " : "";
        printLine(port + line);
    }
}

} // namespace

int runUpgradeCommand(const LinkArgs& a) {
    std::string problem;
    for (const auto& port : a.ports)
        if (problem.empty() && !portProblem(port).empty())
            problem = "--port: " + portProblem(port);
    if (problem.empty() && !baudProblem(a.baud).empty())
        problem = "--baud: " + baudProblem(a.baud);
    if (problem.empty() && a.screens.empty() && !screenProblem(a.screen).empty())
        problem = "--screen: " + screenProblem(a.screen);
    if (problem.empty() && !a.screens.empty() && !screensProblem(a.screens).empty())
        problem = "--screens: " + screensProblem(a.screens);
    // Two workers on one port would fight over it: the second could never open it.
    if (const auto same = findSamePort(a.ports); problem.empty() && same)
        problem = "--port " + a.ports[same->first] + " and --port " + a.ports[same->second] +
                  " are the same port";
    if (!problem.empty())
        return usageError(problem, a.json);
    std::vector<std::string> screens;
    for (int s :
         a.screens.empty() ? std::vector<int>{*parseScreen(a.screen)} : *parseScreens(a.screens))
        screens.push_back(std::to_string(s));

    std::vector<PortJob> jobs;
    for (const auto& port : a.ports)
        jobs.push_back({port, screens});
    Console console(a, screens.size());
    std::vector<std::unique_ptr<PortConsole>> reporters;
    std::vector<PortReporter*> reporterPointers;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        reporters.push_back(std::make_unique<PortConsole>(console, i));
        reporterPointers.push_back(reporters.back().get());
    }
    UpgradeOptions options;
    static_cast<LinkOptions&>(options) = linkOptions(a);
    options.package = a.package;

    StopOnSignal stop;
    const auto results = runParallelUpgrade(jobs, a.baud, options, reporterPointers, stop.token());
    console.finish();

    // A stop that cut a card short, or left one out, decides; otherwise the first card
    // that did not confirm, in the order the ports and screens were given.
    const CardResult* first = nullptr;
    bool stopped = results.size() < jobs.size() * screens.size();
    for (const auto& r : results) {
        stopped = stopped || r.end == CardEnd::Stopped;
        if (r.end != CardEnd::Confirmed && !first)
            first = &r;
    }
    int exit = first ? exitFor(first->end) : kExitOk;
    const char* last = first ? first->status : text::kConfigOk;
    std::string reason = first ? first->reason : "";
    if (stopped) {
        exit = kExitStopped;
        last = text::kSendFailed;
        reason = "stopped";
    }
    if (!a.json) {
        if (results.size() > 1)
            printTable(results, jobs.size() > 1);
        printLine(last);
        return exit;
    }
    Json j;
    j["port"] = a.ports.front(); // the first port: scripts written for one port read this
    j["ports"] = a.ports;
    j["package"] = a.package;
    j["results"] = Json::array();
    // Every port and screen, in that order; the ones a stop or a missing package left out
    // are marked as not begun.
    auto next = results.begin();
    for (const auto& job : jobs) {
        bool noPackage = false; // the port's cards after a missing package are not begun
        for (const auto& screen : job.screens) {
            const bool begun = next != results.end() && next->port == job.port;
            const CardResult r = begun ? *next++ : CardResult{};
            const CardEnd end = begun ? r.end : noPackage ? CardEnd::NoPackage : CardEnd::Stopped;
            noPackage = end == CardEnd::NoPackage;
            Json e;
            e["screen"] = screenNumber(screen);
            e["ok"] = end == CardEnd::Confirmed;
            e["exitCode"] = exitFor(end);
            e["status"] = begun ? r.status : "";
            e["bytesSent"] = r.bytesSent;
            e["seconds"] = jsonSeconds(r.seconds);
            e["port"] = job.port;
            e["bytesTotal"] = r.bytesTotal;
            e["reason"] = begun       ? r.reason
                          : noPackage ? "not begun: the package is missing"
                                      : "not begun: stopped before its turn";
            e["begun"] = begun;
            j["results"].push_back(std::move(e));
        }
    }
    addOutcome(j, exit, last, reason);
    printLine(jsonText(j));
    return exit;
}

} // namespace cpuconfig::cli
