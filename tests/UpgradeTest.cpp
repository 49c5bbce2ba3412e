// The firmware upgrade against the simulated card over real pseudo-terminals, on fake time.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "link/PosixSerialPort.h"
#include "link/Upgrade.h"
#include "link/getParam.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;

const Message kShow = sentMsg(WM_CPU_PROGRESS, 1, kProgressVisible);
const Message kMin = sentMsg(WM_CPU_PROGRESS, 0, kProgressMinimum);

TEST(Upgrade, smallestPackageGoesOutAsOneBlock) {
    UpgradeRig rig;
    const auto bytes = packageBytes(17, 'A', '2');
    writeBytes(rig.package, bytes);
    SimCard card;
    rig.runOn(card.port());

    const std::vector<Message> expected = {
        kHide,
        kShow,
        kMin,
        sentMsg(WM_CPU_PROGRESS, 24, kProgressMaximum),
        sentMsg(WM_CPU_PROGRESS, 15, kProgressPosition),
        Message{WM_CPU_PROGRESS, 24, kProgressPosition, true, {}},
        msgResult(0)};
    EXPECT_EQ(rig.window.messages(), expected);

    const auto rec = card.record();
    std::vector<std::uint8_t> command = {0x01, 0xDE, 0x00, 0x09, 0x00, 0x00, 0x00};
    command.insert(command.end(), bytes.begin(), bytes.begin() + 8);
    EXPECT_EQ(rec.headerCommand, command);
    EXPECT_EQ(rec.transfer, std::vector<std::uint8_t>(bytes.begin() + 8, bytes.end()));
    EXPECT_TRUE(rec.endMarkOk);
    EXPECT_TRUE(rig.clock.sleeps().empty());
}

TEST(Upgrade, addressUnderMarkThenEverythingUnderSpaceFromCookedPty) {
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + 1000));
    SimCard card(simWith([&](SimulatorOptions& o) { o.screen = 5; }));
    // The line starts as a new pseudo-terminal does: cooked, echoing. Two stop bits and
    // hardware flow control are set and must survive the exchange.
    {
        const int fd = ::open(card.port().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        ASSERT_TRUE(t.c_lflag & ICANON);
        t.c_cflag |= CSTOPB | CRTSCTS;
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    rig.runOn(card.port(), "115200", "5");
    EXPECT_EQ(rig.window.sent().back(), msgResult(0));

    const auto rec = card.record();
    EXPECT_EQ(rec.address, (std::vector<std::uint8_t>{0x05, 0x05}));
    ASSERT_GE(rec.lines.size(), 2u);
    EXPECT_TRUE(rec.lines.front().mark);
    EXPECT_EQ(rec.lines.front().bytes, 2u);
    for (std::size_t i = 1; i < rec.lines.size(); ++i)
        EXPECT_TRUE(rec.lines[i].space) << "chunk " << i;
    for (const auto& line : rec.lines) {
        EXPECT_TRUE(line.raw);
        EXPECT_TRUE(line.twoStopBits);
        EXPECT_TRUE(line.hardwareFlow);
    }
    EXPECT_EQ(rec.dataBytesUnderMark, 0u);
    EXPECT_EQ(rec.transfer.size(), 1000u);
}

struct BaudCase {
    const char* text;
    std::uint32_t baud;
};
class UpgradeBaud : public ::testing::TestWithParam<BaudCase> {};

TEST_P(UpgradeBaud, lineSpeedFollowsTheBaudText) {
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(40));
    SimCard card;
    rig.runOn(card.port(), GetParam().text);
    EXPECT_EQ(rig.window.sent().back(), msgResult(0));
    for (const auto& line : card.record().lines)
        EXPECT_EQ(line.baud, GetParam().baud);
}

INSTANTIATE_TEST_SUITE_P(Texts, UpgradeBaud,
                         ::testing::Values(BaudCase{"9600", 9600}, BaudCase{"28800", 28800},
                                           BaudCase{"57600", 57600}, BaudCase{"19200", 115200},
                                           BaudCase{"9600 ", 115200}));

