// The firmware upgrade and the card query against the simulated card over real
// pseudo-terminals, on fake time.
#include "LinkTestSupport.h"

#include "common/Texts.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;
using Statuses = std::vector<std::string>;
using namespace std::string_literals;

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

// Pauses fall after whole blocks, by the card's model and version, but never at the end.
TEST(UpgradePacing, pausesByModel) {
    struct Row {
        std::uint8_t model, cardVersion;
        std::size_t transfer;
        int pauses, ms;
    };
    const Row rows[] = {
        {'L', '2', 262144, 1, 3000},     {'l', '2', 262144 + 5, 2, 3000},
        {'T', '2', 4096 * 3, 2, 100},    {'t', '2', 4096 * 3 + 1, 3, 100},
        {'N', 0x03, 262144 + 5, 0, 0},   {'N', '3', 262144 + 5, 2, 3000},
        {'n', '2', 131072 + 1, 1, 3000}, {'A', '2', 262144 + 5, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(1, char(row.model)) + " " + std::to_string(row.cardVersion));
        UpgradeRig rig;
        writeBytes(rig.package, packageBytes(8 + row.transfer, row.model, row.cardVersion));
        SimCard card;
        rig.runOn(card.port());
        EXPECT_EQ(rig.ending(), kConfirmed);
        EXPECT_EQ(rig.clock.sleeps(), std::vector<milliseconds>(row.pauses, milliseconds(row.ms)));
        EXPECT_EQ(card.record().transfer.size(), row.transfer);
    }
}

