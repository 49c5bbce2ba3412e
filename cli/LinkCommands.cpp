// cpuctl upgrade | query | scan | ports | simulate
#include "cli/Commands.h"

#include <CLI/CLI.hpp>

namespace cpuconfig::cli {

void addLinkCommands(CLI::App& app, Runner& run) {
    (void)app;
    (void)run;
}

} // namespace cpuconfig::cli
