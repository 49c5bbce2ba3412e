// cpuctl station --summary: the totals of a station's log.
#pragma once

#include "cli/Console.h"

#include <filesystem>
#include <string>

namespace cpuconfig::cli {

// log is the file to read, name the log as it was given. Returns the exit code.
int summarizeStationLog(Console& console, const std::filesystem::path& log, const std::string& name,
                        bool json);

} // namespace cpuconfig::cli
