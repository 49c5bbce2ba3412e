// cpuctl pack: a CPU package from a raw *.bin image.
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "cli/Progress.h"
#include "common/Texts.h"
#include "package/PackageFormat.h"
#include "package/SJLoad.h"

#include <CLI/CLI.hpp>

namespace cpuconfig::cli {
namespace {

class PackObserver final : public BuildObserver {
public:
    explicit PackObserver(Console& console) : m_console(console), m_line(console, "pack") {}
    void started(std::uint64_t total) override { m_line.update(0, total); }
    void progress(std::uint64_t done, std::uint64_t total) override { m_line.update(done, total); }
    void imageDone() override { m_line.finish(); }
    void status(const char* text) override { m_console.print(text); }

private:
    Console& m_console;
    ProgressLine m_line;
};

class PackCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* p = app.add_subcommand("pack", "Build a CPU package from a raw *.bin image");
        p->add_option("IMAGE", m_image, "Raw firmware image")->required();
        p->add_option("-o,--output", m_output, "Package to write")->capture_default_str();
        p->add_option("--model", m_texts.model, "Card model letter (header byte 0)")
            ->capture_default_str();
        p->add_option("--card-version", m_texts.cardVersion, "Card version character (byte 7)")
            ->capture_default_str();
        p->add_option("--cpu-version", m_texts.cpuVersion, "CPU version, up to 3 characters")
            ->capture_default_str();
        return p;
    }

    int run(Context& ctx) override {
        Console& c = ctx.console;
        auto when = buildTime();
        if (!when) {
            c.note(when.error().message);
            return kExitUsage;
        }
        BuildRequest request{ctx.file(m_image), m_texts, ctx.file(m_output), *when};
        PackObserver observer(c);
        auto signals = ctx.listenForStops(); // the temporary file goes, the old package stays
        auto result = buildPackage(request, observer, ctx.stops.token());
        if (!result) {
            if (result.error().code == ErrorCode::Stopped)
                c.note("stopped; " + m_output + " left as it was");
            else
                c.note(result.error().message);
            c.print(text::kLoadFailed);
            return exitFor(result.error());
        }
        c.toErr("wrote " + m_output + " (" + std::to_string(*result) + " bytes)\n");
        c.print(text::kLoadOk);
        return kExitOk;
    }

private:
    std::string m_image;
    std::string m_output = kPackageFileName;
    PackageTexts m_texts;
};

} // namespace

std::unique_ptr<Command> makePackCommand() {
    return std::make_unique<PackCommand>();
}

} // namespace cpuconfig::cli
