// cpuctl: the command-line front end of the engine, for scripts, production lines and
// machines without a display. The last line on stdout is the system's own status text.
#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "common/Version.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    using namespace cpuconfig::cli;
    prepareConsole();

    // Named, so that help shows "cpuctl" rather than the path it was started by.
    CLI::App app{"cpuctl - CPU firmware service tool for LED display controller cards", "cpuctl"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("cpuctl ") + cpuconfig::kVersion);
    // Wide enough that every option name stands apart from its description: the manual
    // page and the shell completion read them from this help.
    app.get_formatter()->column_width(40);

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
