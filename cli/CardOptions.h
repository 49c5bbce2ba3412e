// What the card commands (upgrade, query, scan, station) share: their options, the checks
// made before anything reaches a port, and the --verbose log.
#pragma once

#include "cli/Console.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace cpuconfig::cli {

struct CardOptions {
    std::string port;               // query, scan
    std::vector<std::string> ports; // upgrade, station: --port as often as given
    std::string baud = "115200";
    std::string screen = "1";
    std::string screens;
    bool json = false;
    bool verbose = false;

    // The first problem with --port (each of them) or --baud, as the line a usage error
    // says; empty when there is none.
    std::string portAndBaudProblem() const;
};

// The options as the commands add them; help shows them in the order they are added.
void addPort(CLI::App& command, CardOptions& o);
void addPorts(CLI::App& command, CardOptions& o, const std::string& help, bool required);
void addBaud(CLI::App& command, CardOptions& o);
void addVerbose(CLI::App& command, CardOptions& o);

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
// Two workers on one port would fight over it: the second could never open it.
std::string samePortProblem(const std::vector<std::string>& ports);

// --verbose: each failed step's reason on stderr, as a JSON line each when asJson (with
// --progress json). Empty without --verbose. Every port's worker calls it at once.
std::function<void(const std::string&)> verboseLog(const CardOptions& o, Console& console,
                                                   bool asJson = false);

} // namespace cpuconfig::cli
