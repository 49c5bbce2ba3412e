// Placeholders until the serial link lands: every exchange fails at the open step.
#include "common/Texts.h"
#include "link/PortList.h"
#include "link/Upgrade.h"
#include "link/getParam.h"

namespace cpuconfig {

void runUpgrade(MainWindowLink& window, const SelectionProvider&, std::stop_token,
                const UpgradeOptions&) {
    window.send(WM_CPU_PROGRESS, 0, kProgressVisible);
    window.send(WM_CPU_SEND_FAILED, 0, 0);
}

int getParam(QueryReporter& reporter, const SelectionProvider&, std::stop_token,
             const LinkOptions&) {
    reporter.status(text::kSendFailed);
    return 1;
}

#ifndef _WIN32 // the Windows port list reads the registry
std::vector<std::string> listSerialPorts() { return {}; }
#endif

} // namespace cpuconfig
