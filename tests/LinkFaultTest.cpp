// Cards and lines that misbehave, over real pseudo-terminals with the simulated card: each
// run ends with the system's own report, nothing hangs, and the port is free afterwards.
#include "LinkTestSupport.h"

#include "common/Texts.h"

#include <gtest/gtest.h>

#include <dirent.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

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

// Only a first byte of 01 that follows the last byte answers the transfer, and an answer
// counts until two seconds of silence. The package is far longer than a pty lets the sender
// run ahead, so whatever the card says early is on the line before the last block goes out.
TEST(UpgradeAnswers, onlyWhatFollowsTheLastByteAnswersTheTransfer) {
    using enum SimFault;
    const Bytes acks{0x01, 0x01};
    const Ending ok = kConfirmed, failed = kNoAnswer, noAck = kNoAck;
    struct Row {
        const char* name;
        SimulatorOptions card;
        Ending ending;
        int lateMs = 0; // the card says 01 at this moment of the wait
    };
    const Row rows[] = {
        {"confirms", {}, ok},
        {"01 00", {.finalAnswer = Bytes{0x01, 0x00}}, ok},
        {"00", {.fault = Nak}, failed},
        {"00 01", {.finalAnswer = Bytes{0x00, 0x01}}, failed},
        {"no final answer", {.fault = NoFinal}, failed},
        // No time passes before the wait in question starts: the acknowledge comes at once
        // when it is not the late one, and an "A" package has no pauses.
        {"ack after 1900 ms", {.ackAnswer = Bytes{}}, ok, 1900},
        {"ack after 2100 ms", {.ackAnswer = Bytes{}}, noAck, 2100},
        {"final answer after 1900 ms", {.fault = NoFinal}, ok, 1900},
        {"final answer after 2100 ms", {.fault = NoFinal}, failed, 2100},
        // An acknowledge whose bytes come in reads of their own: the first one alone is the
        // acknowledge, and the second is no confirmation of a transfer never answered.
        {"split ack, silent",
         {.fault = NoFinal, .ackAnswer = acks, .answerByteByByte = true},
         failed},
        {"split ack, confirms", {.ackAnswer = acks, .answerByteByByte = true}, ok},
        {"split final answer", {.finalAnswer = Bytes{1, 0}, .answerByteByByte = true}, ok},
        {"01 mid-transfer, silent", {.fault = NoFinal, .chatter = Bytes{1}}, failed},
        {"noise mid-transfer, confirms", {.chatter = Bytes{0x55, 0x00, 0xFF, 0x7E}}, ok},
        {"garbage before the ack", {.fault = Garbage}, ok},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        UpgradeRig rig;
        writeBytes(rig.package, packageBytes(8 + 128 * 1024));
        SimCard card(row.card);
        if (row.lateMs)
            rig.clock.at(milliseconds(row.lateMs), [&] { card.sim().answer({0x01}); });
        rig.runOn(card.port());
        EXPECT_EQ(rig.ending(), row.ending);
        if (row.ending == ok) {
            EXPECT_EQ(card.record().transfer.size(), 128u * 1024);
        } else { // kept waiting until 2000 ms of silence
            EXPECT_EQ(rig.clock.sleeps(), std::vector<milliseconds>{milliseconds(2000)});
        }
        EXPECT_TRUE(portFree(card.port()));
    }
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
