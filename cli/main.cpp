// cpuctl: the command-line front end of the engine, for scripts, production lines and
// machines without a display. The last line on stdout is the system's own status text.
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Terminal.h"
#include "common/Version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <string>

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

int main(int argc, char** argv) {
    using namespace cpuconfig::cli;
    prepareConsole();

    // Named, so that help shows "cpuctl" rather than the path it was started by.
    CLI::App app{"cpuctl - CPU firmware service tool for LED display controller cards", "cpuctl"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("cpuctl ") + cpuconfig::kVersion);

    Runner run;
    addPackageCommands(app, run);
    addLinkCommands(app, run);
    addStationCommand(app, run);
    leaveRoomInHelp(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        if (rc == 0)
            return kExitOk;
        // A script that asked for --json reads the usage error as its report too.
        if (std::any_of(argv + 1, argv + argc,
                        [](const char* a) { return std::string(a) == "--json"; })) {
            Json j;
            addOutcome(j, kExitUsage, "", e.what());
            printLine(jsonText(j));
        }
        return kExitUsage;
    }
    return run ? run() : kExitUsage;
}
