#include "link/PortFault.h"

#include <windows.h>

namespace cpuconfig {

std::vector<PortHolder> portHolders(const std::string&, const PortTree&) {
    return {}; // Windows does not say who holds a port
}

PortFaultKind portFaultKind(const Error& error) {
    if (error.code != ErrorCode::PortOpen)
        return PortFaultKind::Other;
    switch (static_cast<DWORD>(error.osError)) {
    case ERROR_ACCESS_DENIED: // what Windows answers for a port another program has open
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return PortFaultKind::InUse;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST:
        return PortFaultKind::Missing;
    default:
        return PortFaultKind::Other;
    }
}

std::string permissionDeniedReason(const std::string& name, const PortTree&) {
    return name + ": access denied";
}

} // namespace cpuconfig
