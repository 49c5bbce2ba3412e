#include "cli/CardOptions.h"

#include "common/Json.h"
#include "link/PortInfo.h"
#include "link/Selection.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>

namespace cpuconfig::cli {

std::string CardOptions::portAndBaudProblem() const {
    for (const auto& p : ports.empty() ? std::vector<std::string>{port} : ports)
        if (!portProblem(p).empty())
            return "--port: " + portProblem(p);
    if (!baudProblem(baud).empty())
        return "--baud: " + baudProblem(baud);
    return "";
}

void addPort(CLI::App& command, CardOptions& o) {
    command.add_option("--port", o.port, "Serial port (see: cpuctl ports)")->required();
}

void addPorts(CLI::App& command, CardOptions& o, const std::string& help, bool required) {
    command.add_option("--port", o.ports, help)
        ->required(required)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void addBaud(CLI::App& command, CardOptions& o) {
    command.add_option("--baud", o.baud, "9600, 28800, 57600 or 115200")->capture_default_str();
}

void addVerbose(CLI::App& command, CardOptions& o) {
    command.add_flag("-v,--verbose", o.verbose, "Say on stderr why a step failed");
}

std::optional<int> parseScreen(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::from_chars(text.data(), end, value).ptr != end || value < kFirstScreen ||
        value > kLastScreen)
        return std::nullopt;
    return value;
}

std::optional<std::vector<int>> parseScreens(const std::string& text) {
    std::vector<int> out;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = std::min(text.find(',', pos), text.size());
        const std::string part = text.substr(pos, comma - pos);
        const std::size_t dash = part.find('-');
        const auto from = parseScreen(part.substr(0, dash));
        const auto to = dash == std::string::npos ? from : parseScreen(part.substr(dash + 1));
        if (!from || !to || *from > *to)
            return std::nullopt;
        for (int s = *from; s <= *to; ++s)
            out.push_back(s);
        pos = comma + 1;
    }
    return out;
}

std::string screenProblem(const std::string& text) {
    return parseScreen(text) ? "" : "\"" + text + "\" is not a screen number; screens are 1 to 80";
}

std::string screensProblem(const std::string& text) {
    return parseScreens(text) ? ""
                              : "\"" + text + "\" is not a list of screens like 3,5-7 (1 to 80)";
}

std::string baudProblem(const std::string& text) {
    for (const char* rate : {"9600", "28800", "57600", "115200"})
        if (text == rate)
            return "";
    return "\"" + text +
           "\" is not a rate the card takes; the rates are 9600, 28800, 57600 "
           "and 115200";
}

std::string portProblem(const std::string& name) {
    return name.empty() ? "empty; name a serial port (see: cpuctl ports)" : "";
}

std::string samePortProblem(const std::vector<std::string>& ports) {
    const auto same = findSamePort(ports);
    return same ? "--port " + ports[same->first] + " and --port " + ports[same->second] +
                      " are the same port"
                : "";
}

std::function<void(const std::string&)> verboseLog(const CardOptions& o, Console& console,
                                                   bool asJson) {
    if (!o.verbose)
        return {};
    return [&console, asJson](const std::string& line) {
        if (asJson)
            console.toErr(jsonText(Json{{"log", line}}) + "\n");
        else
            console.note(line);
    };
}

} // namespace cpuconfig::cli
