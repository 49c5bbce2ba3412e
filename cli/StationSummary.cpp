#include "cli/StationSummary.h"

#include "cli/ExitCodes.h"
#include "common/FileIo.h"
#include "common/Json.h"

#include <cstdio>
#include <fstream>

namespace cpuconfig::cli {
namespace {

// A card's time beyond this is no card's: a whole package at the slowest rate takes hours.
constexpr double kLongestCardSeconds = 24 * 3600.0;

std::string stringAt(const Json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

int summarizeStationLog(Console& c, const std::filesystem::path& log, const std::string& name,
                        bool json) {
    auto refuse = [&](const std::string& why) {
        c.note(why);
        if (json) {
            Json j;
            j["log"] = name;
            addOutcome(j, kExitFile, "", why);
            c.print(jsonText(j));
        }
        return kExitFile;
    };
    std::ifstream in(log, std::ios::binary);
    if (!isRegularFile(log) || !in)
        return refuse(name + ": cannot be read");
    unsigned done = 0, failed = 0, packages = 0, setAside = 0, number = 0;
    double seconds = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty())
            continue;
        // Every line of a log, a torn one too, is the beginning of a JSON object in text.
        if (line.front() != '{' || line.find('\0') != std::string::npos)
            return refuse(name + ": not a station log (line " + std::to_string(number) +
                          " is not a record)");
        const Json j = Json::parse(line, nullptr, false);
        const std::string event = j.is_object() ? stringAt(j, "event") : "";
        const std::string outcome = j.is_object() ? stringAt(j, "outcome") : "";
        const Json took = j.is_object() ? j.value("seconds", Json()) : Json();
        const bool card = event == "card" && (outcome == "done" || outcome == "failed") &&
                          took.is_number() && took.get<double>() >= 0 &&
                          took.get<double>() <= kLongestCardSeconds;
        if (card) {
            (outcome == "done" ? done : failed)++;
            seconds += took.get<double>();
        } else if (event == "package") {
            ++packages;
        } else {
            ++setAside; // a torn line from a crash, or not a record of this log
        }
    }
    const double average = done + failed > 0 ? seconds / (done + failed) : 0.0;
    if (json) {
        Json j;
        j["log"] = name;
        j["cards"] = done + failed;
        j["done"] = done;
        j["failed"] = failed;
        j["averageSeconds"] = jsonSeconds(average);
        j["packageChanges"] = packages;
        j["linesSetAside"] = setAside;
        addOutcome(j, kExitOk, "", "");
        c.print(jsonText(j));
    }
    if (setAside > 0)
        c.note(name + ": " + std::to_string(setAside) + (setAside == 1 ? " line" : " lines") +
               " set aside (not a whole record)");
    if (!json) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "cards: %u done, %u failed, average %.1f s per card", done,
                      failed, average);
        c.print(buf);
    }
    return kExitOk;
}

} // namespace cpuconfig::cli
