// cpuctl's exit codes, and what turns an outcome into one. Scripts depend on these.
#pragma once

#include "common/Result.h"
#include "link/Outcome.h"

#include <string>

namespace cpuconfig::cli {

class Console;

enum Exit : int {
    kExitOk = 0,
    kExitCard = 1,  // the card did not confirm / did not answer
    kExitUsage = 2, // bad arguments
    kExitFile = 3,  // package missing or too short, image unreadable or empty, output not written
    kExitPort = 4,  // the port could not be opened or set up
    kExitStopped = 130, // Ctrl-C; the closing steps ran
};

// A package or image that could not be read or written.
int exitFor(const Error& e);
// How one card's upgrade ended.
int exitFor(CardEnd end);

// A usage error: one line on stderr ("cpuctl: what"); with --json also the report, one
// object with the exit code 2 and the reason. Returns the exit code.
int usageError(Console& console, const std::string& what, bool json);

} // namespace cpuconfig::cli
