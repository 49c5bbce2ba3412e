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

// "3,5-7" gives 3 5 6 7. Screens are 1 to 255 (the address is one byte).
std::optional<std::vector<int>> parseScreens(const std::string& text);

// --verbose: each failed step's reason on stderr.
LinkOptions linkOptions(const LinkArgs& a);

int runUpgradeCommand(const LinkArgs& a);

} // namespace cpuconfig::cli
