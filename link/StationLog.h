// The station's log: one JSON line per card and per change of the package, the same for
// cpuctl station and the station window, so that `cpuctl station --summary` reads either.
#pragma once

#include "common/Json.h"
#include "link/Station.h"

#include <string>

namespace cpuconfig {

// A port's state in the log's words and cpuctl's: "waiting", "card found", ...
const char* stationStateWord(PortState state);

// Now, as the log writes times: UTC, so that they stay in order across a change of summer
// time; local time for what is shown to a technician. format as for strftime.
std::string stationTime(const char* format, bool utc = true);

// The log of a station started today: station-YYYYMMDD.jsonl, by the local date.
std::string stationLogName();

// A line of the log: when (UTC) and what happened, then its details.
Json stationRecord(const char* event);
Json cardRecord(const StationCard& card);
Json packageRecord(const PackageChange& change);

} // namespace cpuconfig
