#include "link/ParallelUpgrade.h"

#include "link/PortRunner.h"

namespace cpuconfig {

namespace {

// Tells a port's reporter how far its card has got.
class ProgressForwarder final : public UpgradeObserver {
public:
    ProgressForwarder(PortReporter* reporter, const std::string& port, const std::string& screen)
        : m_reporter(reporter), m_port(port), m_screen(screen) {}
    void progress(std::uint64_t sent, std::uint64_t total) override {
        if (m_reporter)
            m_reporter->progress(m_port, m_screen, sent, total);
    }

private:
    PortReporter* m_reporter;
    const std::string& m_port;
    const std::string& m_screen;
};

// Whether the card's verdict was reached: the window would have shown a result.
bool answered(const Outcome& o) {
    return o.end == CardEnd::Confirmed || o.end == CardEnd::NotConfirmed ||
           (o.end == CardEnd::NoPackage && o.stage != Stage::Package);
}

} // namespace

void PortReporter::cardStarted(const std::string&, const std::string&) {}
void PortReporter::progress(const std::string&, const std::string&, std::uint64_t, std::uint64_t) {}
void PortReporter::cardFinished(const CardResult&) {}

CardResult upgradeCard(const std::string& port, const std::string& baud, const std::string& screen,
                       const UpgradeOptions& options, PortReporter* reporter,
                       std::stop_token stop) {
    if (reporter)
        reporter->cardStarted(port, screen);
    Clock& clock = options.clock ? *options.clock : systemClock();
    FixedSelection selection(port, baud, screen);
    ProgressForwarder forwarder(reporter, port, screen);
    const auto start = clock.now();
    CardResult result;
    static_cast<Outcome&>(result) = runUpgrade(selection, stop, options, &forwarder);
    result.seconds = std::chrono::duration<double>(clock.now() - start).count();
    result.port = port;
    result.screen = screen;
    // A stop that came before the card's verdict ended it, whatever the step it cut short.
    if (stop.stop_requested() && !answered(result))
        result.end = CardEnd::Stopped;
    result.status = statusText(result);
    result.reason = reasonText(result);
    if (reporter)
        reporter->cardFinished(result);
    return result;
}

std::vector<CardResult> runParallelUpgrade(const std::vector<PortJob>& jobs,
                                           const std::string& baud, const UpgradeOptions& options,
                                           std::span<PortReporter* const> reporters,
                                           std::stop_token stop) {
    // One package for every card, taken before any port is opened. When it cannot be taken,
    // each port's first card takes it again and says why.
    UpgradeOptions shared = options;
    if (!shared.snapshot) {
        if (auto taken = PackageSnapshot::take(options.package))
            shared.snapshot = *taken;
    }
    // One slot per port, written by that port's worker alone.
    std::vector<std::vector<CardResult>> slots(jobs.size());
    {
        PortRunner runner;
        runner.start(
            jobs.size(),
            [&](std::size_t i, std::stop_token token) {
                PortReporter* reporter = i < reporters.size() ? reporters[i] : nullptr;
                std::optional<CardResult> refused;
                for (const auto& screen : jobs[i].screens) {
                    if (token.stop_requested())
                        break;
                    if (refused) {
                        // The same package gets the same answer: the port is left alone.
                        CardResult same = *refused;
                        same.screen = screen;
                        same.seconds = 0;
                        if (reporter) {
                            reporter->cardStarted(same.port, same.screen);
                            reporter->cardFinished(same);
                        }
                        slots[i].push_back(std::move(same));
                        continue;
                    }
                    slots[i].push_back(
                        upgradeCard(jobs[i].port, baud, screen, shared, reporter, token));
                    if (slots[i].back().end == CardEnd::NoPackage)
                        refused = slots[i].back();
                }
            },
            stop);
        runner.wait();
    }
    std::vector<CardResult> results;
    for (auto& slot : slots)
        for (auto& r : slot)
            results.push_back(std::move(r));
    return results;
}

} // namespace cpuconfig
