// cpuctl upgrade | query | scan | ports | simulate
#include "cli/Commands.h"
#include "cli/Terminal.h"

#include "common/Gbk.h"
#include "common/Texts.h"
#include "link/PortList.h"
#include "link/Upgrade.h"
#include "link/getParam.h"
#ifndef _WIN32
#include "link/Simulator.h"
#endif

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace cpuconfig::cli {
namespace {

void printLine(const std::string& s) {
    std::fputs(s.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", unsigned{c});
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Ctrl-C and SIGTERM become a stop request; the worker then runs its closing steps.
std::atomic<int> g_signal{0};
extern "C" void onSignal(int sig) {
    g_signal.store(sig);
}

class StopOnSignal {
public:
    StopOnSignal() {
        g_signal.store(0);
        m_oldInt = std::signal(SIGINT, onSignal);
        m_oldTerm = std::signal(SIGTERM, onSignal);
        m_watcher = std::jthread([this](std::stop_token own) {
            while (!own.stop_requested()) {
                if (g_signal.load() != 0) {
                    m_source.request_stop();
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~StopOnSignal() {
        m_watcher.request_stop();
        m_watcher.join();
        std::signal(SIGINT, m_oldInt);
        std::signal(SIGTERM, m_oldTerm);
    }
    std::stop_token token() const { return m_source.get_token(); }
    bool stopped() const { return m_source.stop_requested(); }

private:
    std::stop_source m_source;
    void (*m_oldInt)(int) = SIG_DFL;
    void (*m_oldTerm)(int) = SIG_DFL;
    std::jthread m_watcher;
};

// "3,5-7" → 3 5 6 7. Screens are 1 to 255 (the address is one byte).
std::optional<std::vector<int>> parseScreens(const std::string& text) {
    std::vector<int> out;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = std::min(text.find(',', pos), text.size());
        const std::string part = text.substr(pos, comma - pos);
        const std::size_t dash = part.find('-');
        try {
            std::size_t used = 0;
            const int from = std::stoi(part.substr(0, dash), &used);
            if (used != part.substr(0, dash).size())
                return std::nullopt;
            int to = from;
            if (dash != std::string::npos) {
                const std::string rest = part.substr(dash + 1);
                to = std::stoi(rest, &used);
                if (used != rest.size())
                    return std::nullopt;
            }
            if (from < 1 || to > 255 || from > to)
                return std::nullopt;
            for (int s = from; s <= to; ++s)
                out.push_back(s);
        } catch (const std::exception&) {
            return std::nullopt;
        }
        pos = comma + 1;
    }
    if (out.empty())
        return std::nullopt;
    return out;
}

struct LinkArgs {
    std::string port;
    std::string baud = "115200";
    std::string screen = "1";
    std::string screens;
    std::string package = kPackageFileName;
    bool json = false;
    bool verbose = false;
};

LinkOptions linkOptions(const LinkArgs& a) {
    LinkOptions o;
    if (a.verbose)
        o.log = [](const std::string& line) { std::fprintf(stderr, "cpuctl: %s\n", line.c_str()); };
    return o;
}

// The main window of cpuctl: turns the upgrade's messages into a progress line and a
// final status text and exit code.
class ConsoleWindow final : public MainWindowLink {
public:
    explicit ConsoleWindow(std::string label) : m_line(std::move(label)) {}
    void send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        handle(message, wParam, lParam);
    }
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        handle(message, wParam, lParam);
    }
    void finish() { m_line.finish(); }
    const char* status() const { return m_status; }
    int exitCode(bool stopped) const {
        if (stopped && !m_result)
            return kExitStopped;
        if (m_noFile)
            return kExitFile;
        if (m_result)
            return *m_result == 0 ? kExitOk : kExitCard;
        return m_sendFailed ? kExitPort : kExitCard;
    }
    std::uint64_t sent() const { return m_position > 15 ? m_position - 15 : 0; }

private:
    void handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
        switch (message) {
        case WM_CPU_PROGRESS:
            if (lParam == kProgressMaximum)
                m_maximum = wParam;
            if (lParam == kProgressPosition) {
                m_position = wParam;
                m_status = text::kConfiguring;
                m_line.update(m_position, m_maximum);
            }
            break;
        case WM_CPU_SEND_FAILED:
            m_sendFailed = true;
            m_status = text::kSendFailed;
            break;
        case WM_CPU_NO_FILE:
            m_noFile = true;
            m_status = text::kNoPackage;
            break;
        case WM_CPU_RESULT:
            m_result = static_cast<int>(wParam);
            m_status = wParam == 0 ? text::kConfigOk : text::kConfigFailed;
            break;
        default:
            break;
        }
    }

    ProgressLine m_line;
    std::uint64_t m_maximum = 0;
    std::uint64_t m_position = 0;
    const char* m_status = text::kSendFailed;
    bool m_sendFailed = false;
    bool m_noFile = false;
    std::optional<int> m_result;
};

int runUpgradeCommand(const LinkArgs& a) {
    std::vector<std::string> screens;
    if (!a.screens.empty()) {
        const auto list = parseScreens(a.screens);
        if (!list) {
            std::fprintf(stderr, "cpuctl: --screens: \"%s\" is not a list like 3,5-7\n",
                         a.screens.c_str());
            return kExitUsage;
        }
        for (int s : *list)
            screens.push_back(std::to_string(s));
    } else {
        screens.push_back(a.screen);
    }
    StopOnSignal stop;
    struct Row {
        std::string screen;
        const char* status;
        int exit;
        std::uint64_t sent;
        double seconds;
    };
    std::vector<Row> rows;
    for (const auto& screen : screens) {
        if (stop.stopped())
            break;
        ConsoleWindow window(screens.size() > 1 ? "screen " + screen : "upgrade");
        FixedSelection selection(a.port, a.baud, screen);
        UpgradeOptions options;
        static_cast<LinkOptions&>(options) = linkOptions(a);
        options.package = a.package;
        const auto start = std::chrono::steady_clock::now();
        runUpgrade(window, selection, stop.token(), options);
        window.finish();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rows.push_back(
            {screen, window.status(), window.exitCode(stop.stopped()), window.sent(), seconds});
        if (rows.back().exit == kExitFile)
            break; // the same package for every card
        if (screens.size() > 1 && rows.back().exit != kExitStopped)
            printLine("screen " + screen + ": " + window.status());
    }

    int exit = kExitOk;
    for (const auto& r : rows)
        if (r.exit != kExitOk && exit == kExitOk)
            exit = r.exit;
    if (stop.stopped())
        exit = kExitStopped;

    if (screens.size() > 1) {
        printLine("");
        printLine("screen  result  bytes     seconds");
        for (const auto& r : rows) {
            char line[128];
            std::snprintf(line, sizeof line, "%-6s  %-6s  %-8llu  %.1f", r.screen.c_str(),
                          r.exit == kExitOk ? "ok" : "failed",
                          static_cast<unsigned long long>(r.sent), r.seconds);
            printLine(line);
        }
    }
    if (a.json) {
        std::string j = "{\"port\":" + jsonString(a.port) +
                        ",\"package\":" + jsonString(a.package) + ",\"results\":[";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto& r = rows[i];
            char num[64];
            std::snprintf(num, sizeof num, "%.3f", r.seconds);
            j += (i ? "," : "") + std::string("{\"screen\":") + jsonString(r.screen) +
                 ",\"ok\":" + (r.exit == kExitOk ? "true" : "false") +
                 ",\"exitCode\":" + std::to_string(r.exit) + ",\"status\":" + jsonString(r.status) +
                 ",\"bytesSent\":" + std::to_string(r.sent) + ",\"seconds\":" + num + "}";
        }
        printLine(j + "],\"exitCode\":" + std::to_string(exit) + "}");
    }
    const char* last = rows.empty() ? text::kSendFailed : rows.back().status;
    if (screens.size() > 1 && !rows.empty())
        last = exit == kExitOk     ? text::kConfigOk
               : exit == kExitFile ? text::kNoPackage
                                   : text::kConfigFailed;
    printLine(last);
    return exit;
}

class ConsoleReporter final : public QueryReporter {
public:
    void status(const char* text) override { statuses.emplace_back(text); }
    void cardModel(const std::string& bytes) override { model = bytes; }
    std::vector<std::string> statuses;
    std::optional<std::string> model;
};

int queryExit(int result, const ConsoleReporter& r, bool stopped) {
    if (stopped)
        return kExitStopped;
    if (result != 0)
        return kExitPort;
    return !r.statuses.empty() && r.statuses.back() == text::kQueryOk ? kExitOk : kExitCard;
}

int runQueryCommand(const LinkArgs& a) {
    StopOnSignal stop;
    ConsoleReporter reporter;
    FixedSelection selection(a.port, a.baud, a.screen);
    const int result = getParam(reporter, selection, stop.token(), linkOptions(a));
    const int exit = queryExit(result, reporter, stop.stopped());
    const std::string model = reporter.model ? gbkToUtf8(*reporter.model) : "";
    if (a.json)
        printLine("{\"port\":" + jsonString(a.port) + ",\"screen\":" + jsonString(a.screen) +
                  ",\"answered\":" + (reporter.model ? "true" : "false") + ",\"model\":" +
                  jsonString(model) + ",\"exitCode\":" + std::to_string(exit) + "}");
    for (std::size_t i = 0; i + 1 < reporter.statuses.size(); ++i)
        printLine(reporter.statuses[i]);
    if (reporter.model)
        printLine(model);
    printLine(reporter.statuses.empty() ? text::kSendFailed : reporter.statuses.back());
    return exit;
}

int runScanCommand(const LinkArgs& a) {
    const auto screens = parseScreens(a.screens.empty() ? "1-80" : a.screens);
    if (!screens) {
        std::fprintf(stderr, "cpuctl: --screens: \"%s\" is not a list like 1-80\n",
                     a.screens.c_str());
        return kExitUsage;
    }
    StopOnSignal stop;
    const bool tty = stderrIsTerminal();
    std::vector<std::pair<int, std::string>> found;
    for (int screen : *screens) {
        if (stop.stopped())
            break;
        if (tty)
            std::fprintf(stderr, "\rscan: screen %d (%zu found)\x1b[K", screen, found.size());
        ConsoleReporter reporter;
        FixedSelection selection(a.port, a.baud, std::to_string(screen));
        const int result = getParam(reporter, selection, stop.token(), linkOptions(a));
        if (result != 0 && !stop.stopped()) {
            if (tty)
                std::fputc('\n', stderr);
            printLine(text::kSendFailed); // the port itself failed: no point going on
            return kExitPort;
        }
        if (reporter.model)
            found.emplace_back(screen, gbkToUtf8(*reporter.model));
    }
    if (tty)
        std::fputc('\n', stderr);
    if (a.json) {
        std::string j = "{\"port\":" + jsonString(a.port) + ",\"cards\":[";
        for (std::size_t i = 0; i < found.size(); ++i)
            j += (i ? "," : "") + std::string("{\"screen\":") + std::to_string(found[i].first) +
                 ",\"model\":" + jsonString(found[i].second) + "}";
        printLine(j + "]}");
    } else {
        printLine("screen  model");
        for (const auto& [screen, model] : found) {
            char line[64];
            std::snprintf(line, sizeof line, "%-6d  ", screen);
            printLine(line + model);
        }
    }
    if (stop.stopped()) {
        printLine(text::kQueryFailed);
        return kExitStopped;
    }
    printLine(found.empty() ? text::kQueryFailed : text::kQueryOk);
    return found.empty() ? kExitCard : kExitOk;
}

int runPortsCommand(bool json) {
    const auto ports = listSerialPorts();
    if (json) {
        std::string j = "[";
        for (std::size_t i = 0; i < ports.size(); ++i)
            j += (i ? "," : "") + jsonString(ports[i]);
        printLine(j + "]");
    } else {
        for (const auto& p : ports)
            printLine(p);
    }
    return kExitOk;
}

struct SimulateArgs {
    int screen = 1;
    std::string model = "A8-SIM";
    std::string fault = "none";
    bool baudLimit = false;
    std::string name;
    int hangupAt = 50;
};

int runSimulateCommand(const SimulateArgs& a) {
#ifdef _WIN32
    (void)a;
    std::fprintf(stderr, "cpuctl: simulate needs pseudo-terminals, which this system lacks\n");
    return kExitUsage;
#else
    const auto fault = simFaultFromText(a.fault);
    if (!fault) {
        std::fprintf(stderr, "cpuctl: --fault: unknown fault \"%s\"\n", a.fault.c_str());
        return kExitUsage;
    }
    SimulatorOptions options;
    options.screen = a.screen;
    options.model = a.model;
    options.fault = *fault;
    options.baudLimit = a.baudLimit;
    options.hangupAtPercent = a.hangupAt;
    auto logMutex = std::make_shared<std::mutex>();
    options.log = [logMutex](const std::string& line) {
        std::lock_guard lock(*logMutex);
        std::fprintf(stderr, "card: %s\n", line.c_str());
        std::fflush(stderr);
    };
    auto sim = Simulator::create(std::move(options));
    if (!sim) {
        std::fprintf(stderr, "cpuctl: %s\n", sim.error().message.c_str());
        return kExitPort;
    }
    Result<std::filesystem::path> registered = makeError(ErrorCode::Usage, "");
    if (!a.name.empty()) {
        registered = (*sim)->registerPort(a.name);
    } else {
        for (int n = 1; n < 1000; ++n) {
            registered = (*sim)->registerPort("SIM" + std::to_string(n));
            if (registered || registered.error().code != ErrorCode::PortOpen)
                break;
        }
    }
    if (!registered) {
        std::fprintf(stderr, "cpuctl: %s\n", registered.error().message.c_str());
        return kExitPort;
    }
    printLine(registered->string());
    std::fprintf(stderr, "card: screen %d, model \"%s\", fault %s, on %s\n", a.screen,
                 a.model.c_str(), a.fault.c_str(), (*sim)->devicePath().c_str());
    {
        StopOnSignal stop;
        (*sim)->run(stop.token());
    }
    (*sim)->unregisterPort();
    return kExitOk;
#endif
}

} // namespace

void addLinkCommands(CLI::App& app, Runner& run) {
    auto addLinkOptions = [](CLI::App* c, LinkArgs& a) {
        c->add_option("--port", a.port, "Serial port (see: cpuctl ports)")->required();
        c->add_option("--baud", a.baud, "9600, 28800, 57600; anything else means 115200")
            ->capture_default_str();
        c->add_flag("--json", a.json, "Also write a machine-readable report");
        c->add_flag("-v,--verbose", a.verbose, "Say on stderr why a step failed");
    };

    auto up = std::make_shared<LinkArgs>();
    auto* u = app.add_subcommand("upgrade", "Send the CPU package to a card");
    addLinkOptions(u, *up);
    auto* single =
        u->add_option("--screen", up->screen, "Screen number of the card")->capture_default_str();
    u->add_option("--screens", up->screens, "Several cards in turn, e.g. 3,5-7")->excludes(single);
    u->add_option("--package", up->package, "CPU package")->capture_default_str();
    u->callback([&run, up] { run = [up] { return runUpgradeCommand(*up); }; });

    auto q = std::make_shared<LinkArgs>();
    auto* qc = app.add_subcommand("query", "Ask a card for its model");
    addLinkOptions(qc, *q);
    qc->add_option("--screen", q->screen, "Screen number of the card")->capture_default_str();
    qc->callback([&run, q] { run = [q] { return runQueryCommand(*q); }; });

    auto s = std::make_shared<LinkArgs>();
    auto* sc = app.add_subcommand("scan", "Ask every screen number in a range for its card");
    addLinkOptions(sc, *s);
    s->screens = "1-80";
    sc->add_option("--screens", s->screens, "Screen numbers, e.g. 1-80 or 3,5-7")
        ->capture_default_str();
    sc->callback([&run, s] { run = [s] { return runScanCommand(*s); }; });

    auto pj = std::make_shared<bool>(false);
    auto* p = app.add_subcommand("ports", "List the serial ports");
    p->add_flag("--json", *pj, "Machine-readable output");
    p->callback([&run, pj] { run = [pj] { return runPortsCommand(*pj); }; });

    auto sim = std::make_shared<SimulateArgs>();
    auto* m = app.add_subcommand("simulate", "Run a simulated card on a pseudo-terminal");
    m->add_option("--screen", sim->screen, "Screen number it answers to")
        ->check(CLI::Range(1, 255))
        ->capture_default_str();
    m->add_option("--model", sim->model, "Model text it reports (12 bytes at most)")
        ->capture_default_str();
    m->add_option("--fault", sim->fault, "none, silent, no-ack, nak, no-final, garbage, hangup")
        ->capture_default_str();
    m->add_flag("--baud-limit", sim->baudLimit, "Take bytes no faster than the line allows");
    m->add_option("--name", sim->name, "Name under the ports folder (default SIM1, SIM2, ...)");
    m->add_option("--hangup-at", sim->hangupAt, "Percent of the transfer for --fault hangup")
        ->check(CLI::Range(0, 100))
        ->capture_default_str();
    m->callback([&run, sim] { run = [sim] { return runSimulateCommand(*sim); }; });
}

} // namespace cpuconfig::cli
