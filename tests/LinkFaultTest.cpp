// Cards and lines that misbehave, over real pseudo-terminals with the simulated card: each
// run ends with the system's own report, nothing hangs, and the port is free afterwards.
#include "LinkTestSupport.h"

#include "common/Texts.h"

#include <gtest/gtest.h>

#include <dirent.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;

// Open descriptors ("fd") or threads ("task") of this process.
std::size_t entriesIn(const std::string& what) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(("/proc/self/" + what).c_str())) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

TEST(LinkHangup, aDroppedLineIsNeverASuccess) {
    const std::size_t length = 512 * 1024;
    const std::pair<int, bool> rows[] = {{10, true}, {50, true}, {99, false}};
    for (const auto& [percent, duringTransfer] : rows) { // still writing when the line drops
        SCOPED_TRACE(percent);
        const auto fdsBefore = entriesIn("fd");
        {
            UpgradeRig rig;
            writeBytes(rig.package, packageBytes(8 + length));
            SimCard card({.fault = SimFault::Hangup, .hangupAtPercent = percent});
            const std::string port = card.port();
            rig.runOn(port);
            EXPECT_EQ(rig.outcome.end, CardEnd::NotConfirmed);
            if (duringTransfer) {
                EXPECT_EQ(rig.ending(), kBrokenOff);
            }
            // The card comes back on a new line just after the old one has gone.
            for (int i = 0; i < 400 && card.port() == port; ++i)
                std::this_thread::sleep_for(milliseconds(5));
            EXPECT_EQ(card.record().hangups, 1);
            EXPECT_GE(card.record().transfer.size() * 100, length * percent);
            EXPECT_TRUE(rig.clock.sleeps().empty()); // no wait for an answer on a dead line
            EXPECT_TRUE(portFree(card.port()));      // the card's line after its power cycle
        }
        EXPECT_EQ(entriesIn("fd"), fdsBefore);
    }
}

TEST(LinkFault, portRemovedBetweenExchanges) {
    UpgradeRig rig, after, third;
    for (auto* r : {&rig, &after, &third})
        writeBytes(r->package, packageBytes(8 + 300));
    std::filesystem::path registered;
    {
        SimCard card;
        auto path = card.sim().registerPort("SIMFAULT");
        ASSERT_TRUE(path) << path.error().message;
        registered = *path;
        rig.runOn(registered.string());
        EXPECT_EQ(rig.ending(), kConfirmed);
    } // the adapter is pulled

    after.runOn(registered.string());
    EXPECT_EQ(after.ending(), kNotOpened);
    QueryRun query;
    query.run(registered.string());
    EXPECT_EQ(endingOf(query.outcome), kNotOpened);
    EXPECT_EQ(query.statuses, (std::vector<std::string>{text::kSendFailed}));

    // Plugged in again under the same name, it works at once.
    SimCard again;
    ASSERT_TRUE(again.sim().registerPort("SIMFAULT"));
    third.runOn(registered.string());
    EXPECT_EQ(third.ending(), kConfirmed);
    again.sim().unregisterPort();
}

TEST(LinkFault, hundredUpgradesInARowLeakNoDescriptorOrThread) {
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(8 + 600));
    SimCard card;
    const auto fdsBefore = entriesIn("fd");
    const auto threadsBefore = entriesIn("task");
    int successes = 0;
    for (int i = 0; i < 100; ++i) {
        FakeClock clock;
        Outcome outcome;
        // Each on a worker of its own, as the main window starts them.
        std::jthread([&] {
            FixedSelection sel(card.port(), "115200", "1");
            outcome = runUpgrade(sel, {}, fakeTimeUpgrade(clock, dir / "RQ_CPU.cpu"));
        }).join();
        successes += outcome.end == CardEnd::Confirmed;
    }
    EXPECT_EQ(successes, 100);
    EXPECT_EQ(card.record().upgradesCompleted, 100);
    EXPECT_EQ(entriesIn("fd"), fdsBefore);
    EXPECT_EQ(entriesIn("task"), threadsBefore);
    EXPECT_TRUE(portFree(card.port()));
}

} // namespace
} // namespace cpuconfig::test