struct PacingCase {
    const char* name;
    std::uint8_t model;
    std::uint8_t cardVersion;
    std::size_t transfer;
    std::vector<milliseconds> pauses;
};
class UpgradePacing : public ::testing::TestWithParam<PacingCase> {};

TEST_P(UpgradePacing, pausesFallAfterWholeBlocksButNeverAtTheEnd) {
    const auto& c = GetParam();
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + c.transfer, c.model, c.cardVersion));
    SimCard card;
    rig.runOn(card.port());
    EXPECT_EQ(rig.window.sent().back(), msgResult(0));
    EXPECT_EQ(rig.clock.sleeps(), c.pauses);
    EXPECT_EQ(card.record().transfer.size(), c.transfer);
}

std::vector<milliseconds> times(int n, int ms) {
    return std::vector<milliseconds>(n, milliseconds(ms));
}

INSTANTIATE_TEST_SUITE_P(
    Models, UpgradePacing,
    ::testing::Values(PacingCase{"L", 'L', '2', 262144, times(1, 3000)},
                      PacingCase{"l_longer", 'l', '2', 262144 + 5, times(2, 3000)},
                      PacingCase{"T", 'T', '2', 4096 * 3, times(2, 100)},
                      PacingCase{"t_partial", 't', '2', 4096 * 3 + 1, times(3, 100)},
                      PacingCase{"N_v3", 'N', 0x03, 262144 + 5, {}},
                      PacingCase{"N_char3", 'N', '3', 262144 + 5, times(2, 3000)},
                      PacingCase{"n_char2", 'n', '2', 131072 + 1, times(1, 3000)},
                      PacingCase{"A", 'A', '2', 262144 + 5, {}}),
    [](const auto& p) { return std::string(p.param.name); });

