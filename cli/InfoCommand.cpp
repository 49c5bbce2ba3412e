// cpuctl info: what a CPU package holds.
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "common/Gbk.h"
#include "common/Json.h"
#include "package/PackageFormat.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace cpuconfig::cli {
namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", unsigned{bytes[i]});
        s += b;
    }
    return s;
}

const char* weekdayName(int w) {
    static const char* names[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                  "Friday", "Saturday", "Sunday"};
    return (w >= 1 && w <= 7) ? names[w - 1] : "not a weekday";
}

std::string charText(std::uint8_t b) {
    return b ? gbkToUtf8(std::string(1, static_cast<char>(b))) : "";
}

class InfoCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* i = app.add_subcommand("info", "Show what a CPU package holds");
        i->add_option("PACKAGE", m_path, "Package to read")->capture_default_str();
        i->add_flag("--json", m_json, "Machine-readable output");
        return i;
    }

    int run(Context& ctx) override {
        Console& c = ctx.console;
        auto info = inspectPackage(ctx.file(m_path));
        if (!info) {
            c.note(info.error().message);
            if (m_json) { // still one object: a script reads exitCode and reason
                Json j;
                j["file"] = m_path;
                addOutcome(j, exitFor(info.error()), "", info.error().message);
                c.print(jsonText(j));
            }
            return exitFor(info.error());
        }
        const auto& i = *info;
        const int weekday = i.trailer[5];
        if (m_json) {
            Json j;
            j["file"] = m_path;
            j["fileSize"] = i.fileSize;
            j["imageSize"] = i.imageSize;
            j["model"] = gbkToUtf8(i.details.model);
            j["cpuVersion"] = gbkToUtf8(i.details.cpuVersion);
            j["cardVersion"] = charText(i.header[kCardVersionOffset]);
            j["date"] = i.details.dateText;
            j["weekday"] = weekday;
            j["endMarkOk"] = i.endMarkOk;
            j["imageSha256"] = i.imageSha256;
            j["header"] = hex(i.header);
            j["trailer"] = hex(i.trailer);
            j["packageSha256"] = i.packageSha256;
            const int exit = brokenPackage(c, i);
            addOutcome(j, exit, "", i.problem ? i.problem->message : "");
            c.print(jsonText(j));
            return exit;
        }
        char byte[16];
        std::snprintf(byte, sizeof byte, " (byte 0x%02X)", unsigned{i.header[kCardVersionOffset]});
        const std::pair<const char*, std::string> rows[] = {
            {"package", m_path},
            {"model", gbkToUtf8(i.details.model)},
            {"cpu version", gbkToUtf8(i.details.cpuVersion)},
            {"card version", charText(i.header[kCardVersionOffset]) + byte},
            {"date", i.details.dateText},
            {"weekday", std::to_string(weekday) + " (" + weekdayName(weekday) + ")"},
            {"image size", std::to_string(i.imageSize) + " bytes (package " +
                               std::to_string(i.fileSize) + " bytes)"},
            {"end mark", i.endMarkOk ? "0xAA (ok)" : "missing (last byte is not 0xAA)"},
            {"image sha256", i.imageSha256},
            {"header", hex(i.header)},
            {"trailer", hex(i.trailer)},
            {"package sha256", i.packageSha256},
        };
        std::string text;
        for (const auto& [key, value] : rows)
            text += key + std::string(15 - std::string(key).size(), ' ') + value + "\n";
        c.toOut(text);
        return brokenPackage(c, i);
    }

private:
    // What info shows of a package that breaks the package rules is still shown; the exit
    // code and stderr say that no upgrade will take it.
    static int brokenPackage(Console& c, const PackageInfo& i) {
        if (!i.problem)
            return kExitOk;
        c.note(i.problem->message);
        return kExitFile;
    }

    std::string m_path = kPackageFileName;
    bool m_json = false;
};

} // namespace

std::unique_ptr<Command> makeInfoCommand() {
    return std::make_unique<InfoCommand>();
}

} // namespace cpuconfig::cli
