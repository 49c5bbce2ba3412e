#include "link/StationLog.h"

#include "common/Gbk.h"
#include "link/Protocol.h"

#include <array>
#include <ctime>

namespace cpuconfig {
namespace {

std::tm timeNow(bool utc) {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    if (utc)
        gmtime_s(&tm, &t);
    else
        localtime_s(&tm, &t);
#else
    if (utc)
        gmtime_r(&t, &tm);
    else
        localtime_r(&t, &tm);
#endif
    return tm;
}

std::string timeText(const char* format, bool utc) {
    const std::tm tm = timeNow(utc);
    char buf[40];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

} // namespace

const char* stationStateWord(PortState s) {
    // In PortState's order.
    static constexpr std::array kWords{
        "waiting",   "port missing", "port busy", "port fault",           "card found",
        "upgrading", "done",         "failed",    "card still connected", "not logged"};
    static_assert(kWords.size() == static_cast<std::size_t>(PortState::NotLogged) + 1);
    const auto i = static_cast<std::size_t>(s);
    return i < kWords.size() ? kWords[i] : "";
}

std::string stationTime(const char* format, bool utc) {
    return timeText(format, utc);
}

std::string stationLogName() {
    return timeText("station-%Y%m%d.jsonl", false); // the day it started
}

Json stationRecord(const char* event) {
    return Json{{"time", stationTime("%Y-%m-%dT%H:%M:%SZ")}, {"event", event}};
}

Json cardRecord(const StationCard& c) {
    Json j = stationRecord("card");
    j["port"] = c.port;
    j["byId"] = c.byId;
    j["screen"] = protocol::screenFromText(c.screen).value_or(0);
    j["model"] = gbkToUtf8(c.model);
    j["packageSha256"] = c.packageSha256;
    j["outcome"] = c.ok ? "done" : "failed";
    j["status"] = c.status;
    j["reason"] = c.reason;
    j["bytes"] = c.result.bytesSent;
    j["bytesTotal"] = c.result.bytesTotal;
    j["seconds"] = jsonSeconds(c.result.seconds);
    j["attempt"] = c.attempt;
    return j;
}

Json packageRecord(const PackageChange& p) {
    Json j = stationRecord("package");
    j["taken"] = p.taken;
    j["sha256"] = p.sha256;
    j["previous"] = p.previous;
    j["reason"] = p.reason;
    return j;
}

} // namespace cpuconfig
