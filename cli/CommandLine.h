// cpuctl's command line: every subcommand on one parser; the parse picks one and runs it.
#pragma once

#include "cli/Command.h"
#include "cli/Context.h"

#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace cpuconfig::cli {

class CommandLine {
public:
    CommandLine();
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // args as main() gets them, the program's name first. Help, the version and a usage
    // error are printed here and end the run. Returns the exit code. Once per object.
    int run(const std::vector<std::string>& args, Context& ctx);

private:
    std::unique_ptr<CLI::App> m_app;
    std::vector<std::pair<CLI::App*, std::unique_ptr<Command>>> m_commands;
};

} // namespace cpuconfig::cli
