// One cpuctl subcommand: its options, which the parse fills in, and what it does with them.
// Each lives in a file of its own (PackCommand.cpp, UpgradeCommand.cpp, ...); CommandLine
// puts them together.
#pragma once

#include "cli/Context.h"

#include <memory>

namespace CLI {
class App;
}

namespace cpuconfig::cli {

class Command {
public:
    virtual ~Command() = default;
    // Adds the subcommand with its options to app (once, before the parse).
    virtual CLI::App* define(CLI::App& app) = 0;
    // Runs with the options as parsed. Returns the exit code.
    virtual int run(Context& ctx) = 0;
};

// In the order help lists them.
std::unique_ptr<Command> makePackCommand();
std::unique_ptr<Command> makeInfoCommand();
std::unique_ptr<Command> makeUnpackCommand();
std::unique_ptr<Command> makeUpgradeCommand();
std::unique_ptr<Command> makeQueryCommand();
std::unique_ptr<Command> makeScanCommand();
std::unique_ptr<Command> makePortsCommand();
std::unique_ptr<Command> makeSimulateCommand();
std::unique_ptr<Command> makeStationCommand();

} // namespace cpuconfig::cli
