// cpuctl scan: which screen numbers on a port answer.
#include "cli/CardOptions.h"
#include "cli/CardQuery.h"
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "common/Gbk.h"
#include "common/Json.h"
#include "common/Texts.h"
#include "link/Station.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace cpuconfig::cli {
namespace {

class ScanCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* s = app.add_subcommand("scan", "Ask every screen number in a range for its card");
        addPort(*s, m_card);
        addBaud(*s, m_card);
        s->add_flag("--json", m_card.json, "Also write a machine-readable report");
        addVerbose(*s, m_card);
        m_card.screens = "1-80";
        s->add_option("--screens", m_card.screens, "Screen numbers, e.g. 1-80 or 3,5-7")
            ->capture_default_str();
        return s;
    }

    // Every screen asked with the short acknowledge wait of a station looking for a card (a
    // card answers its address within milliseconds), so that 1-80 takes seconds, not
    // minutes; a screen that answers is shown at once.
    int run(Context& ctx) override {
        const CardOptions& a = m_card;
        Console& c = ctx.console;
        std::string problem = a.portAndBaudProblem();
        if (problem.empty() && !screensProblem(a.screens).empty())
            problem = "--screens: " + screensProblem(a.screens);
        if (!problem.empty())
            return usageError(c, problem, a.json);
        const auto screens = *parseScreens(a.screens);
        auto signals = ctx.listenForStops();
        const bool tty = c.errIsTerminal();
        std::vector<std::pair<int, std::string>> found;
        std::string failure; // the port's fault that ended the scan
        bool told = false;   // and --verbose has said it
        if (!a.json)
            c.print("screen  model");
        for (std::size_t i = 0; i < screens.size() && !ctx.stops.stopped(); ++i) {
            const int screen = screens[i];
            if (tty) {
                char line[96];
                std::snprintf(line, sizeof line, "\rscan: screen %d, %zu of %zu, %zu found\x1b[K",
                              screen, i + 1, screens.size(), found.size());
                c.toErr(line);
            }
            const QueryAnswer r =
                queryCard(a, c, screen, ctx.stops.token(), StationOptions{}.findWait);
            told = r.told;
            const bool portFailed =
                r.outcome.end == CardEnd::PortFailed || r.outcome.end == CardEnd::Stopped;
            if (portFailed && !ctx.stops.stopped()) {
                failure = r.why.empty() ? std::string(text::kSendFailed) : r.why;
                break; // the port itself failed: no point going on
            }
            if (!r.outcome.model)
                continue;
            found.emplace_back(screen, gbkToUtf8(*r.outcome.model));
            if (a.json)
                continue;
            if (tty)
                c.toErr("\r\x1b[K");
            char line[64];
            std::snprintf(line, sizeof line, "%-6d  ", screen);
            c.print(line + found.back().second);
        }
        if (tty)
            c.toErr("\r\x1b[K");
        int exit = found.empty() ? kExitCard : kExitOk;
        const char* last = found.empty() ? text::kQueryFailed : text::kQueryOk;
        std::string reason = found.empty() ? "no screen answered" : "";
        if (!failure.empty()) {
            exit = kExitPort;
            last = text::kSendFailed;
            reason = failure;
            if (!told)
                c.note(failure);
        } else if (ctx.stops.stopped()) {
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
            c.print(jsonText(j));
            return exit;
        }
        c.print(last);
        return exit;
    }

private:
    CardOptions m_card;
};

} // namespace

std::unique_ptr<Command> makeScanCommand() {
    return std::make_unique<ScanCommand>();
}

} // namespace cpuconfig::cli
