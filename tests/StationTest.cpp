// The station on simulated cards: a card is upgraded once and must be taken away before the
// port takes the next; a failed card is retried once with again; a missing port is only
// waited for; a package changed between cards is checked and taken for the next one only;
// a stop frees every port.
#include "LinkTestSupport.h"

#include "common/Sha256.h"
#include "common/Texts.h"
#include "link/PortList.h"
#include "link/Station.h"

#include <gtest/gtest.h>

namespace cpuconfig::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The pauses between polls: each one counted, and a moment of real time so that a waiting
// port does not spin.
class PollClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    bool sleepFor(Ms, std::stop_token stop) override {
        ++polls;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return !stop.stop_requested();
    }
    std::atomic<int> polls{0};
};

// What the station said: each port's states and the finished cards.
class Heard final : public StationReporter {
public:
    void portState(std::size_t i, PortState s, const std::string&) override {
        add(states, std::pair{i, s});
    }
    bool cardFinished(const StationCard& c) override {
        add(cards, c);
        return recorded;
    }
    void packageChanged(const PackageChange& p) override { add(packages, p); }
    // Waits (20 s at most, then fails) until pred holds.
    void waitFor(const std::function<bool()>& pred, const char* what) {
        for (int i = 0; i < 10000; ++i) {
            if (std::lock_guard lock(m_mutex); pred())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ADD_FAILURE() << "never happened: " << what;
    }
    bool saw(std::size_t i, PortState s) const {
        return std::find(states.begin(), states.end(), std::pair{i, s}) != states.end();
    }
    std::size_t cardsOn(std::size_t i) const {
        return std::count_if(cards.begin(), cards.end(),
                             [&](const StationCard& c) { return c.portIndex == i; });
    }
    void clear(bool andCards) {
        std::lock_guard lock(m_mutex);
        states.clear();
        if (andCards)
            cards.clear();
    }
    std::vector<std::pair<std::size_t, PortState>> states;
    std::vector<StationCard> cards;
    std::vector<PackageChange> packages;
    bool recorded = true; // false: as a log that cannot be written

private:
    template <class T> void add(std::vector<T>& to, const T& item) {
        std::lock_guard lock(m_mutex);
        to.push_back(item);
    }
    std::mutex m_mutex;
};

class StationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", m_runtime.path().c_str(), 1);
        writeBytes(m_package, m_bytes);
    }
    void start(std::vector<std::string> ports, bool again = false) {
        StationOptions o;
        o.ports = std::move(ports);
        o.package = m_package;
        o.again = again;
        o.pollClock = &m_polls;
        o.link = fakeTimeUpgrade(m_clock, m_package);
        o.workFolder = m_dir / "work";
        auto s = Station::create(o, m_heard);
        ASSERT_TRUE(s) << s.error().message;
        m_station = std::move(*s);
        m_ended = false;
        m_run = std::jthread([this](std::stop_token stop) {
            m_station->run(stop);
            m_ended = true;
        });
    }
    // Lets the station poll a few more times, then stops it.
    void settleAndStop() {
        const int from = m_polls.polls;
        m_heard.waitFor([&] { return m_polls.polls > from + 8; }, "polls");
        m_run.request_stop();
        m_run.join();
        m_station.reset();
    }
    static Bytes body(const Bytes& package) { return Bytes(package.begin() + 8, package.end()); }

    TempDir m_runtime, m_dir;
    std::filesystem::path m_package = m_dir / "RQ_CPU.cpu";
    Bytes m_bytes = packageBytes(8 + 3000);
    FakeClock m_clock;
    PollClock m_polls;
    Heard m_heard;
    std::unique_ptr<Station> m_station;
    std::jthread m_run;
    std::atomic<bool> m_ended{false}; // run() returned
};

