#include "link/Outcome.h"

#include "common/Texts.h"
#include "link/PortFault.h"

namespace cpuconfig {

std::vector<const char*> statusTexts(const Outcome& o) {
    const bool upgrade = o.operation == Operation::Upgrade;
    switch (o.end) {
    case CardEnd::Stopped:
        return {};
    case CardEnd::Confirmed:
        return {upgrade ? text::kConfigOk : text::kQueryOk};
    case CardEnd::PortFailed:
        return {text::kSendFailed};
    case CardEnd::NoPackage:
        if (o.stage == Stage::Package)
            return {text::kNoPackage};
        return {text::kSendFailed, text::kConfigFailed};
    case CardEnd::NotConfirmed:
        break;
    }
    if (!upgrade)
        return o.stage == Stage::Acknowledge
                   ? std::vector<const char*>{text::kCommFailed, text::kQueryFailed}
                   : std::vector<const char*>{text::kQueryFailed};
    if (o.stage == Stage::Answer)
        return {text::kConfigFailed};
    return {text::kSendFailed, text::kConfigFailed};
}

const char* statusText(const Outcome& o) {
    const auto texts = statusTexts(o);
    return texts.empty() ? text::kSendFailed : texts.back();
}

std::string reasonText(const Outcome& o) {
    switch (o.end) {
    case CardEnd::Confirmed:
        return {};
    case CardEnd::Stopped:
        return "stopped";
    case CardEnd::NoPackage:
        return o.packageError ? o.packageError->message : "the package cannot be used";
    case CardEnd::PortFailed:
        if (o.portError)
            return explainPortFault(o.port, *o.portError);
        if (o.lastWord.empty() && o.operation == Operation::Upgrade)
            return "a step of the upgrade failed";
        return o.lastWord;
    case CardEnd::NotConfirmed:
        break;
    }
    if (o.operation == Operation::Upgrade && o.stage == Stage::Transfer)
        return "the transfer broke off after " + std::to_string(o.bytesSent) + " of " +
               std::to_string(o.bytesTotal) + " bytes";
    if (!o.lastWord.empty())
        return o.lastWord;
    if (o.stage == Stage::Acknowledge)
        return "no acknowledge from screen " + o.screen;
    return o.operation == Operation::Query ? "no reply to the query"
                                           : "the card did not confirm the transfer";
}

} // namespace cpuconfig
