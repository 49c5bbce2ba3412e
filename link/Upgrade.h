// The firmware upgrade: sends RQ_CPU.cpu to the card that answers to the selected screen
// number and reports through the main-window messages only.
#pragma once

#include "common/Clock.h"
#include "link/Messages.h"
#include "link/Selection.h"
#include "package/PackageFormat.h"

#include <filesystem>
#include <stop_token>

namespace cpuconfig {

class SerialPortFactory;

// What an exchange runs on besides the panel's selections.
struct LinkOptions {
    Clock* clock = &systemClock();
    SerialPortFactory* ports = nullptr; // nullptr: the platform's serial backend
};

struct UpgradeOptions : LinkOptions {
    std::filesystem::path package = kPackageFileName; // bare name: the current directory
};

// The upgrade worker's routine. Reads the selections at the moments it needs them. A stop
// request ends any wait, write or pause promptly; the closing steps still run and no
// WM_CPU_RESULT is sent.
void runUpgrade(MainWindowLink& window, const SelectionProvider& selection, std::stop_token stop,
                const UpgradeOptions& options = {});

} // namespace cpuconfig
