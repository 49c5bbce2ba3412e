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
#include "link/Station.h"
#include "link/getParam.h"
#ifndef _WIN32
#include "link/Simulator.h"
#endif

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

namespace cpuconfig::cli {

std::optional<int> parseScreen(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::from_chars(text.data(), end, value).ptr != end || value < kFirstScreen ||
        value > kLastScreen)
        return std::nullopt;
    return value;
}

std::optional<std::vector<int>> parseScreens(const std::string& text) {
    std::vector<int> out;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = std::min(text.find(',', pos), text.size());
        const std::string part = text.substr(pos, comma - pos);
        const std::size_t dash = part.find('-');
        const auto from = parseScreen(part.substr(0, dash));
        const auto to = dash == std::string::npos ? from : parseScreen(part.substr(dash + 1));
        if (!from || !to || *from > *to)
            return std::nullopt;
        for (int s = *from; s <= *to; ++s)
            out.push_back(s);
        pos = comma + 1;
    }
    return out;
}

std::string screenProblem(const std::string& text) {
    return parseScreen(text) ? "" : "\"" + text + "\" is not a screen number; screens are 1 to 80";
}

std::string screensProblem(const std::string& text) {
    return parseScreens(text) ? ""
                              : "\"" + text + "\" is not a list of screens like 3,5-7 (1 to 80)";
}

std::string baudProblem(const std::string& text) {
    for (const char* rate : {"9600", "28800", "57600", "115200"})
        if (text == rate)
            return "";
    return "\"" + text +
           "\" is not a rate the card takes; the rates are 9600, 28800, 57600 "
           "and 115200";
}

std::string portProblem(const std::string& name) {
    return name.empty() ? "empty; name a serial port (see: cpuctl ports)" : "";
}

int usageError(const std::string& what, bool json) {
    std::fprintf(stderr, "cpuctl: %s\n", what.c_str());
    if (json) {
        Json j;
        addOutcome(j, kExitUsage, "", what);
        printLine(jsonText(j));
    }
    return kExitUsage;
}

LinkOptions linkOptions(const LinkArgs& a) {
    LinkOptions o;
    if (a.verbose)
        o.log = [asJson = a.progress == "json"](const std::string& line) {
            // Called from every port's worker at once: one whole line each.
            static std::mutex m;
            std::lock_guard lock(m);
            if (asJson)
                std::fprintf(stderr, "%s\n", jsonText(Json{{"log", line}}).c_str());
            else
                std::fprintf(stderr, "cpuctl: %s\n", line.c_str());
        };
    return o;
}

