#include "shell/UpgradeMessages.h"

#include "link/Protocol.h"

namespace cpuconfig {

namespace {
// The progress range counts the header command before the transfer.
constexpr std::uint64_t kCommandBytes = protocol::kHeaderCommandSize;
} // namespace

void UpgradeMessages::begun() {
    m_window.send(WM_CPU_PROGRESS, 0, kProgressVisible);
}

void UpgradeMessages::transferBegins(std::uint64_t total) {
    m_window.send(WM_CPU_PROGRESS, 1, kProgressVisible);
    m_window.send(WM_CPU_PROGRESS, 0, kProgressMinimum);
    m_window.send(WM_CPU_PROGRESS, static_cast<std::uintptr_t>(total + kCommandBytes),
                  kProgressMaximum);
}

void UpgradeMessages::progress(std::uint64_t sent, std::uint64_t) {
    const auto position = static_cast<std::uintptr_t>(kCommandBytes + sent);
    // The transfer never waits for the window; only the command's own position does.
    if (sent == 0)
        m_window.send(WM_CPU_PROGRESS, position, kProgressPosition);
    else
        m_window.post(WM_CPU_PROGRESS, position, kProgressPosition);
}

void UpgradeMessages::finish(const Outcome& o) {
    switch (o.end) {
    case CardEnd::Stopped:
        return;
    case CardEnd::Confirmed:
        m_window.send(WM_CPU_RESULT, 0, 0);
        return;
    case CardEnd::PortFailed:
        m_window.send(WM_CPU_SEND_FAILED, 0, 0);
        return;
    case CardEnd::NoPackage:
        if (o.stage == Stage::Package) {
            m_window.send(WM_CPU_NO_FILE, 0, 0);
            return;
        }
        break; // its copy could not be read: the transfer broke off
    case CardEnd::NotConfirmed:
        if (o.stage == Stage::Answer) {
            m_window.send(WM_CPU_RESULT, 1, 0);
            return;
        }
        break;
    }
    // No acknowledge, or a transfer that broke off: a step failed, and the card did not
    // confirm.
    m_window.send(WM_CPU_SEND_FAILED, 0, 0);
    m_window.send(WM_CPU_RESULT, 1, 0);
}

void runUpgradeForWindow(MainWindowLink& window, const SelectionProvider& selection,
                         std::stop_token stop, const UpgradeOptions& options) {
    UpgradeMessages messages(window);
    messages.finish(runUpgrade(selection, stop, options, &messages));
}

} // namespace cpuconfig
