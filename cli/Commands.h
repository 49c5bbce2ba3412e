// cpuctl's subcommands. Each group registers its subcommands on the app; the chosen one
// leaves its runner in `run`, which main() calls after parsing.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace cpuconfig::cli {

// Exit codes: scripts depend on these.
enum Exit : int {
    kExitOk = 0,
    kExitCard = 1,  // the card did not confirm / did not answer
    kExitUsage = 2, // bad arguments
    kExitFile = 3,  // package missing or too short, image unreadable or empty, output not written
    kExitPort = 4,  // the port could not be opened or set up
    kExitStopped = 130, // Ctrl-C; the closing steps ran
};

using Runner = std::function<int()>;

void addPackageCommands(CLI::App& app, Runner& run);
void addLinkCommands(CLI::App& app, Runner& run);
void addStationCommand(CLI::App& app, Runner& run);

} // namespace cpuconfig::cli
