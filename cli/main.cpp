// cpuctl: the command-line front end of the engine, for scripts, production lines and
// machines without a display. The last line on stdout is the system's own status text.
#include "cli/Commands.h"
#include "cli/Terminal.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    using namespace cpuconfig::cli;
    prepareConsole();

    CLI::App app{"cpuctl - CPU firmware service tool for LED display controller cards"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "cpuctl 0.1.0");

    Runner run;
    addPackageCommands(app, run);
    addLinkCommands(app, run);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }
    return run ? run() : kExitUsage;
}