// A card is upgraded once, also when one question that watches it goes unanswered (line
// noise), and must answer after its upgrade to count as done; a failed one is tried once
// more only with again.
TEST_F(StationTest, aCardIsUpgradedOnceAndAFailedOneOnceMoreOnlyWithAgain) {
    struct Row {
        const char* name;
        bool answersAtEnd;
        bool again;
        std::function<bool(int)> hears; // the address frames it answers: 1 finds it, 2 upgrades
        std::vector<std::string> cards; // "attempt ok status" of each card logged
    };
    const std::string ok = text::kConfigOk, failed = text::kConfigFailed;
    const auto always = [](int) { return true; };
    const Row rows[] = {
        {"confirms", true, false, always, {"1 1 " + ok}},
        {"confirms, again", true, true, always, {"1 1 " + ok}},
        {"silent at the end", false, false, always, {"1 0 " + failed}},
        {"silent at the end, again", false, true, always, {"1 0 " + failed, "2 0 " + failed}},
        {"one watch question lost", true, false, [](int n) { return n != 4; }, {"1 1 " + ok}},
        {"quiet after it confirmed",
         true,
         false,
         [](int n) { return n <= 2; },
         {"1 0 " + std::string(text::kQueryFailed)}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        m_heard.clear(true);
        SimulatorOptions so;
        if (!row.answersAtEnd)
            so.finalAnswer = Bytes{}; // answers the query, but never the transfer
        so.hears = row.hears;
        SimCard card(so);
        ASSERT_NO_FATAL_FAILURE(start({card.port()}, row.again));
        m_heard.waitFor(
            [&] {
                return m_heard.cards.size() == row.cards.size() &&
                       (m_heard.saw(0, PortState::StillConnected) || !row.hears(3));
            },
            "upgraded, and still there if it answers");
        settleAndStop();
        std::vector<std::string> got;
        for (const auto& c : m_heard.cards)
            got.push_back(std::to_string(c.attempt) + " " + std::to_string(c.ok) + " " + c.status);
        EXPECT_EQ(got, row.cards);
        EXPECT_EQ(card.record().transfer, body(m_bytes));
        EXPECT_EQ(card.record().upgradesCompleted, static_cast<int>(row.cards.size()));
        ASSERT_FALSE(m_heard.cards.empty());
        EXPECT_EQ(m_heard.cards[0].model, "A8-SIM");
        EXPECT_EQ(m_heard.cards[0].packageSha256, sha256Hex(m_bytes));
    }
}

// A card is shown only once it is recorded: one that cannot be is shown as not logged, never
// as done, and every port stops.
TEST_F(StationTest, aCardThatCannotBeRecordedStopsTheStation) {
    m_heard.recorded = false;
    SimCard card;
    ASSERT_NO_FATAL_FAILURE(start({card.port(), "/dev/cpuconfig-none"}));
    m_heard.waitFor([&] { return m_ended.load(); }, "the station stopped by itself");
    EXPECT_TRUE(m_heard.saw(0, PortState::NotLogged));
    EXPECT_FALSE(m_heard.saw(0, PortState::Done));
    EXPECT_EQ(m_heard.cards.size(), 1u);
    m_run.join();
    EXPECT_TRUE(portFree(card.port()));
}

TEST_F(StationTest, cardsComeAndGoOnAPortThatComesAndGoesAndEachGetsThePackageOfItsTime) {
    SimCard stays;
    const std::string line = (registeredPortsFolder() / "BENCH1").string();
    ASSERT_NO_FATAL_FAILURE(start({line, stays.port()}));
    m_heard.waitFor(
        [&] { return m_heard.cardsOn(1) == 1 && m_heard.saw(0, PortState::PortMissing); },
        "the other port served while this one is missing");

    // Three cards in turn on the same name; the package changes between them.
    const Bytes second = packageBytes(8 + 2000, 'T');
    Bytes broken = packageBytes(8 + 2000);
    broken.back() = 0x55; // no end mark
    const Bytes* written[] = {&m_bytes, &second, &broken};
    const Bytes* expected[] = {&m_bytes, &second, &second};
    for (std::size_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        writeBytes(m_package, *written[n]);
        auto card = std::make_unique<SimCard>();
        ASSERT_TRUE(card->sim().registerPort("BENCH1"));
        m_heard.waitFor([&] { return m_heard.cardsOn(0) == n + 1; }, "card upgraded");
        EXPECT_EQ(card->record().transfer, body(*expected[n]));
        EXPECT_EQ(card->record().upgradesCompleted, 1);
        m_heard.waitFor([&] { return m_heard.saw(0, PortState::StillConnected); }, "stays");
        m_heard.clear(false);
        card.reset(); // taken away
        m_heard.waitFor([&] { return m_heard.saw(0, PortState::PortMissing); }, "port gone");
    }
    ASSERT_EQ(m_heard.packages.size(), 2u);
    EXPECT_TRUE(m_heard.packages[0].taken);
    EXPECT_EQ(m_heard.packages[0].sha256, sha256Hex(second));
    EXPECT_FALSE(m_heard.packages[1].taken);
    EXPECT_NE(m_heard.packages[1].reason.find("end mark"), std::string::npos);
    EXPECT_EQ(m_heard.cards.back().packageSha256, sha256Hex(second));

    settleAndStop();
    EXPECT_EQ(m_heard.cardsOn(1), 1u); // the card left connected was never upgraded again
    EXPECT_EQ(stays.record().upgradesCompleted, 1);
    EXPECT_TRUE(portFree(stays.port()));
}

TEST_F(StationTest, aMissingOrShortPackageStopsTheStationBeforeAnyPort) {
    Bytes cut = packageBytes(8 + 100);
    cut.back() = 0; // no end mark: cut short, or still being written
    for (const Bytes& b : {Bytes{}, Bytes(16, 0xAA), cut}) {
        writeBytes(m_package, b);
        if (b.empty())
            std::filesystem::remove(m_package);
        StationOptions o;
        o.package = m_package;
        EXPECT_FALSE(Station::create(o, m_heard)) << b.size();
    }
}

} // namespace
} // namespace cpuconfig::test
