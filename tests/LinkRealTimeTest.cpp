// The few link tests on the real clock: the 2000 ms limit as a technician waits for it,
// and how fast a stop ends an exchange. Generous bounds; the rest of the suite runs on
// fake time. With them, several ports at once: each worker owns its port and its reporter,
// a port that cannot be opened fails alone, and a stop ends every worker at once.
#include "LinkTestSupport.h"

#include "common/Texts.h"
#include "link/ParallelUpgrade.h"
#include "link/getParam.h"

#include <gtest/gtest.h>
#include <set>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;
using namespace std::string_literals;

const SimulatorOptions kSilent{.fault = SimFault::Silent};

// Upgrade and query give a silent card its 2000 ms, and not much more.
TEST(LinkRealTime, silentCardFailsAfterTwoSeconds) {
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(100));
    SimCard card(kSilent);
    FixedSelection sel(card.port(), "115200", "1");
    UpgradeOptions options;
    options.package = dir / "RQ_CPU.cpu";
    for (const bool upgrade : {true, false}) {
        const auto start = Steady::now();
        const Outcome outcome = upgrade ? runUpgrade(sel, {}, options) : getParam(sel, {});
        const auto took = Steady::now() - start;
        EXPECT_GE(took, milliseconds(2000)) << upgrade;
        EXPECT_LE(took, milliseconds(2500)) << upgrade;
        EXPECT_EQ(endingOf(outcome), kNoAck);
    }
}

// A stop ends the work within 100 ms, as stopped and with every port free: while the upgrade
// waits for a silent card's acknowledge, half way through a transfer at the line's speed,
// and on every port of a parallel upgrade.
TEST(LinkRealTime, stopEndsTheUpgradeAtOnceWithoutAResult) {
    enum Case { AckWait, Transfer, TwoPorts };
    for (const Case c : {AckWait, Transfer, TwoPorts}) {
        SCOPED_TRACE(c);
        TempDir dir;
        writeBytes(dir / "RQ_CPU.cpu", packageBytes(c == AckWait ? 100 : 8 + 200000));
        const SimulatorOptions o = c == AckWait ? kSilent : SimulatorOptions{.baudLimit = true};
        SimCard a(o), b(o);
        RecordingObserver seen;
        Outcome outcome;
        UpgradeOptions options;
        options.package = dir / "RQ_CPU.cpu";
        std::stop_source stop;
        Steady::time_point requested;
        std::jthread stopper([&] {
            if (c == AckWait)
                std::this_thread::sleep_for(milliseconds(300));
            for (SimCard* card : {&a, &b})
                while (c != AckWait && (card == &a || c == TwoPorts) &&
                       card->record().transfer.size() < 500)
                    std::this_thread::sleep_for(milliseconds(5));
            requested = Steady::now();
            stop.request_stop();
        });
        std::vector<CardResult> results;
        if (c == TwoPorts)
            results = runParallelUpgrade({{a.port(), {"1"}}, {b.port(), {"1"}}}, "9600", options,
                                         {}, stop.get_token());
        else
            outcome = runUpgrade(FixedSelection(a.port(), c == Transfer ? "9600" : "115200", "1"),
                                 stop.get_token(), options, &seen);
        const auto ended = Steady::now();
        stopper.join();
        EXPECT_LT(ended - requested, milliseconds(100));
        EXPECT_EQ(outcome.end, CardEnd::Stopped);
        EXPECT_EQ(seen.total > 0, c == Transfer); // the acknowledge wait: no transfer begun
        EXPECT_EQ(results.size(), c == TwoPorts ? 2u : 0u);
        for (const auto& r : results) {
            EXPECT_EQ(r.end, CardEnd::Stopped);
            EXPECT_EQ(std::string(r.status), text::kSendFailed);
        }
        EXPECT_TRUE(portFree(a.port()) && portFree(b.port()));
    }
}

// What one port's reporter heard, and from which threads.
class Notes final : public PortReporter {
public:
    void cardStarted(const std::string&, const std::string& screen) override {
        note("start " + screen);
    }
    void progress(const std::string&, const std::string&, std::uint64_t sent,
                  std::uint64_t total) override {
        if (sent == total)
            note("done");
    }
    void cardFinished(const CardResult& r) override { note("end " + r.screen); }
    std::vector<std::string> events;
    std::set<std::thread::id> threads;

private:
    void note(const std::string& e) {
        events.push_back(e);
        threads.insert(std::this_thread::get_id());
    }
};

TEST(ParallelUpgrade, eachPortGoesItsOwnWayAndAMissingPortFailsAlone) {
    TempDir dir;
    const auto bytes = packageBytes(8 + 3000);
    writeBytes(dir / "RQ_CPU.cpu", bytes);
    SimCard a, b;
    FakeClock clock;
    const std::vector<PortJob> jobs = {
        {a.port(), {"1", "2"}}, {"/dev/cpuconfig-none", {"1"}}, {b.port(), {"1"}}};
    Notes notes[3];
    PortReporter* reporters[] = {&notes[0], &notes[1], &notes[2]};
    const auto results = runParallelUpgrade(
        jobs, "115200", fakeTimeUpgrade(clock, dir / "RQ_CPU.cpu"), reporters, {});

    // Status and reason up to the list of ports there are now.
    std::vector<std::string> got;
    for (const auto& r : results)
        got.push_back(r.screen + " " + r.status + " " + r.reason.substr(0, r.reason.find(';')));
    const std::vector<std::string> expected = {
        "1 "s + text::kConfigOk + " ",
        "2 "s + text::kConfigFailed + " no acknowledge from screen 2: silent for 2000 ms",
        "1 "s + text::kSendFailed + " /dev/cpuconfig-none: no such port",
        "1 "s + text::kConfigOk + " "};
    EXPECT_EQ(got, expected);
    EXPECT_EQ(results[3].port, b.port());
    EXPECT_TRUE(results[2].end == CardEnd::PortFailed && results[2].portError);
    EXPECT_EQ(results[0].bytesSent, bytes.size() - 8);
    for (SimCard* card : {&a, &b})
        EXPECT_EQ(card->record().transfer,
                  std::vector<std::uint8_t>(bytes.begin() + 8, bytes.end()));

    // The screens of one port in turn; every call for a port on one thread of its own.
    EXPECT_EQ(notes[0].events,
              (std::vector<std::string>{"start 1", "done", "end 1", "start 2", "end 2"}));
    std::set<std::thread::id> all;
    for (const auto& n : notes) {
        EXPECT_EQ(n.threads.size(), 1u);
        all.insert(n.threads.begin(), n.threads.end());
    }
    EXPECT_EQ(all.size(), 3u);
}

} // namespace
} // namespace cpuconfig::test
