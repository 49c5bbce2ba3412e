// cpuctl: the command-line front end of the engine, for scripts, production lines and
// machines without a display. The commands are a library (cli/CommandLine.h); this is the
// process around them: its arguments, its streams, its signals.
#include "cli/CommandLine.h"
#include "cli/Terminal.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    using namespace cpuconfig::cli;
    prepareConsole();
    Context ctx(std::cout, std::cerr, {stderrIsTerminal(), terminalWidth});
    ctx.listen = [](StopRequests& requests) { return std::make_shared<StopOnSignal>(requests); };
    ctx.quit = [](int code) {
        std::fflush(nullptr);
        std::_Exit(code);
    };
    return CommandLine().run(std::vector<std::string>(argv, argv + argc), ctx);
}
