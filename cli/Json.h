// JSON for cpuctl's --json reports and --progress json, written with nlohmann::json. Keys
// keep the order they are set in, so reports read the same from one release to the next.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace cpuconfig::cli {

using Json = nlohmann::ordered_json;

// One line of JSON. Bytes that are not UTF-8 (a port's name, a card's model) come out as
// U+FFFD instead of stopping the report.
inline std::string jsonText(const Json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Seconds with millisecond precision, as the reports have always given them.
inline double jsonSeconds(double seconds) {
    return static_cast<double>(static_cast<long long>(seconds * 1000.0 + 0.5)) / 1000.0;
}

} // namespace cpuconfig::cli
