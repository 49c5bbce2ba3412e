// The firmware upgrade: sends RQ_CPU.cpu to the card that answers to the selected screen
// number, tells an observer how far it has got, and returns how it ended.
#pragma once

#include "link/LinkOptions.h"
#include "link/Outcome.h"
#include "link/Selection.h"
#include "package/PackageFormat.h"
#include "package/PackageSnapshot.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stop_token>

namespace cpuconfig {

struct UpgradeOptions : LinkOptions {
    std::filesystem::path package = kPackageFileName; // bare name: the current directory
    // The package to send, taken already (several cards get one and the same); empty: the
    // upgrade takes its own snapshot of `package` when it begins.
    std::shared_ptr<const PackageSnapshot> snapshot;
};

// How far an upgrade has got, told on the worker's thread as it goes.
class UpgradeObserver {
public:
    virtual ~UpgradeObserver() = default;
    // The upgrade has begun; the package is checked next.
    virtual void begun() {}
    // The card acknowledged and the line is set for the data: the header command and then
    // total transfer bytes go out.
    virtual void transferBegins(std::uint64_t total) { (void)total; }
    // The header command is out (sent 0), and after every block: transfer bytes written so
    // far. Called every 128 bytes: throttle what is shown.
    virtual void progress(std::uint64_t sent, std::uint64_t total) {
        (void)sent;
        (void)total;
    }
};

// The upgrade worker's routine. Reads the selections at the moments it needs them. The
// package is taken (PackageSnapshot) and checked before the port is opened: a broken one
// ends the upgrade (NoPackage at Stage::Package) and nothing reaches the line; the card gets
// the package as it was at that moment, whatever happens to the file meanwhile. A stop
// request ends any wait, write or pause promptly; the closing steps still run and the
// outcome is Stopped. observer may be null.
Outcome runUpgrade(const SelectionProvider& selection, std::stop_token stop,
                   const UpgradeOptions& options = {}, UpgradeObserver* observer = nullptr);

} // namespace cpuconfig
