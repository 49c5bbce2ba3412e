#include "cli/CommandLine.h"

#include "cli/ExitCodes.h"
#include "common/Json.h"
#include "common/Version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>

namespace cpuconfig::cli {
namespace {

// The manual page and the shell completion read each help entry as a name, a gap of two or
// more spaces and a description. CLI11 lets a name as wide as the column run into its
// description, so the column is made wider than the widest name of every command.
void leaveRoomInHelp(CLI::App& app) {
    const CLI::Formatter names; // the default formatter, as help writes the names
    std::size_t widest = 0;
    auto measure = [&](const CLI::App& command) {
        for (const CLI::Option* opt : command.get_options()) {
            const bool positional = !opt->nonpositional();
            widest = std::max(widest, names.make_option_name(opt, positional).size() +
                                          names.make_option_opts(opt).size());
        }
    };
    const CLI::App& top = app;
    measure(top);
    for (const CLI::App* command : top.get_subcommands(nullptr)) {
        widest = std::max(widest, command->get_display_name().size());
        measure(*command);
    }
    constexpr std::size_t kIndent = 2, kGap = 2, kNarrowest = 40;
    app.get_formatter()->column_width(std::max(kNarrowest, kIndent + widest + kGap));
}

} // namespace

CommandLine::CommandLine()
    // Named, so that help shows "cpuctl" rather than the path it was started by.
    : m_app(std::make_unique<CLI::App>(
          "cpuctl - CPU firmware service tool for LED display controller cards", "cpuctl")) {
    m_app->require_subcommand(1);
    m_app->set_version_flag("--version", std::string("cpuctl ") + cpuconfig::kVersion);
    for (auto make :
         {makePackCommand, makeInfoCommand, makeUnpackCommand, makeUpgradeCommand, makeQueryCommand,
          makeScanCommand, makePortsCommand, makeSimulateCommand, makeStationCommand}) {
        auto command = make();
        CLI::App* sub = command->define(*m_app);
        m_commands.emplace_back(sub, std::move(command));
    }
    leaveRoomInHelp(*m_app);
}

CommandLine::~CommandLine() = default;

int CommandLine::run(const std::vector<std::string>& args, Context& ctx) {
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    std::ostringstream out, err; // what the parser prints, passed on whole
    try {
        m_app->parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        const int rc = m_app->exit(e, out, err);
        ctx.console.toOut(out.str());
        ctx.console.toErr(err.str());
        if (rc == 0)
            return kExitOk;
        // A script that asked for --json reads the usage error as its report too.
        if (args.size() > 1 && std::find(args.begin() + 1, args.end(), "--json") != args.end()) {
            Json j;
            addOutcome(j, kExitUsage, "", e.what());
            ctx.console.print(jsonText(j));
        }
        return kExitUsage;
    }
    for (auto& [sub, command] : m_commands)
        if (sub->parsed())
            return command->run(ctx);
    return kExitUsage;
}

} // namespace cpuconfig::cli