namespace {

int queryExit(const Outcome& outcome, bool stopped) {
    if (stopped)
        return kExitStopped;
    return exitFor(outcome.end);
}

// One card query. why gets the reason it did not answer: the port's fault in plain words, or
// what the card said instead; told says --verbose has printed those very words already.
Outcome queryOnce(const LinkArgs& a, int screen, std::stop_token stop, std::string& why, bool& told,
                  std::chrono::milliseconds ackWait = LinkOptions{}.ackWait) {
    LinkOptions options = linkOptions(a);
    options.ackWait = ackWait;
    FixedSelection selection(a.port, a.baud, std::to_string(screen));
    const Outcome outcome = getParam(selection, stop, options);
    why = reasonText(outcome);
    told = a.verbose && why == outcome.lastWord;
    return outcome;
}

// The options query and scan share; empty when they are fine.
std::string cardOptionsProblem(const LinkArgs& a) {
    if (auto p = portProblem(a.port); !p.empty())
        return "--port: " + p;
    if (auto p = baudProblem(a.baud); !p.empty())
        return "--baud: " + p;
    return "";
}

int runQueryCommand(const LinkArgs& a) {
    std::string problem = cardOptionsProblem(a);
    if (problem.empty() && !screenProblem(a.screen).empty())
        problem = "--screen: " + screenProblem(a.screen);
    if (!problem.empty())
        return usageError(problem, a.json);
    StopOnSignal stop;
    std::string why;
    bool told = false;
    const Outcome outcome = queryOnce(a, *parseScreen(a.screen), stop.token(), why, told);
    const int exit = queryExit(outcome, stop.stopped());
    if (exit == kExitPort && !why.empty() && !told)
        std::fprintf(stderr, "cpuctl: %s\n", why.c_str());
    const std::string model = outcome.model ? gbkToUtf8(*outcome.model) : "";
    const auto statuses = statusTexts(outcome);
    const std::string last = statusText(outcome);
    if (a.json) {
        Json j;
        j["port"] = a.port;
        j["screen"] = *parseScreen(a.screen);
        j["answered"] = outcome.model.has_value();
        j["model"] = model;
        addOutcome(j, exit, last, exit == kExitOk ? "" : exit == kExitStopped ? "stopped" : why);
        printLine(jsonText(j));
        return exit;
    }
    for (std::size_t i = 0; i + 1 < statuses.size(); ++i)
        printLine(statuses[i]);
    if (outcome.model)
        printLine(model);
    printLine(last);
    return exit;
}

// Every screen asked with the short acknowledge wait of a station looking for a card (a
// card answers its address within milliseconds), so that 1-80 takes seconds, not minutes;
// a screen that answers is shown at once.
int runScanCommand(const LinkArgs& a) {
    std::string problem = cardOptionsProblem(a);
    if (problem.empty() && !screensProblem(a.screens).empty())
        problem = "--screens: " + screensProblem(a.screens);
    if (!problem.empty())
        return usageError(problem, a.json);
    const auto screens = *parseScreens(a.screens);
    StopOnSignal stop;
    const bool tty = stderrIsTerminal();
    std::vector<std::pair<int, std::string>> found;
    std::string failure; // the port's fault that ended the scan
    bool told = false;   // and --verbose has said it
    if (!a.json)
        printLine("screen  model");
    for (std::size_t i = 0; i < screens.size() && !stop.stopped(); ++i) {
        const int screen = screens[i];
        if (tty)
            std::fprintf(stderr, "\rscan: screen %d, %zu of %zu, %zu found\x1b[K", screen, i + 1,
                         screens.size(), found.size());
        std::string why;
        const Outcome outcome =
            queryOnce(a, screen, stop.token(), why, told, StationOptions{}.findWait);
        const bool portFailed =
            outcome.end == CardEnd::PortFailed || outcome.end == CardEnd::Stopped;
        if (portFailed && !stop.stopped()) {
            failure = why.empty() ? std::string(text::kSendFailed) : why;
            break; // the port itself failed: no point going on
        }
        if (!outcome.model)
            continue;
        found.emplace_back(screen, gbkToUtf8(*outcome.model));
        if (a.json)
            continue;
        if (tty)
            std::fputs("\r\x1b[K", stderr);
        char line[64];
        std::snprintf(line, sizeof line, "%-6d  ", screen);
        printLine(line + found.back().second);
    }
    if (tty)
        std::fputs("\r\x1b[K", stderr);
    int exit = found.empty() ? kExitCard : kExitOk;
    const char* last = found.empty() ? text::kQueryFailed : text::kQueryOk;
    std::string reason = found.empty() ? "no screen answered" : "";
    if (!failure.empty()) {
        exit = kExitPort;
        last = text::kSendFailed;
        reason = failure;
        if (!told)
            std::fprintf(stderr, "cpuctl: %s\n", failure.c_str());
    } else if (stop.stopped()) {
        exit = kExitStopped;
        last = text::kQueryFailed;
        reason = "stopped";
    }
    if (a.json) {
        Json j;
        j["port"] = a.port;
        j["cards"] = Json::array();
        for (const auto& [screen, model] : found)
            j["cards"].push_back(Json{{"screen", screen}, {"model", model}});
        addOutcome(j, exit, last, reason);
        printLine(jsonText(j));
        return exit;
    }
    printLine(last);
    return exit;
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
    std::string screen = "1";
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
    if (!fault)
        return usageError("--fault: unknown fault \"" + a.fault + "\"", false);
    if (const auto p = screenProblem(a.screen); !p.empty())
        return usageError("--screen: " + p, false);
    if (a.model.size() > kSimModelBytes)
        return usageError("--model: \"" + a.model + "\" is " + std::to_string(a.model.size()) +
                              " bytes; a card reports 12 at most",
                          false);
    if (const auto p = simPortNameProblem(a.name); !a.name.empty() && !p.empty())
        return usageError("--name: " + p, false);
    SimulatorOptions options;
    options.screen = *parseScreen(a.screen);
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
        return registered.error().code == ErrorCode::Usage ? kExitUsage : kExitPort;
    }
    printLine(registered->string());
    std::fprintf(stderr, "card: screen %d, model \"%s\", fault %s, on %s\n", options.screen,
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
        c->add_option("--baud", a.baud, "9600, 28800, 57600 or 115200")->capture_default_str();
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
    m->add_option("--screen", sim->screen, "Screen number it answers to, 1 to 80")
        ->capture_default_str();
    m->add_option("--model", sim->model, "Model text it reports (12 bytes at most)")
        ->capture_default_str();
    m->add_option("--fault", sim->fault, "none, silent, no-ack, nak, no-final, garbage, hangup")
        ->capture_default_str();
    m->add_flag("--baud-limit", sim->baudLimit, "Take bytes no faster than the line allows");
    m->add_option("--name", sim->name,
                  "Name under the ports folder, no dots or slashes (default SIM1, SIM2, ...)");
    m->add_option("--hangup-at", sim->hangupAt, "Percent of the transfer for --fault hangup")
        ->check(CLI::Range(0, 100))
        ->capture_default_str();
    m->callback([&run, sim] { run = [sim] { return runSimulateCommand(*sim); }; });
}

} // namespace cpuconfig::cli
