// Cards and lines that misbehave, over real pseudo-terminals with the simulated card: each
// run ends with the system's own report, nothing hangs, and the port is free afterwards.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "common/Texts.h"
#include "link/Upgrade.h"
#include "link/getParam.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <functional>
#include <thread>
#include <utility>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

std::size_t entriesIn(const char* folder) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(folder)) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}
// Open descriptors and threads of this process.
std::size_t openFds() {
    return entriesIn("/proc/self/fd");
}
std::size_t threads() {
    return entriesIn("/proc/self/task");
}

struct LateCase {
    const char* name;
    bool finalAnswer; // late with the final answer, else with the acknowledge
    int atMs;
    std::vector<Message> tail; // the last sent messages
};
void PrintTo(const LateCase& c, std::ostream* os) {
    *os << c.name;
}
class LinkLateCard : public ::testing::TestWithParam<LateCase> {};

TEST_P(LinkLateCard, answersCountUntilTwoSecondsOfSilence) {
    const auto& c = GetParam();
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + 1000));
    SimulatorOptions o;
    if (c.finalAnswer)
        o.fault = SimFault::NoFinal;
    else
        o.ackAnswer = Bytes{};
    SimCard card(o);
    // No time passes before the wait in question starts: the acknowledge comes at once
    // when it is not the late one, and an "A" package has no pauses.
    rig.clock.at(milliseconds(c.atMs), [&] { card.sim().answer({0x01}); });
    rig.runOn(card.port());

    const auto sent = rig.window.sent();
    ASSERT_GE(sent.size(), c.tail.size());
    EXPECT_EQ(
        std::vector<Message>(sent.end() - static_cast<std::ptrdiff_t>(c.tail.size()), sent.end()),
        c.tail);
    if (c.tail.back() == msgResult(0)) {
        EXPECT_EQ(card.record().transfer.size(), 1000u);
    }
    EXPECT_TRUE(portFree(card.port()));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, LinkLateCard,
    ::testing::Values(LateCase{"ack_after_1900ms", false, 1900, {msgResult(0)}},
                      LateCase{"ack_after_2100ms", false, 2100, {kHide, kSendFailed, msgResult(1)}},
                      LateCase{"final_after_1900ms", true, 1900, {msgResult(0)}},
                      LateCase{"final_after_2100ms", true, 2100, {msgResult(1)}}),
    [](const auto& p) { return std::string(p.param.name); });

struct Talk {
    std::optional<Bytes> ack, final, chatter;
    bool byteByByte = false;
    SimFault fault = SimFault::None;
};
struct ChatterCase {
    const char* name;
    Talk card;
    std::uintptr_t result;
};
void PrintTo(const ChatterCase& c, std::ostream* os) {
    *os << c.name;
}
class LinkChatter : public ::testing::TestWithParam<ChatterCase> {};

// The package is far longer than a pty lets the sender run ahead, so whatever the card says
// early is on the line before the last block goes out.
TEST_P(LinkChatter, onlyWhatFollowsTheLastByteAnswersTheTransfer) {
    const auto& c = GetParam();
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + 128 * 1024));
    SimulatorOptions o;
    o.ackAnswer = c.card.ack;
    o.finalAnswer = c.card.final;
    o.chatter = c.card.chatter;
    o.answerByteByByte = c.card.byteByByte;
    o.fault = c.card.fault;
    SimCard card(o);
    rig.runOn(card.port());
    EXPECT_EQ(rig.window.sent().back(), msgResult(c.result));
    EXPECT_EQ(card.record().transfer.size(), 128u * 1024);
    EXPECT_TRUE(portFree(card.port()));
}

Bytes twoAcks{0x01, 0x01};
INSTANTIATE_TEST_SUITE_P(
    Cards, LinkChatter,
    ::testing::Values(
        // An acknowledge whose bytes come in reads of their own: the first one alone is
        // the acknowledge, and the second is no confirmation of a transfer never answered.
        ChatterCase{
            "ack_split_across_reads_then_silent", {twoAcks, {}, {}, true, SimFault::NoFinal}, 1},
        ChatterCase{"ack_split_across_reads_then_confirms", {twoAcks, {}, {}, true}, 0},
        ChatterCase{"final_answer_split_across_reads", {{}, Bytes{0x01, 0x00}, {}, true}, 0},
        ChatterCase{"talks_01_during_the_transfer_then_silent",
                    {{}, {}, Bytes{0x01}, false, SimFault::NoFinal},
                    1},
        ChatterCase{"talks_noise_during_the_transfer_then_confirms",
                    {{}, {}, Bytes{0x55, 0x00, 0xFF, 0x7E}},
                    0},
        ChatterCase{"garbage_before_the_ack", {{}, {}, {}, false, SimFault::Garbage}, 0}),
    [](const auto& p) { return std::string(p.param.name); });

struct HangupCase {
    int percent;
    bool duringTransfer; // the sender is still writing when the line drops
};
class LinkHangup : public ::testing::TestWithParam<HangupCase> {};

