// cpuctl pack | info | unpack
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Terminal.h"
#include "common/Gbk.h"
#include "common/Texts.h"
#include "package/PackageFormat.h"
#include "package/SJLoad.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

namespace cpuconfig::cli {
namespace {

int exitFor(const Error& e) {
    switch (e.code) {
    case ErrorCode::BadText:
    case ErrorCode::Usage:
        return kExitUsage;
    case ErrorCode::Stopped:
        return kExitStopped;
    default:
        return kExitFile;
    }
}

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

// What info shows of a package that breaks the package rules is still shown; the exit code
// and stderr say that no upgrade will take it.
int brokenPackage(const PackageInfo& i) {
    if (!i.problem)
        return kExitOk;
    std::fprintf(stderr, "cpuctl: %s\n", i.problem->message.c_str());
    return kExitFile;
}

int runInfo(const std::string& path, bool json) {
    auto info = inspectPackage(path);
    if (!info) {
        std::fprintf(stderr, "cpuctl: %s\n", info.error().message.c_str());
        if (json) { // still one object: a script reads exitCode and reason
            Json j;
            j["file"] = path;
            addOutcome(j, exitFor(info.error()), "", info.error().message);
            printLine(jsonText(j));
        }
        return exitFor(info.error());
    }
    const auto& i = *info;
    const int weekday = i.trailer[5];
    if (json) {
        Json j;
        j["file"] = path;
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
        const int exit = brokenPackage(i);
        addOutcome(j, exit, "", i.problem ? i.problem->message : "");
        printLine(jsonText(j));
        return exit;
    }
    std::printf("package        %s\n", path.c_str());
    std::printf("model          %s\n", gbkToUtf8(i.details.model).c_str());
    std::printf("cpu version    %s\n", gbkToUtf8(i.details.cpuVersion).c_str());
    std::printf("card version   %s (byte 0x%02X)\n", charText(i.header[kCardVersionOffset]).c_str(),
                unsigned{i.header[kCardVersionOffset]});
    std::printf("date           %s\n", i.details.dateText.c_str());
    std::printf("weekday        %d (%s)\n", weekday, weekdayName(weekday));
    std::printf("image size     %llu bytes (package %llu bytes)\n",
                static_cast<unsigned long long>(i.imageSize),
                static_cast<unsigned long long>(i.fileSize));
    std::printf("end mark       %s\n",
                i.endMarkOk ? "0xAA (ok)" : "missing (last byte is not 0xAA)");
    std::printf("image sha256   %s\n", i.imageSha256.c_str());
    std::printf("header         %s\n", hex(i.header).c_str());
    std::printf("trailer        %s\n", hex(i.trailer).c_str());
    std::printf("package sha256 %s\n", i.packageSha256.c_str());
    std::fflush(stdout);
    return brokenPackage(i);
}

class PackObserver final : public BuildObserver {
public:
    void started(std::uint64_t total) override { m_line.update(0, total); }
    void progress(std::uint64_t done, std::uint64_t total) override { m_line.update(done, total); }
    void imageDone() override { m_line.finish(); }
    void status(const char* text) override { printLine(text); }

private:
    ProgressLine m_line{"pack"};
};

struct PackOptions {
    std::string image;
    std::string output = kPackageFileName;
    PackageTexts texts;
};

int runPack(const PackOptions& o) {
    auto when = buildTime();
    if (!when) {
        std::fprintf(stderr, "cpuctl: %s\n", when.error().message.c_str());
        return kExitUsage;
    }
    BuildRequest request{o.image, o.texts, o.output, *when};
    PackObserver observer;
    StopOnSignal signals; // the temporary file goes, the old package stays
    auto result = buildPackage(request, observer, signals.token());
    if (!result) {
        if (result.error().code == ErrorCode::Stopped)
            std::fprintf(stderr, "cpuctl: stopped; %s left as it was\n", o.output.c_str());
        else
            std::fprintf(stderr, "cpuctl: %s\n", result.error().message.c_str());
        printLine(text::kLoadFailed);
        return exitFor(result.error());
    }
    std::fprintf(stderr, "wrote %s (%llu bytes)\n", o.output.c_str(),
                 static_cast<unsigned long long>(*result));
    printLine(text::kLoadOk);
    return kExitOk;
}

int runUnpack(const std::string& package, const std::string& output) {
    StopOnSignal signals;
    auto image = unpackPackage(package, output, signals.token());
    if (!image) {
        std::fprintf(stderr, "cpuctl: %s\n", image.error().message.c_str());
        return exitFor(image.error());
    }
    printLine("unpacked " + std::to_string(*image) + " bytes to " + output);
    return kExitOk;
}

} // namespace

void addPackageCommands(CLI::App& app, Runner& run) {
    auto pack = std::make_shared<PackOptions>();
    auto* p = app.add_subcommand("pack", "Build a CPU package from a raw *.bin image");
    p->add_option("IMAGE", pack->image, "Raw firmware image")->required();
    p->add_option("-o,--output", pack->output, "Package to write")->capture_default_str();
    p->add_option("--model", pack->texts.model, "Card model letter (header byte 0)")
        ->capture_default_str();
    p->add_option("--card-version", pack->texts.cardVersion, "Card version character (byte 7)")
        ->capture_default_str();
    p->add_option("--cpu-version", pack->texts.cpuVersion, "CPU version, up to 3 characters")
        ->capture_default_str();
    p->callback([&run, pack] { run = [pack] { return runPack(*pack); }; });

    auto info = std::make_shared<std::pair<std::string, bool>>(kPackageFileName, false);
    auto* i = app.add_subcommand("info", "Show what a CPU package holds");
    i->add_option("PACKAGE", info->first, "Package to read")->capture_default_str();
    i->add_flag("--json", info->second, "Machine-readable output");
    i->callback([&run, info] { run = [info] { return runInfo(info->first, info->second); }; });

    auto unpack = std::make_shared<std::pair<std::string, std::string>>();
    auto* u = app.add_subcommand("unpack", "Recover the raw image from a CPU package");
    u->add_option("PACKAGE", unpack->first, "Package to read")->required();
    u->add_option("-o,--output", unpack->second, "Image to write")->required();
    u->callback(
        [&run, unpack] { run = [unpack] { return runUnpack(unpack->first, unpack->second); }; });
}

} // namespace cpuconfig::cli
