// The firmware upgrade and the card query against the simulated card over real
// pseudo-terminals, on fake time: what the real port does to the line (its settings, its
// speed, its hold on the device). What goes on the wire otherwise is in ProtocolTest.cpp.
#include "LinkTestSupport.h"

#include "common/Texts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;
using Statuses = std::vector<std::string>;

// The smallest package in one block: what the observer hears, the header command, the address
// under mark and everything after it under space, on a line that starts as a new
// pseudo-terminal does (cooked, echoing) with two stop bits and hardware flow control that
// must survive the exchange.
TEST(Upgrade, smallestPackageOnACookedLine) {
    UpgradeRig rig;
    const auto bytes = packageBytes(17, 'A', '2');
    writeBytes(rig.package, bytes);
    SimCard card(simWith([&](SimulatorOptions& o) { o.screen = 5; }));
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

    EXPECT_EQ(rig.ending(), kConfirmed);
    EXPECT_EQ(rig.seen.begins, 1);
    EXPECT_EQ(rig.seen.total, 9u);
    EXPECT_EQ(rig.seen.sent(), (std::vector<std::uint64_t>{0, 9}));
    EXPECT_EQ(rig.outcome.bytesSent, 9u);
    EXPECT_TRUE(rig.clock.sleeps().empty());

    const auto rec = card.record();
    Bytes command = {0x01, 0xDE, 0x00, 0x09, 0x00, 0x00, 0x00};
    command.insert(command.end(), bytes.begin(), bytes.begin() + 8);
    EXPECT_EQ(rec.headerCommand, command);
    EXPECT_EQ(rec.transfer, Bytes(bytes.begin() + 8, bytes.end()));
    EXPECT_TRUE(rec.endMarkOk);
    EXPECT_EQ(rec.address, (Bytes{0x05, 0x05}));
    ASSERT_GE(rec.lines.size(), 2u);
    EXPECT_TRUE(rec.lines.front().mark);
    EXPECT_EQ(rec.lines.front().bytes, 2u);
    for (std::size_t i = 0; i < rec.lines.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rec.lines[i].space, i > 0);
        EXPECT_TRUE(rec.lines[i].raw && rec.lines[i].twoStopBits && rec.lines[i].hardwareFlow);
    }
    EXPECT_EQ(rec.dataBytesUnderMark, 0u);
}

TEST(UpgradeBaud, lineSpeedFollowsTheBaudText) {
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"9600", 9600}, {"28800", 28800}, {"57600", 57600}, {"19200", 115200}, {"9600 ", 115200}};
    for (const auto& [text, baud] : cases) {
        SCOPED_TRACE(text);
        UpgradeRig rig;
        writeBytes(rig.package, packageBytes(40));
        SimCard card;
        rig.runOn(card.port(), text);
        EXPECT_EQ(rig.ending(), kConfirmed);
        for (const auto& line : card.record().lines)
            EXPECT_EQ(line.baud, baud);
    }
}

TEST(Upgrade, secondUpgradeOrQueryWhileOneRunsFailsAtTheOpen) {
    // The first runs in real time: the card takes its bytes at the line's speed.
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(8 + 8 * 1024));
    Outcome first;
    SimCard card(simWith([&](SimulatorOptions& o) { o.baudLimit = true; }));
    std::jthread running([&] {
        FixedSelection sel(card.port(), "115200", "1");
        UpgradeOptions options;
        options.package = dir / "RQ_CPU.cpu";
        first = runUpgrade(sel, {}, options);
    });
    while (card.record().acknowledges == 0)
        std::this_thread::sleep_for(milliseconds(2));

    UpgradeRig second;
    writeBytes(second.package, packageBytes(100));
    second.runOn(card.port());
    EXPECT_EQ(second.ending(), kNotOpened);
    QueryRun query;
    query.run(card.port());
    EXPECT_EQ(endingOf(query.outcome), kNotOpened);
    EXPECT_EQ(query.statuses, Statuses{"发送失败"});

    running.join();
    EXPECT_EQ(endingOf(first), kConfirmed);
    EXPECT_EQ(card.record().transfer.size(), 8u * 1024);
}

} // namespace
} // namespace cpuconfig::test
