// cpuctl simulate: a simulated card on a pseudo-terminal, until stopped.
#include "cli/CardOptions.h"
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#ifndef _WIN32
#include "sim/Simulator.h"
#endif

#include <CLI/CLI.hpp>

namespace cpuconfig::cli {
namespace {

class SimulateCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* m = app.add_subcommand("simulate", "Run a simulated card on a pseudo-terminal");
        m->add_option("--screen", m_screen, "Screen number it answers to, 1 to 80")
            ->capture_default_str();
        m->add_option("--model", m_model, "Model text it reports (12 bytes at most)")
            ->capture_default_str();
        m->add_option("--fault", m_fault, "none, silent, no-ack, nak, no-final, garbage, hangup")
            ->capture_default_str();
        m->add_flag("--baud-limit", m_baudLimit, "Take bytes no faster than the line allows");
        m->add_option("--name", m_name,
                      "Name under the ports folder, no dots or slashes (default SIM1, SIM2, ...)");
        m->add_option("--hangup-at", m_hangupAt, "Percent of the transfer for --fault hangup")
            ->check(CLI::Range(0, 100))
            ->capture_default_str();
        return m;
    }

    int run(Context& ctx) override {
        Console& c = ctx.console;
#ifdef _WIN32
        c.note("simulate needs pseudo-terminals, which this system lacks");
        return kExitUsage;
#else
        const auto fault = simFaultFromText(m_fault);
        if (!fault)
            return usageError(c, "--fault: unknown fault \"" + m_fault + "\"", false);
        if (const auto p = screenProblem(m_screen); !p.empty())
            return usageError(c, "--screen: " + p, false);
        if (m_model.size() > kSimModelBytes)
            return usageError(c,
                              "--model: \"" + m_model + "\" is " + std::to_string(m_model.size()) +
                                  " bytes; a card reports 12 at most",
                              false);
        if (const auto p = simPortNameProblem(m_name); !m_name.empty() && !p.empty())
            return usageError(c, "--name: " + p, false);
        SimulatorOptions options;
        options.screen = *parseScreen(m_screen);
        options.model = m_model;
        options.fault = *fault;
        options.baudLimit = m_baudLimit;
        options.hangupAtPercent = m_hangupAt;
        options.log = [&c](const std::string& line) { c.toErr("card: " + line + "\n"); };
        auto sim = Simulator::create(std::move(options));
        if (!sim) {
            c.note(sim.error().message);
            return kExitPort;
        }
        Result<std::filesystem::path> registered = makeError(ErrorCode::Usage, "");
        if (!m_name.empty()) {
            registered = (*sim)->registerPort(m_name);
        } else {
            for (int n = 1; n < 1000; ++n) {
                registered = (*sim)->registerPort("SIM" + std::to_string(n));
                if (registered || registered.error().code != ErrorCode::PortOpen)
                    break;
            }
        }
        if (!registered) {
            c.note(registered.error().message);
            return registered.error().code == ErrorCode::Usage ? kExitUsage : kExitPort;
        }
        c.print(registered->string());
        c.toErr("card: screen " + std::to_string(*parseScreen(m_screen)) + ", model \"" + m_model +
                "\", fault " + m_fault + ", on " + (*sim)->devicePath() + "\n");
        {
            auto signals = ctx.listenForStops();
            (*sim)->run(ctx.stops.token());
        }
        (*sim)->unregisterPort();
        return kExitOk;
#endif
    }

private:
    std::string m_screen = "1";
    std::string m_model = "A8-SIM";
    std::string m_fault = "none";
    bool m_baudLimit = false;
    std::string m_name;
    int m_hangupAt = 50;
};

} // namespace

std::unique_ptr<Command> makeSimulateCommand() {
    return std::make_unique<SimulateCommand>();
}

} // namespace cpuconfig::cli
