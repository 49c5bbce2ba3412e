// cpuctl upgrade: one card, several cards on one port in turn, or several ports at once.
#include "cli/CardOptions.h"
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "cli/PortsView.h"
#include "common/Json.h"

#include "common/Texts.h"
#include "link/ParallelUpgrade.h"
#include "package/PackageFormat.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <memory>

namespace cpuconfig::cli {
namespace {

// The screen as the reports give it: a number (the engine's selection holds its text).
int screenNumber(const std::string& screen) {
    return parseScreen(screen).value_or(0);
}

const char* resultWord(CardEnd end) {
    return end == CardEnd::Confirmed ? "ok" : end == CardEnd::Stopped ? "stopped" : "failed";
}

// What an upgrade shows while it runs: progress (a bar, a board or JSON lines on stderr),
// why a card failed, and a line per card when there are several. Every port's worker
// calls it at once.
class UpgradeView {
public:
    UpgradeView(Console& console, const CardOptions& o, const std::string& progress,
                std::size_t screens)
        : m_view(console, modeFor(console, o, progress), o.ports), m_report(o.json),
          m_verbose(o.verbose), m_multiPort(o.ports.size() > 1),
          m_multiCard(o.ports.size() * screens > 1) {}

    void started(std::size_t row, const std::string& port, const std::string& screen) {
        std::lock_guard lock(m_mutex);
        m_lastJson[row] = {};
        if (m_view.mode() == PortsView::Mode::Board)
            m_view.begin(row, m_view.padded(row) + " " + label("", screen));
        else
            m_view.begin(row, m_multiCard ? label(port, screen) : std::string("upgrade"));
    }

    void progress(std::size_t row, const std::string& port, const std::string& screen,
                  std::uint64_t sent, std::uint64_t total) {
        std::lock_guard lock(m_mutex);
        if (m_view.mode() == PortsView::Mode::JsonLines)
            jsonProgress(row, port, screen, sent, total, false);
        else
            m_view.progress(row, sent, total);
    }

    void finished(std::size_t row, const CardResult& r) {
        std::lock_guard lock(m_mutex);
        const bool json = m_view.mode() == PortsView::Mode::JsonLines;
        if (json && r.bytesTotal > 0)
            jsonProgress(row, r.port, r.screen, r.bytesSent, r.bytesTotal, true);
        m_view.end(row, r.status);
        const bool fileOrPort = r.end == CardEnd::PortFailed || r.end == CardEnd::NoPackage;
        if (m_view.mode() == PortsView::Mode::Board) {
            if (fileOrPort)
                m_view.note(r.reason); // after the board
            return;
        }
        if (fileOrPort && json)
            m_view.console().toErr(jsonText(Json{{"port", r.port},
                                                 {"screen", screenNumber(r.screen)},
                                                 {"reason", r.reason}}) +
                                   "\n");
        else if (fileOrPort && !(m_verbose && r.portError && r.portError->message == r.reason))
            m_view.note(r.reason); // unless --verbose said it
        if (m_multiCard && r.end != CardEnd::Stopped && !m_report)
            m_view.console().print(label(r.port, r.screen) + ": " + r.status);
    }

    void finish() { m_view.finish(); }

private:
    static PortsView::Mode modeFor(Console& console, const CardOptions& o,
                                   const std::string& progress) {
        if (progress == "json")
            return PortsView::Mode::JsonLines;
        if (progress != "auto" || !console.errIsTerminal())
            return PortsView::Mode::Lines;
        return o.ports.size() > 1 ? PortsView::Mode::Board : PortsView::Mode::Bar;
    }

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
        m_view.console().toErr(jsonText(j) + "\n");
    }

    using Clock = std::chrono::steady_clock;
    struct Shown {
        Clock::time_point at{};
        std::uint64_t sent = 0;
    };

