// cpuctl ports: the serial ports there are, and with --long what each one is.
#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "common/Json.h"
#include "link/PortInfo.h"
#include "link/PortList.h"
#include "sim/SimulatedPort.h"

#include <CLI/CLI.hpp>

#include <cstring>

namespace cpuconfig::cli {
namespace {

Json portJson(const PortInfo& p) {
    Json j;
    j["device"] = p.device;
    j["byId"] = p.byId;
    j["byPath"] = p.byPath;
    j["driver"] = p.driver;
    j["vendorId"] = p.vendorId;
    j["productId"] = p.productId;
    j["serial"] = p.serial;
    j["manufacturer"] = p.manufacturer;
    j["product"] = p.product;
    if (!p.systemName.empty())
        j["systemName"] = p.systemName;
    const auto card = simulatedPort(p);
    j["simulated"] = card.has_value();
    if (card) {
        j["screen"] = card->screen;
        j["model"] = card->model;
        j["target"] = card->target;
    }
    return j;
}

void printPortLong(Console& c, const PortInfo& p) {
    c.print(p.device);
    auto row = [&c](const char* key, const std::string& value) {
        if (!value.empty())
            c.print("  " + std::string(key) + std::string(14 - std::strlen(key), ' ') + value);
    };
    if (const auto card = simulatedPort(p))
        row("simulated", "screen " + std::to_string(card->screen) + ", model " + card->model +
                             ", on " + card->target);
    for (const auto& link : p.byId)
        row("by-id", link);
    for (const auto& link : p.byPath)
        row("by-path", link);
    row("driver", p.driver);
    row("usb id", p.vendorId.empty() ? "" : p.vendorId + ":" + p.productId);
    row("serial", p.serial);
    row("manufacturer", p.manufacturer);
    row("product", p.product);
    row("registry", p.systemName);
}

class PortsCommand final : public Command {
public:
    CLI::App* define(CLI::App& app) override {
        auto* p = app.add_subcommand("ports", "List the serial ports");
        p->add_flag("--json", m_json, "Machine-readable output");
        p->add_flag("-l,--long", m_long,
                    "What each port is: stable names, driver, USB ids, serial number, maker");
        // A copied /sys and /dev tree to read instead of the machine's own.
        p->add_option("--root", m_root, "Read /sys and /dev under this folder")->group("");
        return p;
    }

    int run(Context& ctx) override {
        Console& c = ctx.console;
        PortTree tree;
        tree.root = m_root;
        const auto ports = describeSerialPorts(tree);
        if (m_json) {
            Json j = Json::array();
            for (const auto& p : ports) {
                if (m_long)
                    j.push_back(portJson(p));
                else
                    j.push_back(p.device); // the plain list scripts have always read
            }
            c.print(jsonText(j));
        } else {
            for (const auto& p : ports) {
                if (m_long)
                    printPortLong(c, p);
                else
                    c.print(p.device);
            }
        }
        return kExitOk;
    }

private:
    bool m_json = false;
    bool m_long = false;
    std::string m_root = "/";
};

} // namespace

std::unique_ptr<Command> makePortsCommand() {
    return std::make_unique<PortsCommand>();
}

} // namespace cpuconfig::cli
