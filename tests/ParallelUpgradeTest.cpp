// Several ports at once: each worker owns its port and its reporter, a port that cannot be
// opened fails alone, and a stop ends every worker and frees every port at once.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "common/Texts.h"
#include "link/ParallelUpgrade.h"
#include "link/PosixSerialPort.h"

#include <gtest/gtest.h>
#include <set>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

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
        std::string("1 ") + text::kConfigOk + " ",
        std::string("2 ") + text::kConfigFailed + " no acknowledge from screen 2",
        std::string("1 ") + text::kSendFailed + " /dev/cpuconfig-none: no such port",
        std::string("1 ") + text::kConfigOk + " "};
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

TEST(ParallelUpgrade, aStopEndsEveryTransferAtOnceAndFreesEveryPort) {
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(8 + 200000));
    SimulatorOptions o;
    o.baudLimit = true;
    std::vector<std::unique_ptr<SimCard>> cards;
    std::vector<PortJob> jobs;
    for (int i = 0; i < 4; ++i) {
        cards.push_back(std::make_unique<SimCard>(o));
        jobs.push_back({cards.back()->port(), {"1"}});
    }
    UpgradeOptions options;
    options.package = dir / "RQ_CPU.cpu";
    std::stop_source stop;
    Steady::time_point requested;
    std::jthread stopper([&] {
        for (const auto& card : cards)
            while (card->record().transfer.size() < 500)
                std::this_thread::sleep_for(milliseconds(5));
        requested = Steady::now();
        stop.request_stop();
    });
    const auto results = runParallelUpgrade(jobs, "9600", options, {}, stop.get_token());
    const auto ended = Steady::now();
    stopper.join();
    EXPECT_LT(ended - requested, milliseconds(100));
    ASSERT_EQ(results.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(results[i].end, CardEnd::Stopped);
        EXPECT_EQ(std::string(results[i].status), text::kSendFailed);
        EXPECT_TRUE(PosixSerialPort::open(jobs[i].port)) << jobs[i].port;
    }
}

} // namespace
} // namespace cpuconfig::test
