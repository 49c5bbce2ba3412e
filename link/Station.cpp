#include "link/Station.h"

#include "common/FileIo.h"
#include "common/Sha256.h"
#include "common/Texts.h"
#include "link/PortFault.h"
#include "link/PortInfo.h"
#include "link/PortRunner.h"
#include "link/getParam.h"

#include <cstdio>
#include <random>
#include <thread>

namespace cpuconfig {
namespace {

namespace fs = std::filesystem;

// A card counts as taken away after this many questions in a row without an answer: one
// answer lost to line noise must not make a card that is still there look new.
constexpr int kLeaveMisses = 2;
// Questions after a confirmed upgrade before the card counts as no longer answering (a card
// may take a moment to start its new firmware).
constexpr int kConfirmTries = 3;
// How often run() looks at its stop token.
constexpr std::chrono::milliseconds kStopLook{20};

struct Answer {
    enum Kind { Card, NoCard, Missing, Busy, Fault, Stopped } kind = NoCard;
    std::string detail; // the model for a card, the reason for a fault
};

// Forwards one card's upgrade to the station's reporter under the port's index.
class CardForwarder final : public PortReporter {
public:
    CardForwarder(StationReporter& r, std::size_t index) : m_r(r), m_index(index) {}
    void cardStarted(const std::string&, const std::string&) override {
        m_r.portState(m_index, PortState::Upgrading, {});
    }
    void progress(const std::string&, const std::string&, std::uint64_t sent,
                  std::uint64_t total) override {
        m_r.progress(m_index, sent, total);
    }

private:
    StationReporter& m_r;
    std::size_t m_index;
};

} // namespace

void StationReporter::portState(std::size_t, PortState, const std::string&) {}
void StationReporter::progress(std::size_t, std::uint64_t, std::uint64_t) {}
bool StationReporter::cardFinished(const StationCard&) {
    return true;
}
void StationReporter::packageChanged(const PackageChange&) {}

Result<std::vector<std::uint8_t>> readStationPackage(const fs::path& path) {
    auto bytes = readWholeFile(path, kMaxImageSize + kPackageOverhead);
    if (!bytes)
        return bytes;
    if (auto sound = checkPackage(path, bytes->size(), bytes->empty() ? 0 : bytes->back()); !sound)
        return sound.error();
    return bytes;
}

Station::Station(StationOptions options, StationReporter& reporter)
    : m_options(std::move(options)), m_reporter(reporter) {}

Station::~Station() {
    m_package.reset();
    if (m_ownFolder) {
        std::error_code ec;
        fs::remove_all(m_options.workFolder, ec);
    }
}

Result<std::unique_ptr<Station>> Station::create(StationOptions options,
                                                 StationReporter& reporter) {
    auto bytes = readStationPackage(options.package);
    if (!bytes)
        return bytes.error();
    std::unique_ptr<Station> station(new Station(std::move(options), reporter));
    std::error_code ec;
    if (station->m_options.workFolder.empty()) {
        char name[40];
        std::snprintf(name, sizeof name, "cpuconfig-station-%08x",
                      static_cast<unsigned>(std::random_device{}()));
        station->m_options.workFolder = fs::temp_directory_path(ec) / name;
        station->m_ownFolder = true;
    }
    fs::create_directories(station->m_options.workFolder, ec);
    auto kept = station->keep(*bytes);
    if (!kept)
        return kept.error();
    station->m_package = *kept;
    return station;
}

Result<std::shared_ptr<const StationPackage>>
Station::keep(const std::vector<std::uint8_t>& bytes) {
    const fs::path copy = m_options.workFolder / ("package-" + std::to_string(++m_copies) + ".cpu");
    if (auto r = writeFileReplacing(copy, bytes); !r)
        return r.error();
    auto* p = new StationPackage{copy, sha256Hex(bytes), bytes.size()};
    // The copy goes when the last card that uses it has ended.
    return std::shared_ptr<const StationPackage>(p, [](const StationPackage* q) {
        std::error_code ec;
        fs::remove(q->copy, ec);
        delete q;
    });
}

std::shared_ptr<const StationPackage> Station::packageForNextCard() {
    std::lock_guard lock(m_packageMutex);
    auto bytes = readStationPackage(m_options.package);
    const std::string sha = bytes ? sha256Hex(*bytes) : std::string();
    if (bytes && sha == m_package->sha256) {
        m_refused.clear(); // back to the one in use: a new refusal is news again
        return m_package;
    }
    PackageChange change;
    change.sha256 = sha;
    change.previous = m_package->sha256;
    if (bytes) {
        if (auto kept = keep(*bytes)) {
            m_package = *kept;
            m_refused.clear();
            change.taken = true;
            m_reporter.packageChanged(change);
            return m_package;
        } else {
            change.reason = kept.error().message;
        }
    } else {
        change.reason = bytes.error().message;
    }
    // The same refusal is said once, not for every card.
    const std::string key = sha.empty() ? change.reason : sha;
    if (key != m_refused) {
        m_refused = key;
        m_reporter.packageChanged(change);
    }
    return m_package;
}

void Station::run(std::stop_token stop) {
    {
        std::lock_guard lock(m_wakeMutex);
        m_stopping = false;
    }
    PortRunner runner;
    {
        std::lock_guard lock(m_wakeMutex);
        m_runner = &runner;
    }
    runner.start(m_options.ports.size(),
                 [this](std::size_t i, std::stop_token t) { servePort(i, t); });
    // The stop is looked at here, for every port at once, rather than by a nap of each
    // worker: idle ports then cost no wake-ups of their own.
    while (!runner.finished()) {
        if (stop.stop_requested()) {
            {
                std::lock_guard lock(m_wakeMutex);
                m_stopping = true;
            }
            m_wake.notify_all();
            runner.requestStop();
            break;
        }
        std::this_thread::sleep_for(kStopLook);
    }
    runner.wait();
    std::lock_guard lock(m_wakeMutex);
    m_runner = nullptr;
}

void Station::halt() {
    PortRunner* runner = nullptr;
    {
        std::lock_guard lock(m_wakeMutex);
        m_stopping = true;
        runner = m_runner; // stays until every worker, this caller too, has returned
    }
    m_wake.notify_all();
    if (runner)
        runner->requestStop();
}

bool Station::pause(std::stop_token stop) {
    if (m_options.pollClock)
        return m_options.pollClock->sleepFor(m_options.poll, stop);
    std::unique_lock lock(m_wakeMutex);
    return !m_wake.wait_for(lock, m_options.poll, [&] { return m_stopping; });
}

void Station::servePort(std::size_t index, std::stop_token stop) {
    const std::string& port = m_options.ports[index];
    auto ask = [&](bool looking = false) -> Answer {
        LinkOptions o = m_options.link;
        if (looking)
            o.ackWait = m_options.findWait;
        FixedSelection selection(port, m_options.baud, m_options.screen);
        const Outcome asked = getParam(selection, stop, o);
        if (stop.stop_requested())
            return {Answer::Stopped, {}};
        if (asked.model)
            return {Answer::Card, *asked.model};
        if (asked.end != CardEnd::PortFailed || !asked.portError)
            return {Answer::NoCard, {}};
        const Error& fault = *asked.portError;
        switch (portFaultKind(fault)) {
        case PortFaultKind::Missing:
            return {Answer::Missing, {}};
        case PortFaultKind::InUse:
            return {Answer::Busy, {}};
        default:
            return {Answer::Fault, explainPortFault(port, fault)};
        }
    };
    auto pause = [&] { return this->pause(stop); };

    bool anyShown = false;
    PortState shown = PortState::Waiting;
    std::string shownDetail;
    auto show = [&](PortState state, const std::string& detail) {
        if (anyShown && state == shown && detail == shownDetail)
            return;
        anyShown = true;
        shown = state;
        shownDetail = detail;
        m_reporter.portState(index, state, detail);
    };

    // One upgrade of the card that answered with model; true when it went well.
    auto upgrade = [&](const std::string& model, int attempt) {
        const auto package = packageForNextCard();
        UpgradeOptions o = m_options.link;
        o.package = package->copy;
        CardForwarder forwarder(m_reporter, index);
        StationCard card;
        card.portIndex = index;
        card.port = port;
        card.screen = m_options.screen;
        card.model = model;
        card.packageSha256 = package->sha256;
        card.attempt = attempt;
        card.result = upgradeCard(port, m_options.baud, m_options.screen, o, &forwarder, stop);
        card.status = card.result.status;
        card.reason = card.result.reason;
        if (card.result.end == CardEnd::Confirmed) {
            bool answered = false;
            for (int i = 0; i < kConfirmTries && !answered && !stop.stop_requested(); ++i) {
                if (i > 0 && !pause())
                    break;
                answered = ask().kind == Answer::Card;
            }
            card.ok = answered || stop.stop_requested(); // no asking after a stop; it confirmed
            if (!card.ok) {
                card.status = text::kQueryFailed;
                card.reason = "the card confirmed the upgrade but no longer answers";
            }
        }
        if (const auto info = findPort(port); info && !info->byId.empty())
            card.byId = info->byId.front();
        const std::string outcome =
            card.ok ? std::string(card.status) : card.status + (": " + card.reason);
        // Shown only once it is recorded: every card shown is in the record.
        if (!m_reporter.cardFinished(card)) {
            show(PortState::NotLogged, outcome);
            halt();
            return false;
        }
        show(card.ok ? PortState::Done : PortState::Failed, outcome);
        return card.ok;
    };

    while (!stop.stop_requested()) {
        const Answer a = ask(true);
        switch (a.kind) {
        case Answer::Stopped:
            return;
        case Answer::NoCard:
            show(PortState::Waiting, {});
            break;
        case Answer::Missing:
            show(PortState::PortMissing, {});
            break;
        case Answer::Busy:
            show(PortState::PortBusy, {});
            break;
        case Answer::Fault:
            show(PortState::PortFault, a.detail);
            break;
        case Answer::Card: {
            show(PortState::CardFound, a.detail);
            if (!upgrade(a.detail, 1) && m_options.again && !stop.stop_requested()) {
                const Answer again = ask();
                if (again.kind == Answer::Card) {
                    show(PortState::CardFound, again.detail);
                    upgrade(again.detail, 2);
                }
            }
            // The port is free again only once this card has gone.
            for (int misses = 0; misses < kLeaveMisses && !stop.stop_requested();) {
                if (!pause())
                    return;
                const Answer still = ask();
                if (still.kind == Answer::Stopped)
                    return;
                if (still.kind == Answer::Card) {
                    show(PortState::StillConnected, {});
                    misses = 0;
                } else {
                    ++misses;
                }
            }
            continue; // ask again at once: the next card may be there already
        }
        }
        if (!pause())
            return;
    }
}

} // namespace cpuconfig
