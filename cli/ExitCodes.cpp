#include "cli/ExitCodes.h"

#include "cli/Console.h"
#include "common/Json.h"

namespace cpuconfig::cli {

int exitFor(const Error& e) {
    switch (e.code) {
    case ErrorCode::BadText:
    case ErrorCode::Usage:
        return kExitUsage;
    case ErrorCode::Stopped:
        return kExitStopped;
    default:
        return kExitFile;
    }
}

int exitFor(CardEnd end) {
    switch (end) {
    case CardEnd::Confirmed:
        return kExitOk;
    case CardEnd::NotConfirmed:
        return kExitCard;
    case CardEnd::NoPackage:
        return kExitFile;
    case CardEnd::PortFailed:
        return kExitPort;
    case CardEnd::Stopped:
        return kExitStopped;
    }
    return kExitCard;
}

int usageError(Console& console, const std::string& what, bool json) {
    console.note(what);
    if (json) {
        Json j;
        addOutcome(j, kExitUsage, "", what);
        console.print(jsonText(j));
    }
    return kExitUsage;
}

} // namespace cpuconfig::cli
