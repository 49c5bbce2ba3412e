#include "link/PortFault.h"

namespace cpuconfig {

std::string portsNow(const PortTree& tree) {
    std::string out;
    for (const auto& port : describeSerialPorts(tree)) {
        const std::string aka = port.brief();
        out += (out.empty() ? "" : ", ") + port.device + (aka.empty() ? "" : " (" + aka + ")");
    }
    return out.empty() ? "none" : out;
}

std::string explainPortFault(const std::string& name, const Error& error, const PortTree& tree) {
    if (error.code != ErrorCode::PortOpen)
        return error.message;
    if (name.empty())
        return "no port selected; ports now: " + portsNow(tree);
    switch (portFaultKind(error)) {
    case PortFaultKind::PermissionDenied:
        return permissionDeniedReason(name, tree);
    case PortFaultKind::InUse: {
        std::string who;
        for (const auto& h : portHolders(name, tree))
            who += (who.empty() ? "" : ", ") + std::string("PID ") + std::to_string(h.pid) +
                   (h.command.empty() ? "" : " (" + h.command + ")");
        return name + ": in use by " + (who.empty() ? "another program" : who);
    }
    case PortFaultKind::Missing:
        return name + ": no such port; ports now: " + portsNow(tree);
    case PortFaultKind::Other:
        break;
    }
    return error.message;
}

} // namespace cpuconfig
