// The firmware upgrade: sends RQ_CPU.cpu to the card that answers to the selected screen
// number and reports through the main-window messages only.
#pragma once

#include "common/Clock.h"
#include "common/Result.h"
#include "link/Messages.h"
#include "link/Selection.h"
#include "package/PackageFormat.h"
#include "package/PackageSnapshot.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace cpuconfig {

class SerialPortFactory;

// What an exchange runs on besides the panel's selections.
struct LinkOptions {
    Clock* clock = &systemClock();
    SerialPortFactory* ports = nullptr; // nullptr: the platform's serial backend
    // The longest one wait blocks on the port in real time; when nothing arrives within it,
    // the rest of the wait passes on the clock. Left at its default, waits are real; tests
    // on a fake clock set it short so that silence costs no real seconds.
    std::chrono::milliseconds realWaitCap = std::chrono::milliseconds::max();
    // The silence after the address frame that means no acknowledge: 2000 ms. A station
    // that keeps asking a port where a card may not be yet asks with a shorter one (a card
    // acknowledges within milliseconds), so that a card is found soon after it is there.
    std::chrono::milliseconds ackWait{2000};
    // Gets one line for each failed step, with the system's reason (for --verbose and logs).
    std::function<void(const std::string&)> log;
    // Gets the error of a failed open or set-up step of the port (PortOpen, PortSetup), so
    // that a front end can say in plain words why the port cannot be used
    // (explainPortFault). Called on the worker's thread.
    std::function<void(const Error&)> portFault;
};

struct UpgradeOptions : LinkOptions {
    std::filesystem::path package = kPackageFileName; // bare name: the current directory
    // The package to send, taken already (several cards get one and the same); empty: the
    // upgrade takes its own snapshot of `package` when it begins.
    std::shared_ptr<const PackageSnapshot> snapshot;
    // Gets why the package was refused before the port was opened (missing, not a file,
    // cut short, no end mark...) or could not be read during the transfer: a file problem,
    // not the card's. Called on the worker's thread. Unset, the reason goes to log.
    std::function<void(const Error&)> packageFault;
};

// The upgrade worker's routine. Reads the selections at the moments it needs them. The
// package is taken (PackageSnapshot) and checked before the port is opened: a broken one
// ends the upgrade with WM_CPU_NO_FILE and nothing reaches the line; the card gets the
// package as it was at that moment, whatever happens to the file meanwhile. A stop
// request ends any wait, write or pause promptly; the closing steps still run and no
// WM_CPU_RESULT is sent.
void runUpgrade(MainWindowLink& window, const SelectionProvider& selection, std::stop_token stop,
                const UpgradeOptions& options = {});

} // namespace cpuconfig
