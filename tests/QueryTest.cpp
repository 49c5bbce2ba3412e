// The card query against the simulated card over real pseudo-terminals, on fake time.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "common/Texts.h"
#include "link/Upgrade.h"
#include "link/getParam.h"

#include <atomic>
#include <gtest/gtest.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Statuses = std::vector<std::string>;

struct QueryRun {
    FakeClock clock;
    RecordingReporter reporter;
    int result = -1;
    void run(const SelectionProvider& sel) {
        result = getParam(reporter, sel, {}, fakeTimeOptions(clock));
    }
    void run(const std::string& port, const std::string& screen = "1") {
        run(FixedSelection(port, "115200", screen));
    }
};

TEST(Query, asksWithTheFrameAndShowsTheModel) {
    SimCard card(simWith([](SimulatorOptions& o) { o.model = "AB-1"; }));
    QueryRun q;
    q.run(card.port());
    EXPECT_EQ(q.result, 0);
    EXPECT_EQ(q.reporter.statuses, Statuses{text::kQueryOk});
    EXPECT_EQ(q.reporter.models, Statuses{"AB-1"});
    const auto rec = card.record();
    EXPECT_EQ(rec.queryFrame, (std::vector<std::uint8_t>{0x01, 0xCF, 0x01, 0x00, 0xAA}));
    ASSERT_GE(rec.lines.size(), 2u);
    EXPECT_TRUE(rec.lines.front().mark);
    EXPECT_TRUE(rec.lines.back().space);
}

struct ReplyCase {
    const char* name;
    std::vector<std::uint8_t> reply;
    std::string model;
};
class QueryReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(QueryReply, modelIsTwelveBytesFromOffsetThreeCutAtAZero) {
    SimCard card(simWith([](SimulatorOptions& o) { o.queryReply = GetParam().reply; }));
    QueryRun q;
    q.run(card.port());
    EXPECT_EQ(q.reporter.statuses, Statuses{text::kQueryOk});
    EXPECT_EQ(q.reporter.models, Statuses{GetParam().model});
}

std::vector<std::uint8_t> reply(std::initializer_list<std::uint8_t> head, const std::string& tail) {
    std::vector<std::uint8_t> r(head);
    r.insert(r.end(), tail.begin(), tail.end());
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, QueryReply,
    ::testing::Values(ReplyCase{"full", reply({1, 9, 9}, "ABCDEFGHIJKL"), "ABCDEFGHIJKL"},
                      ReplyCase{"longer", reply({1, 9, 9}, "ABCDEFGHIJKLMNOP"), "ABCDEFGHIJKL"},
                      ReplyCase{"zero_inside", reply({1, 0, 0}, std::string("AB\0CD", 5)), "AB"},
                      ReplyCase{"short", reply({1}, ""), ""},
                      ReplyCase{"gbk", reply({1, 0, 0}, "\xC6\xC1"), "\xC6\xC1"}),
    [](const auto& p) { return std::string(p.param.name); });

struct ScreenCase {
    const char* text;
    int card;
    std::uint8_t address;
};
class QueryScreen : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(QueryScreen, addressBytesAreTheScreenNumber) {
    SimCard card(simWith([](SimulatorOptions& o) { o.screen = GetParam().card; }));
    QueryRun q;
    q.run(card.port(), GetParam().text);
    EXPECT_EQ(card.record().address,
              (std::vector<std::uint8_t>{GetParam().address, GetParam().address}));
    EXPECT_EQ(q.reporter.statuses, Statuses{text::kQueryOk});
}

INSTANTIATE_TEST_SUITE_P(Screens, QueryScreen,
                         ::testing::Values(ScreenCase{"1", 1, 0x01}, ScreenCase{"80", 80, 0x50},
                                           ScreenCase{"+5", 5, 0x05}, ScreenCase{"257", 1, 0x01}));

// Hands out a different baud text at every read, as a panel changed mid-exchange would.
class ChangingBaud final : public SelectionProvider {
public:
    ChangingBaud(std::string port, std::vector<std::string> bauds)
        : m_port(std::move(port)), m_bauds(std::move(bauds)) {}
    std::string portName() const override { return m_port; }
    std::string baudText() const override {
        const auto i = m_reads++;
        return m_bauds[std::min<std::size_t>(i, m_bauds.size() - 1)];
    }
    std::string screenText() const override { return "1"; }
    int reads() const { return m_reads; }

private:
    std::string m_port;
    std::vector<std::string> m_bauds;
    mutable std::atomic<int> m_reads{0};
};

TEST(Query, baudIsReadAgainForTheDataPhase) {
    SimCard card;
    ChangingBaud sel(card.port(), {"9600", "57600"});
    QueryRun q;
    q.run(sel);
    EXPECT_EQ(q.reporter.statuses, Statuses{text::kQueryOk});
    EXPECT_EQ(sel.reads(), 2);
    const auto rec = card.record();
    EXPECT_EQ(rec.lines.front().baud, 9600u);
    EXPECT_EQ(rec.lines.back().baud, 57600u);
}

struct FailCase {
    const char* name;
    SimFault fault;
    Statuses statuses;
};
class QueryFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(QueryFailure, endsWithTheFailureTextAfterTwoSecondsOfSilence) {
    SimCard card(simWith([](SimulatorOptions& o) { o.fault = GetParam().fault; }));
    QueryRun q;
    q.run(card.port());
    EXPECT_EQ(q.result, 0);
    EXPECT_EQ(q.reporter.statuses, GetParam().statuses);
    EXPECT_TRUE(q.reporter.models.empty());
    EXPECT_EQ(q.clock.elapsed(), milliseconds(2000));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, QueryFailure,
    ::testing::Values(FailCase{"silent", SimFault::Silent, {text::kCommFailed, text::kQueryFailed}},
                      FailCase{"no_ack", SimFault::NoAck, {text::kCommFailed, text::kQueryFailed}},
                      FailCase{"no_reply", SimFault::NoFinal, {text::kQueryFailed}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Query, setUpFailuresSayTheSendFailed) {
    SimCard card;
    for (const auto& [port, screen] :
         std::vector<std::pair<std::string, std::string>>{{"", "1"},
                                                          {"/dev/cpuconfig-no-such-port", "1"},
                                                          {card.port(), "abc"},
                                                          {card.port(), ""}}) {
        QueryRun q;
        q.run(port, screen);
        EXPECT_EQ(q.result, 1) << port << " " << screen;
        EXPECT_EQ(q.reporter.statuses, Statuses{text::kSendFailed}) << port << " " << screen;
    }
}

TEST(Query, exchangesFollowEachOtherOnTheSameLine) {
    // The line is left with mark parity by the previous exchange; the next must still set up.
    SimCard card;
    for (int i = 0; i < 2; ++i) {
        QueryRun q;
        q.run(card.port());
        EXPECT_EQ(q.reporter.statuses, Statuses{text::kQueryOk}) << i;
    }
    UpgradeRig rig;
    writeBytes(rig.package, packageBytes(100));
    rig.runOn(card.port());
    EXPECT_EQ(rig.window.sent().back(), msgResult(0));
}

} // namespace
} // namespace cpuconfig::test
