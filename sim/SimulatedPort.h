// A simulated card as the port list shows it. The card's pseudo-terminal adapter registers
// its link with a description file of "key=value" lines (link/PortInfo.h): its screen and
// model, and the texts the lister shows for it. cpuctl reads them back from here.
#pragma once

#include "link/PortInfo.h"

#include <optional>
#include <string>

namespace cpuconfig {

struct SimulatedPort {
    int screen = 0;
    std::string model;
    std::string target; // the pseudo-terminal its link leads to
};

// The description file of a card that answers to screen with model.
std::string simulatedPortFile(int screen, const std::string& model);

// The simulated card a listed port is; nullopt for any other port.
std::optional<SimulatedPort> simulatedPort(const PortInfo& port);

} // namespace cpuconfig
