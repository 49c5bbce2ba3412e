#include "sim/SimulatedPort.h"

#include <cstdlib>

namespace cpuconfig {

std::string simulatedPortFile(int screen, const std::string& model) {
    const std::string brief = "simulated card, screen " + std::to_string(screen);
    return "screen=" + std::to_string(screen) + "\nmodel=" + model + "\nbrief=" + brief +
           "\ndescription=" + brief + (model.empty() ? "" : ", model " + model) + "\n";
}

std::optional<SimulatedPort> simulatedPort(const PortInfo& port) {
    // Simulated cards are all the ports folder holds.
    if (!port.registration)
        return std::nullopt;
    return SimulatedPort{std::atoi(port.registration->field("screen").c_str()),
                         port.registration->field("model"), port.registration->target};
}

} // namespace cpuconfig