TEST_P(LinkHangup, aDroppedLineIsNeverASuccess) {
    const auto& c = GetParam();
    const std::size_t length = 512 * 1024;
    const auto fdsBefore = openFds();
    {
        UpgradeRig rig;
        writeBytes(rig.package, packageBytes(8 + length));
        SimulatorOptions o;
        o.fault = SimFault::Hangup;
        o.hangupAtPercent = c.percent;
        SimCard card(o);
        const std::string port = card.port();
        rig.runOn(port);
        const auto sent = rig.window.sent();
        ASSERT_GE(sent.size(), 2u);
        EXPECT_EQ(sent.back(), msgResult(1));
        if (c.duringTransfer) {
            EXPECT_EQ(sent[sent.size() - 2], kSendFailed);
        }
        // The card comes back on a new line just after the old one has gone.
        for (int i = 0; i < 400 && card.port() == port; ++i)
            std::this_thread::sleep_for(milliseconds(5));
        EXPECT_EQ(card.record().hangups, 1);
        EXPECT_GE(card.record().transfer.size() * 100, length * c.percent);
        EXPECT_TRUE(rig.clock.sleeps().empty()); // no wait for an answer on a dead line
        EXPECT_TRUE(portFree(card.port()));      // the card's line after its power cycle
    }
    EXPECT_EQ(openFds(), fdsBefore);
}

INSTANTIATE_TEST_SUITE_P(Percent, LinkHangup,
                         ::testing::Values(HangupCase{10, true}, HangupCase{50, true},
                                           HangupCase{99, false}),
                         [](const auto& p) { return std::to_string(p.param.percent); });

TEST(LinkFault, portRemovedBetweenExchanges) {
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + 300));
    std::filesystem::path registered;
    {
        SimCard card;
        auto path = card.sim().registerPort("SIMFAULT");
        ASSERT_TRUE(path) << path.error().message;
        registered = *path;
        rig.runOn(registered.string());
        EXPECT_EQ(rig.window.sent().back(), msgResult(0));
    } // the adapter is pulled

    UpgradeRig after;
    writeBytes(after.package, packageBytes(8 + 300));
    after.runOn(registered.string());
    EXPECT_EQ(after.window.sent(), (std::vector<Message>{kHide, kSendFailed}));
    RecordingReporter reporter;
    FakeClock clock;
    FixedSelection sel(registered.string(), "115200", "1");
    EXPECT_EQ(getParam(reporter, sel, {}, fakeTimeOptions(clock)), 1);
    EXPECT_EQ(reporter.statuses, (std::vector<std::string>{text::kSendFailed}));

    // Plugged in again under the same name, it works at once.
    SimCard again;
    ASSERT_TRUE(again.sim().registerPort("SIMFAULT"));
    UpgradeRig third;
    writeBytes(third.package, packageBytes(8 + 300));
    third.runOn(registered.string());
    EXPECT_EQ(third.window.sent().back(), msgResult(0));
    again.sim().unregisterPort();
}

TEST(LinkFault, hundredUpgradesInARowLeakNoDescriptorOrThread) {
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(8 + 600));
    SimCard card;
    const std::string port = card.port();
    const auto fdsBefore = openFds();
    const auto threadsBefore = threads();
    int successes = 0;
    for (int i = 0; i < 100; ++i) {
        FakeClock clock;
        RecordingWindow window(&clock);
        // Each on a worker of its own, as the main window starts them.
        std::jthread worker([&] {
            FixedSelection sel(port, "115200", "1");
            runUpgrade(window, sel, {}, fakeTimeUpgrade(clock, dir / "RQ_CPU.cpu"));
        });
        worker.join();
        successes += window.sent().back() == msgResult(0);
    }
    EXPECT_EQ(successes, 100);
    EXPECT_EQ(card.record().upgradesCompleted, 100);
    EXPECT_EQ(openFds(), fdsBefore);
    EXPECT_EQ(threads(), threadsBefore);
    EXPECT_TRUE(portFree(port));
}

// Every length a package can be cut to, up to the smallest whole one.
class LinkPackageLength : public ::testing::TestWithParam<int> {};

TEST_P(LinkPackageLength, shortPackagesNeverSendANegativeLength) {
    const auto n = static_cast<std::size_t>(GetParam());
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(n));
    SimCard card;
    rig.runOn(card.port());
    const auto sent = rig.window.sent();
    const auto rec = card.record();
    if (n < 8) {
        EXPECT_EQ(sent, (std::vector<Message>{kHide, kNoFile}));
        EXPECT_TRUE(rec.lines.empty()); // the port was never opened
    } else {
        ASSERT_EQ(rec.headerCommand.size(), 15u);
        const std::uint32_t length = rec.headerCommand[3] | rec.headerCommand[4] << 8 |
                                     rec.headerCommand[5] << 16 |
                                     static_cast<std::uint32_t>(rec.headerCommand[6]) << 24;
        EXPECT_EQ(length, n - 8);
        EXPECT_EQ(rec.transfer.size(), n - 8);
        EXPECT_EQ(sent.back().message, static_cast<unsigned>(WM_CPU_RESULT));
        // Nothing to answer for an empty transfer; anything else the card confirms.
        EXPECT_EQ(sent.back().wParam, n == 8 ? 1u : 0u);
    }
    EXPECT_TRUE(portFree(card.port()));
}

INSTANTIATE_TEST_SUITE_P(Bytes, LinkPackageLength, ::testing::Range(0, 18));

} // namespace
} // namespace cpuconfig::test
