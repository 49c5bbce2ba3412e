#include "link/PortFault.h"

namespace cpuconfig {

std::string portsNow(const PortTree& tree) {
    std::string out;
    for (const auto& port : describeSerialPorts(tree)) {
        std::string aka;
        for (const auto& link : port.byId)
            aka += (aka.empty() ? "" : ", ") + link;
        if (port.simulated)
            aka = "simulated card, screen " + std::to_string(port.screen);
        out += (out.empty() ? "" : ", ") + port.device + (aka.empty() ? "" : " (" + aka + ")");
    }
    return out.empty() ? "none" : out;
}

} // namespace cpuconfig
