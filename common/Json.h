// JSON for cpuctl's --json reports and --progress json and for the station's log, written
// with nlohmann::json. Keys keep the order they are set in, so reports read the same from
// one release to the next.
#pragma once

#include <nlohmann/json.hpp>

#include <cmath>
#include <string>

namespace cpuconfig {

using Json = nlohmann::ordered_json;

// One line of JSON. Bytes that are not UTF-8 (a port's name, a card's model) come out as
// U+FFFD instead of stopping the report.
inline std::string jsonText(const Json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Seconds with millisecond precision, as the reports have always given them. What no clock
// gives (not finite, beyond any rounding) is passed on unrounded or as 0, never converted
// to an integer it does not fit.
inline double jsonSeconds(double seconds) {
    if (!std::isfinite(seconds))
        return 0.0;
    return std::abs(seconds) < 1e12 ? std::round(seconds * 1000.0) / 1000.0 : seconds;
}

// What every report ends with: the exit code, the system's status text (empty where the
// command has none) and the reason in plain words (empty when all went well).
inline void addOutcome(Json& j, int exitCode, const std::string& status,
                       const std::string& reason) {
    j["exitCode"] = exitCode;
    j["status"] = status;
    j["reason"] = reason;
}

} // namespace cpuconfig
