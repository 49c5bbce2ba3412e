// cpuctl query | scan | ports | simulate, and the options of upgrade (cli/UpgradeCommand.cpp)
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/LinkArgs.h"
#include "cli/Terminal.h"

#include "common/Gbk.h"
#include "common/Texts.h"
#include "link/PortFault.h"
#include "link/PortInfo.h"
#include "link/PortList.h"
#include "link/getParam.h"
#ifndef _WIN32
#include "link/Simulator.h"
#endif

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

namespace cpuconfig::cli {

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

LinkOptions linkOptions(const LinkArgs& a) {
    LinkOptions o;
    if (a.verbose)
        o.log = [](const std::string& line) {
            // Called from every port's worker at once: one whole line each.
            static std::mutex m;
            std::lock_guard lock(m);
            std::fprintf(stderr, "cpuctl: %s\n", line.c_str());
        };
    return o;
}

namespace {

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

// One card query. why gets the plain-words reason when the port could not be used.
int queryOnce(const LinkArgs& a, const std::string& screen, ConsoleReporter& reporter,
              std::stop_token stop, std::string& why) {
    LinkOptions options = linkOptions(a);
    std::optional<Error> fault;
    options.portFault = [&fault](const Error& e) { fault = fault ? fault : e; };
    FixedSelection selection(a.port, a.baud, screen);
    const int result = getParam(reporter, selection, stop, options);
    if (result != 0 && fault)
        why = explainPortFault(a.port, *fault);
    return result;
}

int runQueryCommand(const LinkArgs& a) {
    StopOnSignal stop;
    ConsoleReporter reporter;
    std::string why;
    const int result = queryOnce(a, a.screen, reporter, stop.token(), why);
    if (!why.empty())
        std::fprintf(stderr, "cpuctl: %s\n", why.c_str());
    const int exit = queryExit(result, reporter, stop.stopped());
    const std::string model = reporter.model ? gbkToUtf8(*reporter.model) : "";
    if (a.json) {
        Json j;
        j["port"] = a.port;
        j["screen"] = a.screen;
        j["answered"] = reporter.model.has_value();
        j["model"] = model;
        j["exitCode"] = exit;
        printLine(jsonText(j));
    }
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
        std::string why;
        const int result = queryOnce(a, std::to_string(screen), reporter, stop.token(), why);
        if (result != 0 && !stop.stopped()) {
            if (tty)
                std::fputc('\n', stderr);
            if (!why.empty())
                std::fprintf(stderr, "cpuctl: %s\n", why.c_str());
            printLine(text::kSendFailed); // the port itself failed: no point going on
            return kExitPort;
        }
        if (reporter.model)
            found.emplace_back(screen, gbkToUtf8(*reporter.model));
    }
    if (tty)
        std::fputc('\n', stderr);
    if (a.json) {
        Json j;
        j["port"] = a.port;
        j["cards"] = Json::array();
        for (const auto& [screen, model] : found)
            j["cards"].push_back(Json{{"screen", screen}, {"model", model}});
        printLine(jsonText(j));
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

struct PortsArgs {
    bool json = false;
    bool longForm = false;
    std::string root = "/";
};

Json portJson(const PortInfo& p) {
    Json j;
    j["device"] = p.device;
    j["byId"] = p.byId;
    j["byPath"] = p.byPath;
    j["driver"] = p.driver;
    j["vendorId"] = p.vendorId;
    j["productId"] = p.productId;
    j["serial"] = p.serial;
    j["manufacturer"] = p.manufacturer;
    j["product"] = p.product;
    if (!p.systemName.empty())
        j["systemName"] = p.systemName;
    j["simulated"] = p.simulated;
    if (p.simulated) {
        j["screen"] = p.screen;
        j["model"] = p.model;
        j["target"] = p.target;
    }
    return j;
}

void printPortLong(const PortInfo& p) {
    printLine(p.device);
    auto row = [](const char* key, const std::string& value) {
        if (!value.empty())
            printLine("  " + std::string(key) + std::string(14 - std::strlen(key), ' ') + value);
    };
    if (p.simulated)
        row("simulated",
            "screen " + std::to_string(p.screen) + ", model " + p.model + ", on " + p.target);
    for (const auto& link : p.byId)
        row("by-id", link);
    for (const auto& link : p.byPath)
        row("by-path", link);
    row("driver", p.driver);
    row("usb id", p.vendorId.empty() ? "" : p.vendorId + ":" + p.productId);
    row("serial", p.serial);
    row("manufacturer", p.manufacturer);
    row("product", p.product);
    row("registry", p.systemName);
}

int runPortsCommand(const PortsArgs& a) {
    PortTree tree;
    tree.root = a.root;
    const auto ports = describeSerialPorts(tree);
    if (a.json) {
        Json j = Json::array();
        for (const auto& p : ports) {
            if (a.longForm)
                j.push_back(portJson(p));
            else
                j.push_back(p.device); // the plain list scripts have always read
        }
        printLine(jsonText(j));
    } else {
        for (const auto& p : ports) {
            if (a.longForm)
                printPortLong(p);
            else
                printLine(p.device);
        }
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
        c->add_option("--baud", a.baud, "9600, 28800, 57600; anything else means 115200")
            ->capture_default_str();
        c->add_flag("--json", a.json, "Also write a machine-readable report");
        c->add_flag("-v,--verbose", a.verbose, "Say on stderr why a step failed");
    };
    auto addPort = [](CLI::App* c, LinkArgs& a) {
        c->add_option("--port", a.port, "Serial port (see: cpuctl ports)")->required();
    };

    auto up = std::make_shared<LinkArgs>();
    auto* u = app.add_subcommand("upgrade", "Send the CPU package to a card");
    u->add_option("--port", up->ports,
                  "Serial port (see: cpuctl ports); give it again for several ports at once")
        ->required()
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    addLinkOptions(u, *up);
    auto* single =
        u->add_option("--screen", up->screen, "Screen number of the card")->capture_default_str();
    u->add_option("--screens", up->screens, "Several cards in turn, e.g. 3,5-7")->excludes(single);
    u->add_option("--package", up->package, "CPU package")->capture_default_str();
    u->add_option("--progress", up->progress,
                  "auto (a bar when stderr is a terminal), json (one object a line on stderr), "
                  "none")
        ->check(CLI::IsMember({"auto", "json", "none"}))
        ->capture_default_str();
    u->callback([&run, up] { run = [up] { return runUpgradeCommand(*up); }; });

    auto q = std::make_shared<LinkArgs>();
    auto* qc = app.add_subcommand("query", "Ask a card for its model");
    addPort(qc, *q);
    addLinkOptions(qc, *q);
    qc->add_option("--screen", q->screen, "Screen number of the card")->capture_default_str();
    qc->callback([&run, q] { run = [q] { return runQueryCommand(*q); }; });

    auto s = std::make_shared<LinkArgs>();
    auto* sc = app.add_subcommand("scan", "Ask every screen number in a range for its card");
    addPort(sc, *s);
    addLinkOptions(sc, *s);
    s->screens = "1-80";
    sc->add_option("--screens", s->screens, "Screen numbers, e.g. 1-80 or 3,5-7")
        ->capture_default_str();
    sc->callback([&run, s] { run = [s] { return runScanCommand(*s); }; });

    auto pa = std::make_shared<PortsArgs>();
    auto* p = app.add_subcommand("ports", "List the serial ports");
    p->add_flag("--json", pa->json, "Machine-readable output");
    p->add_flag("-l,--long", pa->longForm,
                "What each port is: stable names, driver, USB ids, serial number, maker");
    // A copied /sys and /dev tree to read instead of the machine's own.
    p->add_option("--root", pa->root, "Read /sys and /dev under this folder")->group("");
    p->callback([&run, pa] { run = [pa] { return runPortsCommand(*pa); }; });

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