// Whatever fails before the transfer: what the window hears, and the card hears nothing
// of a package it never gets.
TEST(Upgrade, failuresBeforeTheTransfer) {
    enum Package { None, Folder, Good };
    struct Case {
        const char* name;
        Package package;
        SimFault fault;
        std::string port; // empty: the card's
        std::string screen;
        std::vector<Message> sent;
    };
    const Case cases[] = {
        {"no package", None, SimFault::None, "", "1", {kHide, kNoFile}},
        {"a folder named like the package", Folder, SimFault::None, "", "1", {kHide, kNoFile}},
        {"no such port", Good, SimFault::None, "/dev/cpuconfig-none", "1", {kHide, kSendFailed}},
        {"screen is no number", Good, SimFault::None, "", "x1", {kHide, kSendFailed}},
        {"silent card", Good, SimFault::Silent, "", "1", {kHide, kSendFailed, msgResult(1)}},
        {"01 01 in one read", Good, SimFault::NoAck, "", "1", {kHide, kSendFailed, msgResult(1)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRig rig;
        if (c.package == Folder)
            std::filesystem::create_directory(rig.package);
        else if (c.package == Good)
            writeBytes(rig.package, packageBytes(100));
        SimCard card(simWith([&](SimulatorOptions& o) { o.fault = c.fault; }));
        rig.runOn(c.port.empty() ? card.port() : c.port, "115200", c.screen);
        EXPECT_EQ(rig.window.sent(), c.sent);
        EXPECT_TRUE(card.record().headerCommand.empty());
        if (c.fault == SimFault::Silent) {
            EXPECT_EQ(rig.window.sent().back().at, milliseconds(2000));
        }
    }
}

struct FinalCase {
    const char* name;
    SimFault fault;
    std::optional<std::vector<std::uint8_t>> answer;
    std::uintptr_t result;
};
class UpgradeFinalAnswer : public ::testing::TestWithParam<FinalCase> {};

TEST_P(UpgradeFinalAnswer, onlyAFirstByteOfOneConfirms) {
    const auto& c = GetParam();
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(500));
    SimCard card(simWith([&](SimulatorOptions& o) {
        o.fault = c.fault;
        o.finalAnswer = c.answer;
    }));
    rig.runOn(card.port());
    const auto sent = rig.window.sent();
    EXPECT_EQ(sent.back(), msgResult(c.result));
    EXPECT_EQ(card.record().transfer.size(), 492u);
    if (c.result == 1) { // kept waiting until 2000 ms of silence
        EXPECT_EQ(rig.clock.sleeps(), (std::vector<milliseconds>{milliseconds(2000)}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UpgradeFinalAnswer,
    ::testing::Values(FinalCase{"ok", SimFault::None, std::nullopt, 0},
                      FinalCase{"ok_two_bytes", SimFault::None, std::vector<std::uint8_t>{1, 0}, 0},
                      FinalCase{"nak", SimFault::Nak, std::nullopt, 1},
                      FinalCase{"zero_first", SimFault::None, std::vector<std::uint8_t>{0, 1}, 1},
                      FinalCase{"none", SimFault::NoFinal, std::nullopt, 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Upgrade, packageThatShrinksDuringTheTransferIsNeverASuccess) {
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + 1024 * 1024));
    SimCard card;
    // The main window handles the first position while the package is cut short.
    rig.window.onSend = [&](const Message& m) {
        if (m.message == WM_CPU_PROGRESS && m.lParam == kProgressPosition)
            std::filesystem::resize_file(rig.package, 8 + 200);
    };
    rig.runOn(card.port());
    const auto sent = rig.window.sent();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], kSendFailed);
    EXPECT_EQ(sent.back(), msgResult(1));
}

TEST(Upgrade, secondUpgradeOrQueryWhileOneRunsFailsAtTheOpen) {
    // The first runs in real time: the card takes its bytes at the line's speed.
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(8 + 8 * 1024));
    RecordingWindow firstWindow;
    SimCard card(simWith([&](SimulatorOptions& o) { o.baudLimit = true; }));
    std::jthread running([&] {
        FixedSelection sel(card.port(), "115200", "1");
        UpgradeOptions options;
        options.package = dir / "RQ_CPU.cpu";
        runUpgrade(firstWindow, sel, {}, options);
    });
    while (card.record().acknowledges == 0)
        std::this_thread::sleep_for(milliseconds(2));

    UpgradeRig second;
    writeBytes(second.package, packageBytes(100));
    second.runOn(card.port());
    EXPECT_EQ(second.window.sent(), (std::vector<Message>{kHide, kSendFailed}));

    RecordingReporter reporter;
    FakeClock clock;
    FixedSelection sel(card.port(), "115200", "1");
    EXPECT_EQ(getParam(reporter, sel, {}, fakeTimeOptions(clock)), 1);
    EXPECT_EQ(reporter.statuses, (std::vector<std::string>{"发送失败"}));

    running.join();
    EXPECT_EQ(firstWindow.sent().back(), msgResult(0));
    EXPECT_EQ(card.record().transfer.size(), 8u * 1024);
}

TEST(Upgrade, stopDuringAPauseSendsNoResultAndReleasesThePort) {
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + 3 * 4096, 'T'));
    SimCard card;
    std::stop_source stop;
    // A shutdown arrives just as the first pause begins.
    rig.clock.at(milliseconds(0), [&] { stop.request_stop(); });
    FixedSelection sel(card.port(), "115200", "1");
    runUpgrade(rig.window, sel, stop.get_token(), fakeTimeUpgrade(rig.clock, rig.package));
    for (const auto& m : rig.window.messages())
        EXPECT_NE(m.message, WM_CPU_RESULT);
    EXPECT_TRUE(PosixSerialPort::open(card.port())); // released
    // Nothing after the pause reaches the card; what was still queued may be dropped.
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_LE(card.record().transfer.size(), 4096u);
}

} // namespace
} // namespace cpuconfig::test
