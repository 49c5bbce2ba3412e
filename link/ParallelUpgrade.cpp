#include "link/ParallelUpgrade.h"

#include "common/Texts.h"
#include "link/PortFault.h"
#include "link/PortRunner.h"
#include "link/Protocol.h"

namespace cpuconfig {

namespace {

// The header command is counted into the progress range.
inline constexpr std::uint64_t kHeaderCommandBytes = protocol::kHeaderCommandSize;

// The main window of one card's upgrade: turns its messages into the card's outcome and
// its progress positions into transfer bytes for the reporter.
class CardTally final : public MainWindowLink {
public:
    CardTally(CardResult& result, PortReporter* reporter) : m_r(result), m_reporter(reporter) {}
    void send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        handle(message, wParam, lParam);
    }
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        handle(message, wParam, lParam);
    }

    void packageFault(const Error& e) {
        if (!m_packageError)
            m_packageError = e;
    }

    // why: the engine's last word on a failed step (what the card said, or its silence).
    void finish(bool stopped, const UpgradeOptions& options, const std::string& why) {
        if (stopped && !m_result) {
            m_r.end = CardEnd::Stopped;
            m_r.status = text::kSendFailed; // its data did not get across, whatever it showed
            m_r.reason = "stopped";
        } else if (m_noFile || (m_result && m_packageError)) {
            // Refused before the port was opened, or its copy failed mid-transfer: a file
            // problem either way, not the card's.
            m_r.end = CardEnd::NoPackage;
            m_r.reason = m_packageError ? m_packageError->message
                                        : options.package.string() + ": cannot be used";
        } else if (m_result) {
            m_r.end = *m_result == 0 ? CardEnd::Confirmed : CardEnd::NotConfirmed;
            if (*m_result != 0)
                m_r.reason = m_transferBegun && m_sendFailed
                                 ? "the transfer broke off after " + std::to_string(m_r.bytesSent) +
                                       " of " + std::to_string(m_r.bytesTotal) + " bytes"
                             : !why.empty()     ? why
                             : !m_transferBegun ? "no acknowledge from screen " + m_r.screen
                                                : "the card did not confirm the transfer";
        } else {
            m_r.end = m_sendFailed ? CardEnd::PortFailed : CardEnd::NotConfirmed;
            m_r.reason = m_r.portError ? explainPortFault(m_r.port, *m_r.portError)
                         : why.empty() ? "a step of the upgrade failed"
                                       : why;
        }
        m_r.status = m_r.status ? m_r.status : text::kSendFailed;
    }

private:
    void handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
        switch (message) {
        case WM_CPU_PROGRESS:
            if (lParam == kProgressMaximum) {
                // The range is the package size + 7: the transfer plus the 15-byte command.
                m_r.bytesTotal = wParam > kHeaderCommandBytes ? wParam - kHeaderCommandBytes : 0;
                m_transferBegun = true;
            } else if (lParam == kProgressPosition) {
                m_r.bytesSent = wParam > kHeaderCommandBytes ? wParam - kHeaderCommandBytes : 0;
                m_r.status = text::kConfiguring;
                if (m_reporter)
                    m_reporter->progress(m_r.port, m_r.screen, m_r.bytesSent, m_r.bytesTotal);
            }
            break;
        case WM_CPU_SEND_FAILED:
            m_sendFailed = true;
            m_r.status = text::kSendFailed;
            break;
        case WM_CPU_NO_FILE:
            m_noFile = true;
            m_r.status = text::kNoPackage;
            break;
        case WM_CPU_RESULT:
            m_result = static_cast<int>(wParam);
            m_r.status = wParam == 0 ? text::kConfigOk : text::kConfigFailed;
            break;
        default:
            break;
        }
    }

    CardResult& m_r;
    PortReporter* m_reporter;
    bool m_sendFailed = false;
    bool m_noFile = false;
    bool m_transferBegun = false;
    std::optional<int> m_result;
    std::optional<Error> m_packageError;
};

} // namespace

void PortReporter::cardStarted(const std::string&, const std::string&) {}
void PortReporter::progress(const std::string&, const std::string&, std::uint64_t, std::uint64_t) {}
void PortReporter::cardFinished(const CardResult&) {}

CardResult upgradeCard(const std::string& port, const std::string& baud, const std::string& screen,
                       const UpgradeOptions& options, PortReporter* reporter,
                       std::stop_token stop) {
    CardResult result;
    result.port = port;
    result.screen = screen;
    if (reporter)
        reporter->cardStarted(port, screen);

    UpgradeOptions own = options;
    std::string lastWord;
    own.log = [&lastWord, &options](const std::string& line) {
        lastWord = line;
        if (options.log)
            options.log(line);
    };
    own.portFault = [&result, &options](const Error& e) {
        if (!result.portError)
            result.portError = e;
        if (options.portFault)
            options.portFault(e);
    };
    Clock& clock = options.clock ? *options.clock : systemClock();
    CardTally tally(result, reporter);
    own.packageFault = [&tally, &options](const Error& e) {
        tally.packageFault(e);
        if (options.packageFault)
            options.packageFault(e);
    };
    FixedSelection selection(port, baud, screen);
    const auto start = clock.now();
    runUpgrade(tally, selection, stop, own);
    result.seconds = std::chrono::duration<double>(clock.now() - start).count();
    tally.finish(stop.stop_requested(), options, lastWord);
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