    std::mutex m_mutex;
    PortsView m_view;
    const bool m_report; // the --json report is stdout's only text
    const bool m_verbose;
    const bool m_multiPort;
    const bool m_multiCard;
    std::map<std::size_t, Shown> m_lastJson;
};

class PortConsole final : public PortReporter {
public:
    PortConsole(UpgradeView& view, std::size_t row) : m_view(view), m_row(row) {}
    void cardStarted(const std::string& port, const std::string& screen) override {
        m_view.started(m_row, port, screen);
    }
    void progress(const std::string& port, const std::string& screen, std::uint64_t sent,
                  std::uint64_t total) override {
        m_view.progress(m_row, port, screen, sent, total);
    }
    void cardFinished(const CardResult& result) override { m_view.finished(m_row, result); }

private:
    UpgradeView& m_view;
    std::size_t m_row;
};

void printTable(Console& c, const std::vector<CardResult>& results, bool multiPort) {
    std::size_t portWidth = 4;
    for (const auto& r : results)
        portWidth = std::max(portWidth, r.port.size());
    c.print("");
    const std::string portHead = multiPort ? "port" + std::string(portWidth - 4, ' ') + "  " : "";
    c.print(portHead + "screen  result  bytes     seconds");
    for (const auto& r : results) {
        char line[128];
        std::snprintf(line, sizeof line, "%-6s  %-7s %-8llu  %.1f", r.screen.c_str(),
                      resultWord(r.end), static_cast<unsigned long long>(r.bytesSent), r.seconds);
        const std::string port =
            multiPort ? r.port + std::string(portWidth - r.port.size(), ' ') + "  " : "";
        c.print(port + line);
    }
}

class UpgradeCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* u = app.add_subcommand("upgrade", "Send the CPU package to a card");
        addPorts(*u, m_card,
                 "Serial port (see: cpuctl ports); give it again for several ports at once", true);
        addBaud(*u, m_card);
        u->add_flag("--json", m_card.json, "Also write a machine-readable report");
        addVerbose(*u, m_card);
        auto* single = u->add_option("--screen", m_card.screen, "Screen number of the card")
                           ->capture_default_str();
        u->add_option("--screens", m_card.screens, "Several cards in turn, e.g. 3,5-7")
            ->excludes(single);
        u->add_option("--package", m_package, "CPU package")->capture_default_str();
        u->add_option("--progress", m_progress,
                      "auto (a bar when stderr is a terminal), json (one object a line on "
                      "stderr), none")
            ->check(CLI::IsMember({"auto", "json", "none"}))
            ->capture_default_str();
        return u;
    }

    int run(Context& ctx) override {
        const CardOptions& a = m_card;
        std::string problem = a.portAndBaudProblem();
        if (problem.empty() && a.screens.empty() && !screenProblem(a.screen).empty())
            problem = "--screen: " + screenProblem(a.screen);
        if (problem.empty() && !a.screens.empty() && !screensProblem(a.screens).empty())
            problem = "--screens: " + screensProblem(a.screens);
        if (problem.empty())
            problem = samePortProblem(a.ports);
        if (!problem.empty())
            return usageError(ctx.console, problem, a.json);
        std::vector<std::string> screens;
        for (int s : a.screens.empty() ? std::vector<int>{*parseScreen(a.screen)}
                                       : *parseScreens(a.screens))
            screens.push_back(std::to_string(s));

        std::vector<PortJob> jobs;
        for (const auto& port : a.ports)
            jobs.push_back({port, screens});
        UpgradeView view(ctx.console, a, m_progress, screens.size());
        const auto results = upgrade(ctx, jobs, view);
        view.finish();
        return report(ctx.console, jobs, results);
    }

private:
    // The engine's part: every port at once, each card's progress and end on the view.
    std::vector<CardResult> upgrade(Context& ctx, const std::vector<PortJob>& jobs,
                                    UpgradeView& view) {
        std::vector<std::unique_ptr<PortConsole>> reporters;
        std::vector<PortReporter*> reporterPointers;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            reporters.push_back(std::make_unique<PortConsole>(view, i));
            reporterPointers.push_back(reporters.back().get());
        }
        UpgradeOptions options;
        options.log = verboseLog(m_card, ctx.console, m_progress == "json");
        options.package = ctx.file(m_package);

        auto signals = ctx.listenForStops();
        return runParallelUpgrade(jobs, m_card.baud, options, reporterPointers, ctx.stops.token());
    }

    // The table or the --json report, the status text last; returns the exit code.
    int report(Console& c, const std::vector<PortJob>& jobs,
               const std::vector<CardResult>& results) const {
        // A stop that cut a card short, or left one out, decides; otherwise the first card
        // that did not confirm, in the order the ports and screens were given.
        const CardResult* first = nullptr;
        bool stopped = results.size() < jobs.size() * jobs.front().screens.size();
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
        if (!m_card.json) {
            if (results.size() > 1)
                printTable(c, results, jobs.size() > 1);
            c.print(last);
            return exit;
        }
        Json j;
        j["port"] = m_card.ports.front(); // the first port: scripts written for one port read this
        j["ports"] = m_card.ports;
        j["package"] = m_package;
        j["results"] = Json::array();
        // Every port and screen, in that order; the ones a stop or a missing package left out
        // are marked as not begun.
        auto next = results.begin();
        for (const auto& job : jobs) {
            bool noPackage = false; // the port's cards after a missing package are not begun
            for (const auto& screen : job.screens) {
                const bool begun = next != results.end() && next->port == job.port;
                const CardResult r = begun ? *next++ : CardResult{};
                const CardEnd end = begun       ? r.end
                                    : noPackage ? CardEnd::NoPackage
                                                : CardEnd::Stopped;
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
        c.print(jsonText(j));
        return exit;
    }

    CardOptions m_card;
    std::string m_package = kPackageFileName;
    std::string m_progress = "auto"; // auto, json, none
};

} // namespace

std::unique_ptr<Command> makeUpgradeCommand() {
    return std::make_unique<UpgradeCommand>();
}

} // namespace cpuconfig::cli
