// cpuctl unpack: the raw image back from a CPU package.
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "package/PackageFormat.h"

#include <CLI/CLI.hpp>

namespace cpuconfig::cli {
namespace {

class UnpackCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* u = app.add_subcommand("unpack", "Recover the raw image from a CPU package");
        u->add_option("PACKAGE", m_package, "Package to read")->required();
        u->add_option("-o,--output", m_output, "Image to write")->required();
        return u;
    }

    int run(Context& ctx) override {
        auto signals = ctx.listenForStops();
        auto image = unpackPackage(ctx.file(m_package), ctx.file(m_output), ctx.stops.token());
        if (!image) {
            ctx.console.note(image.error().message);
            return exitFor(image.error());
        }
        ctx.console.print("unpacked " + std::to_string(*image) + " bytes to " + m_output);
        return kExitOk;
    }

private:
    std::string m_package;
    std::string m_output;
};

} // namespace

std::unique_ptr<Command> makeUnpackCommand() {
    return std::make_unique<UnpackCommand>();
}

} // namespace cpuconfig::cli
