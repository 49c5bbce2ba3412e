// The card query against the simulated card over real pseudo-terminals, on fake time.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "common/Texts.h"

#include <atomic>
#include <gtest/gtest.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Statuses = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;
using namespace std::string_literals;

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
    struct Row {
        const char* name;
        SimulatorOptions card;
        std::string screen;
        std::uint8_t address; // 0: no address frame went out
        Statuses statuses;
        Statuses models;
        int result = 0;
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
        {"screen 257", {}, "257", 1, {ok}, {"A8-SIM"}},
        {"silent", {.fault = SimFault::Silent}, "1", 1, noAnswer, {}, 0, 2000},
        {"no ack", {.fault = SimFault::NoAck}, "1", 1, noAnswer, {}, 0, 2000},
        {"no reply", {.fault = SimFault::NoFinal}, "1", 1, {failed}, {}, 0, 2000},
        {"screen abc", {}, "abc", 0, {text::kSendFailed}, {}, 1},
        {"no screen", {}, "", 0, {text::kSendFailed}, {}, 1},
        {"no port", {}, "1", 0, {text::kSendFailed}, {}, 1, 0, ""},
        {"no such port", {}, "1", 0, {text::kSendFailed}, {}, 1, 0, "/dev/cpuconfig-none"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimCard card(row.card);
        QueryRun q;
        q.run(row.port ? row.port : card.port(), row.screen);
        EXPECT_EQ(q.result, row.result);
        EXPECT_EQ(q.reporter.statuses, row.statuses);
        EXPECT_EQ(q.reporter.models, row.models);
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

TEST(Query, baudIsReadAgainForTheDataPhaseAndTheNextExchangeSetsUpAfresh) {
    SimCard card;
    ChangingBaud sel(card.port());
    QueryRun first, second;
    first.run(sel);
    EXPECT_EQ(first.reporter.statuses, Statuses{text::kQueryOk});
    EXPECT_EQ(sel.reads, 2);
    const auto rec = card.record();
    EXPECT_EQ(rec.lines.front().baud, 9600u);
    EXPECT_EQ(rec.lines.back().baud, 57600u);
    // The line is left with the settings of the exchange before; the next must still work.
    second.run(card.port());
    EXPECT_EQ(second.reporter.statuses, Statuses{text::kQueryOk});
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(100));
    rig.runOn(card.port());
    EXPECT_EQ(rig.window.sent().back(), msgResult(0));
}

} // namespace
} // namespace cpuconfig::test
