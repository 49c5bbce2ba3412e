#include "link/PortFault.h"

#include <windows.h>

namespace cpuconfig {

std::vector<PortHolder> portHolders(const std::string&, const PortTree&) {
    return {}; // Windows does not say who holds a port
}

std::string explainPortFault(const std::string& name, const Error& error, const PortTree& tree) {
    if (error.code != ErrorCode::PortOpen)
        return error.message;
    if (name.empty())
        return "no port selected; ports now: " + portsNow(tree);
    switch (static_cast<DWORD>(error.osError)) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        // What Windows answers for a port another program has open.
        return name + ": in use by another program";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST:
        return name + ": no such port; ports now: " + portsNow(tree);
    default:
        return error.message;
    }
}

} // namespace cpuconfig