// Whatever fails before the transfer: how it ends, and the card hears nothing
// of a package it never gets. A package that breaks the package rules is refused as
// missing before the port is even opened.
TEST(Upgrade, failuresBeforeTheTransfer) {
    enum Package { None, Folder, Fifo, Empty, HeaderOnly, NoImage, NoEndMark, CutShort, Good };
    struct Case {
        const char* name;
        Package package;
        SimFault fault;
        std::string port; // empty: the card's
        std::string screen;
        Ending ending;
        int waitedMs = 0;
    };
    const Ending noFile = kNoFile;
    const Case cases[] = {
        {"no package", None, SimFault::None, "", "1", noFile},
        {"a folder named like the package", Folder, SimFault::None, "", "1", noFile},
        {"a FIFO named like the package", Fifo, SimFault::None, "", "1", noFile},
        {"0 bytes", Empty, SimFault::None, "", "1", noFile},
        {"8 bytes, a header alone", HeaderOnly, SimFault::None, "", "1", noFile},
        {"16 bytes, no image", NoImage, SimFault::None, "", "1", noFile},
        {"last byte 0x55", NoEndMark, SimFault::None, "", "1", noFile},
        {"cut one byte short", CutShort, SimFault::None, "", "1", noFile},
        {"no such port", Good, SimFault::None, "/dev/cpuconfig-none", "1", kNotOpened},
        {"screen is no number", Good, SimFault::None, "", "x1", kNotOpened},
        {"silent card", Good, SimFault::Silent, "", "1", kNoAck, 2000},
        {"01 01 in one read", Good, SimFault::NoAck, "", "1", kNoAck, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRig rig;
        Bytes bytes = packageBytes(c.package == CutShort ? 101 : 100);
        if (c.package == NoEndMark)
            bytes.back() = 0x55;
        if (c.package == CutShort)
            bytes.pop_back();
        if (c.package == Folder)
            std::filesystem::create_directory(rig.package);
        else if (c.package == Fifo)
            ASSERT_EQ(::mkfifo(rig.package.c_str(), 0600), 0);
        else if (c.package != None)
            writeBytes(rig.package, c.package == Empty        ? Bytes{}
                                    : c.package == HeaderOnly ? packageBytes(8)
                                    : c.package == NoImage    ? packageBytes(16)
                                                              : bytes);
        SimCard card(simWith([&](SimulatorOptions& o) { o.fault = c.fault; }));
        rig.runOn(c.port.empty() ? card.port() : c.port, "115200", c.screen);
        EXPECT_EQ(rig.ending(), c.ending);
        EXPECT_EQ(rig.seen.total, 0u);
        const auto rec = card.record();
        EXPECT_TRUE(rec.headerCommand.empty());
        // A package refused before the port was opened, with the reason.
        EXPECT_TRUE(c.ending != noFile || rec.lines.empty());
        EXPECT_EQ(rig.outcome.packageError.has_value(), c.ending == noFile);
        EXPECT_EQ(rig.clock.elapsed(), milliseconds(c.waitedMs));
    }
}

// The card gets the package as it was when the upgrade began, whatever happens to the file:
// rewritten in place with another package or cut short, once the card has acknowledged
// (before any of it went out) or at the first pause of the transfer.
TEST(Upgrade, packageChangedDuringTheUpgradeIsSentAsItWas) {
    const Bytes original = packageBytes(8 + 16 * 1024, 'T'); // a pause every 4 KiB
    Bytes other = original;
    std::fill(other.begin() + 8, other.end() - 1, 0x42);
    const struct {
        const char* name;
        bool midTransfer; // else as soon as the card has acknowledged
        bool cut;
    } cases[] = {{"rewritten once the card acknowledged", false, false},
                 {"rewritten at the first pause", true, false},
                 {"cut short at the first pause", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpgradeRig rig;
        writeBytes(rig.package, original);
        SimCard card;
        bool changed = false;
        auto change = [&] {
            changed = true;
            c.cut ? std::filesystem::resize_file(rig.package, 8 + 200)
                  : writeBytes(rig.package, other);
        };
        if (c.midTransfer)
            rig.clock.at(milliseconds(0), change);
        else
            rig.seen.onTransfer = change;
        rig.runOn(card.port());
        EXPECT_TRUE(changed);
        EXPECT_EQ(rig.ending(), kConfirmed);
        EXPECT_EQ(card.record().transfer, Bytes(original.begin() + 8, original.end()));
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

TEST(Upgrade, stopDuringAPauseEndsItAsStoppedAndReleasesThePort) {
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + 3 * 4096, 'T'));
    SimCard card;
    std::stop_source stop;
    // A shutdown arrives just as the first pause begins.
    rig.clock.at(milliseconds(0), [&] { stop.request_stop(); });
    rig.runOn(card.port(), "115200", "1", stop.get_token());
    EXPECT_EQ(rig.outcome.end, CardEnd::Stopped);
    EXPECT_TRUE(portFree(card.port()));
    // Nothing after the pause reaches the card; what was still queued may be dropped.
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_LE(card.record().transfer.size(), 4096u);
}

Bytes reply(Bytes head, const std::string& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// What the card is asked, what it answers, and what the technician is shown: the model is
// the twelve bytes from offset 3 of the reply, cut at a zero; a card that does not answer
// fails after two seconds of silence; a set-up that fails says the send failed.
TEST(Query, answersAndFailures) {
    const std::string ok = text::kQueryOk, failed = text::kQueryFailed;
    const Statuses noAnswer = {text::kCommFailed, failed};
    const std::string twelve = "ABCDEFGHIJKL";
    const CardEnd notOpened = CardEnd::PortFailed, unanswered = CardEnd::NotConfirmed;
    struct Row {
        const char* name;
        SimulatorOptions card;
        std::string screen;
        std::uint8_t address; // 0: no address frame went out
        Statuses statuses;
        Statuses models;
        CardEnd end = CardEnd::Confirmed;
        int waitedMs = 0;
        const char* port = nullptr; // the card's
    };
    const Row rows[] = {
        {"model", {.model = "AB-1"}, "1", 1, {ok}, {"AB-1"}},
        {"full", {.queryReply = reply({1, 9, 9}, twelve)}, "1", 1, {ok}, {twelve}},
        {"longer", {.queryReply = reply({1, 9, 9}, twelve + "MN")}, "1", 1, {ok}, {twelve}},
        {"zero inside", {.queryReply = reply({1, 0, 0}, "AB\0CD"s)}, "1", 1, {ok}, {"AB"}},
        {"short", {.queryReply = Bytes{1}}, "1", 1, {ok}, {""}},
        {"gbk", {.queryReply = reply({1, 0, 0}, "\xC6\xC1")}, "1", 1, {ok}, {"\xC6\xC1"}},
        {"screen 80", {.screen = 80}, "80", 0x50, {ok}, {"A8-SIM"}},
        {"screen +5", {.screen = 5}, "+5", 5, {ok}, {"A8-SIM"}},
        // Only the panel's 1 to 80 go out: 257 cut to a byte would address screen 1.
        {"screen 0", {}, "0", 0, {text::kSendFailed}, {}, notOpened},
        {"screen 81", {.screen = 81}, "81", 0, {text::kSendFailed}, {}, notOpened},
        {"screen 257", {}, "257", 0, {text::kSendFailed}, {}, notOpened},
        {"silent", {.fault = SimFault::Silent}, "1", 1, noAnswer, {}, unanswered, 2000},
        {"no ack", {.fault = SimFault::NoAck}, "1", 1, noAnswer, {}, unanswered, 2000},
        {"no reply", {.fault = SimFault::NoFinal}, "1", 1, {failed}, {}, unanswered, 2000},
        {"screen abc", {}, "abc", 0, {text::kSendFailed}, {}, notOpened},
        {"no screen", {}, "", 0, {text::kSendFailed}, {}, notOpened},
        {"no port", {}, "1", 0, {text::kSendFailed}, {}, notOpened, 0, ""},
        {"no such port", {}, "1", 0, {text::kSendFailed}, {}, notOpened, 0, "/dev/cpuconfig-none"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimCard card(row.card);
        QueryRun q;
        q.run(row.port ? row.port : card.port(), row.screen);
        EXPECT_EQ(q.outcome.end, row.end);
        EXPECT_EQ(q.statuses, row.statuses);
        EXPECT_EQ(q.models, row.models);
        const auto rec = card.record();
        EXPECT_EQ(rec.address, (row.address ? Bytes{row.address, row.address} : Bytes{}));
        if (row.models.empty()) {
            EXPECT_EQ(q.clock.elapsed(), milliseconds(row.waitedMs));
        } else {
            EXPECT_EQ(rec.queryFrame, (Bytes{0x01, 0xCF, 0x01, 0x00, 0xAA}));
            EXPECT_TRUE(rec.lines.front().mark);
            EXPECT_TRUE(rec.lines.back().space);
        }
    }
}

// Hands out a different baud text at every read, as a panel changed mid-exchange would.
class ChangingBaud final : public SelectionProvider {
public:
    explicit ChangingBaud(std::string port) : m_port(std::move(port)) {}
    std::string portName() const override { return m_port; }
    std::string baudText() const override { return reads++ ? "57600" : "9600"; }
    std::string screenText() const override { return "1"; }
    mutable std::atomic<int> reads{0};

private:
    std::string m_port;
};

TEST(Query, baudIsReadAgainForTheDataPhase) {
    SimCard card;
    ChangingBaud sel(card.port());
    QueryRun q;
    q.run(sel);
    EXPECT_EQ(q.statuses, Statuses{text::kQueryOk});
    EXPECT_EQ(sel.reads, 2);
    const auto rec = card.record();
    EXPECT_EQ(rec.lines.front().baud, 9600u);
    EXPECT_EQ(rec.lines.back().baud, 57600u);
}

} // namespace
} // namespace cpuconfig::test
