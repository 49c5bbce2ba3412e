// The firmware upgrade and the card query against the simulated card on an in-memory line,
// on fake time: what goes on the wire and what the card's answers and faults make of an
// exchange. No pseudo-terminal and no real time, so they run on every platform; the real
// ports have tests of their own.
#include "LinkTestSupport.h"

#include "common/Texts.h"
#include "sim/MemoryPort.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;
using Statuses = std::vector<std::string>;
using namespace std::string_literals;

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
        MemoryCard card;
        rig.ports = &card;
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
#ifndef _WIN32
        {"a FIFO named like the package", Fifo, SimFault::None, "", "1", noFile},
#endif
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
#ifndef _WIN32
        else if (c.package == Fifo)
            ASSERT_EQ(::mkfifo(rig.package.c_str(), 0600), 0);
#endif
        else if (c.package != None)
            writeBytes(rig.package, c.package == Empty        ? Bytes{}
                                    : c.package == HeaderOnly ? packageBytes(8)
                                    : c.package == NoImage    ? packageBytes(16)
                                                              : bytes);
        MemoryCard card(simWith([&](SimulatorOptions& o) { o.fault = c.fault; }));
        rig.ports = &card;
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
        MemoryCard card;
        rig.ports = &card;
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

TEST(Upgrade, stopDuringAPauseEndsItAsStoppedAndReleasesThePort) {
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(8 + 3 * 4096, 'T'));
    MemoryCard card;
    rig.ports = &card;
    std::stop_source stop;
    // A shutdown arrives just as the first pause begins.
    rig.clock.at(milliseconds(0), [&] { stop.request_stop(); });
    rig.runOn(card.port(), "115200", "1", stop.get_token());
    EXPECT_EQ(rig.outcome.end, CardEnd::Stopped);
    EXPECT_FALSE(card.inUse());
    // Nothing after the pause reaches the card.
    EXPECT_EQ(card.record().transfer.size(), 4096u);
}

// Only a first byte of 01 that follows the last byte answers the transfer, and an answer
// counts until two seconds of silence. Whatever the card says early is there before the last
// block goes out.
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
        MemoryCard card(row.card);
        rig.ports = &card;
        if (row.lateMs)
            rig.clock.at(milliseconds(row.lateMs), [&] { card.answer({0x01}); });
        rig.runOn(card.port());
        EXPECT_EQ(rig.ending(), row.ending);
        if (row.ending == ok) {
            EXPECT_EQ(card.record().transfer.size(), 128u * 1024);
        } else { // kept waiting until 2000 ms of silence
            EXPECT_EQ(rig.clock.sleeps(), std::vector<milliseconds>{milliseconds(2000)});
        }
        EXPECT_FALSE(card.inUse());
    }
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
        MemoryCard card(row.card);
        QueryRun q;
        q.ports = &card;
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
    MemoryCard card;
    ChangingBaud sel(card.port());
    QueryRun q;
    q.ports = &card;
    q.run(sel);
    EXPECT_EQ(q.statuses, Statuses{text::kQueryOk});
    EXPECT_EQ(sel.reads, 2);
    const auto rec = card.record();
    EXPECT_EQ(rec.lines.front().baud, 9600u);
    EXPECT_EQ(rec.lines.back().baud, 57600u);
}

} // namespace
} // namespace cpuconfig::test
