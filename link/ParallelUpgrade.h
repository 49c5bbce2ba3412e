// Upgrading several cards at once: one worker per port, all ports at the same time, and on
// each port its screens in turn (the cards on one port share its bus). A port that cannot
// be opened fails alone; the other ports go on. Built on PortRunner; Qt-free, so cpuctl
// and a window can both drive it.
//
// Thread-safety: upgradeCard() runs on the calling thread. runParallelUpgrade() blocks its
// caller and runs one worker thread per port. Each port's reporter is called only from
// that port's worker, one call after another; reporters of different ports are called at
// the same time, so anything they share is theirs to guard. The options are shared read-
// only: their clock and port factory must be safe to use from several threads (the real
// ones are), and their log is called from every worker.
#pragma once

#include "common/Result.h"
#include "link/Upgrade.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace cpuconfig {

// One card's upgrade as it ended, with the words for it.
struct CardResult : Outcome {
    const char* status = nullptr; // the system's status text for this card (statusText)
    std::string reason;           // plain words when it did not confirm (reasonText)
    double seconds = 0;           // real time the card took
};

// What one port's worker says while it works.
class PortReporter {
public:
    virtual ~PortReporter() = default;
    virtual void cardStarted(const std::string& port, const std::string& screen);
    // After every block written: transfer bytes sent so far and the transfer's length.
    // Called often (a block is 128 bytes): throttle what is shown.
    virtual void progress(const std::string& port, const std::string& screen, std::uint64_t sent,
                          std::uint64_t total);
    virtual void cardFinished(const CardResult& result);
};

// One card: the upgrade of the card that answers to screen on port, with its outcome.
// reporter may be null.
CardResult upgradeCard(const std::string& port, const std::string& baud, const std::string& screen,
                       const UpgradeOptions& options, PortReporter* reporter, std::stop_token stop);

struct PortJob {
    std::string port;
    std::vector<std::string> screens; // upgraded in this order
};

// Every job's port at the same time; returns when all have ended, with the results in job
// order and, within a job, in screen order. After a stop, cards not yet begun are left out.
// Every card gets the same package, taken once before any port is opened (unless
// options.snapshot holds one already). A port whose package turns out unusable gives its
// remaining screens that same answer without opening the port again. reporters: one per job, or
// empty; an entry may be null.
std::vector<CardResult> runParallelUpgrade(const std::vector<PortJob>& jobs,
                                           const std::string& baud, const UpgradeOptions& options,
                                           std::span<PortReporter* const> reporters,
                                           std::stop_token stop);

} // namespace cpuconfig
