// The upgrade as the main window hears it: the engine's progress and outcome turned into
// the WM_CPU_* messages, in the order and with the values the window has always had.
#pragma once

#include "gui/MainWindowMessages.h"
#include "link/Upgrade.h"

namespace cpuconfig {

// Progress as messages: the bar hidden when the upgrade begins; shown, its range 0 to the
// package size + 7 (the transfer and the 15-byte command) once the transfer begins; the
// position 15 sent after the command, and posted after every block.
class UpgradeMessages final : public UpgradeObserver {
public:
    explicit UpgradeMessages(MainWindowLink& window) : m_window(window) {}
    void begun() override;
    void transferBegins(std::uint64_t total) override;
    void progress(std::uint64_t sent, std::uint64_t total) override;
    // The messages that end the upgrade, all sent: none after a stop.
    void finish(const Outcome& outcome);

private:
    MainWindowLink& m_window;
};

// The upgrade worker's routine as the main window starts it.
void runUpgradeForWindow(MainWindowLink& window, const SelectionProvider& selection,
                         std::stop_token stop, const UpgradeOptions& options = {});

} // namespace cpuconfig
