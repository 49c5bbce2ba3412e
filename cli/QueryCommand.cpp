// cpuctl query: a card's model, then the system's status text.
#include "cli/CardOptions.h"
#include "cli/CardQuery.h"
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "common/Gbk.h"
#include "common/Json.h"
#include "common/Texts.h"

#include <CLI/CLI.hpp>

namespace cpuconfig::cli {
namespace {

class QueryCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* q = app.add_subcommand("query", "Ask a card for its model");
        addPort(*q, m_card);
        addBaud(*q, m_card);
        q->add_flag("--json", m_card.json, "Also write a machine-readable report");
        addVerbose(*q, m_card);
        q->add_option("--screen", m_card.screen, "Screen number of the card")
            ->capture_default_str();
        return q;
    }

    int run(Context& ctx) override {
        const CardOptions& a = m_card;
        Console& c = ctx.console;
        std::string problem = a.portAndBaudProblem();
        if (problem.empty() && !screenProblem(a.screen).empty())
            problem = "--screen: " + screenProblem(a.screen);
        if (!problem.empty())
            return usageError(c, problem, a.json);
        auto signals = ctx.listenForStops();
        const QueryAnswer r = queryCard(a, c, *parseScreen(a.screen), ctx.stops.token());
        const int exit = queryExit(r, ctx.stops.stopped());
        if (exit == kExitPort && !r.why.empty() && !r.told)
            c.note(r.why);
        const std::string model = r.outcome.model ? gbkToUtf8(*r.outcome.model) : "";
        const auto statuses = statusTexts(r.outcome);
        const std::string last = statusText(r.outcome);
        if (a.json) {
            Json j;
            j["port"] = a.port;
            j["screen"] = *parseScreen(a.screen);
            j["answered"] = r.outcome.model.has_value();
            j["model"] = model;
            addOutcome(j, exit, last,
                       exit == kExitOk        ? ""
                       : exit == kExitStopped ? "stopped"
                                              : r.why);
            c.print(jsonText(j));
            return exit;
        }
        for (std::size_t i = 0; i + 1 < statuses.size(); ++i)
            c.print(statuses[i]);
        if (r.outcome.model)
            c.print(model);
        c.print(last);
        return exit;
    }

private:
    CardOptions m_card;
};

} // namespace

std::unique_ptr<Command> makeQueryCommand() {
    return std::make_unique<QueryCommand>();
}

} // namespace cpuconfig::cli
