// What the card commands (upgrade, query, scan) share: their options and the helpers that
// turn them into engine options.
#pragma once

#include "link/Upgrade.h"
#include "package/PackageFormat.h"

#include <optional>
#include <string>
#include <vector>

namespace cpuconfig::cli {

struct LinkArgs {
    std::string port;               // query, scan
    std::vector<std::string> ports; // upgrade: --port as often as given
    std::string baud = "115200";
    std::string screen = "1";
    std::string screens;
    std::string package = kPackageFileName;
    std::string progress = "auto"; // upgrade: auto, json, none
    bool json = false;
    bool verbose = false;
};

// A screen number as the panel offers it: plain decimal digits, 1 to 80.
std::optional<int> parseScreen(const std::string& text);
// "3,5-7" gives 3 5 6 7, each number as parseScreen takes it.
std::optional<std::vector<int>> parseScreens(const std::string& text);

// What is wrong with an option's text, as the rest of a line that begins with the option;
// empty when nothing is. The baud rates are the panel's four texts: the engine reads any
// other text as 115200, which a technician who typed 960 did not mean.
std::string screenProblem(const std::string& text);
std::string screensProblem(const std::string& text);
std::string baudProblem(const std::string& text);
std::string portProblem(const std::string& name);

// A usage error: one line on stderr ("cpuctl: what"); with --json also the report, one
// object with the exit code 2 and the reason. Returns the exit code.
int usageError(const std::string& what, bool json);

// --verbose: each failed step's reason on stderr (a JSON line each with --progress json).
LinkOptions linkOptions(const LinkArgs& a);

int runUpgradeCommand(const LinkArgs& a);

// The exit code of one card's exchange, as scripts read it.
int exitFor(CardEnd end);

} // namespace cpuconfig::cli
