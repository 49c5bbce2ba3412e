// cpuctl on a production line, as a script runs it: several ports at once, the exit-code
// rule when cards differ, Ctrl-C, progress as JSON, the long port list, and port faults in
// plain words (a device of another group, a port another process holds, a missing port).
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "common/Sha256.h"
#include "common/Texts.h"
#include "link/PortList.h"
#include "link/PosixSerialPort.h"

#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

// Another process that holds the port open and locked, as a terminal program does.
class HeldPort {
public:
    explicit HeldPort(const std::string& port) {
        int locked[2];
        EXPECT_EQ(::pipe(locked), 0);
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd >= 0 && ::flock(fd, LOCK_EX) == 0 && ::write(locked[1], "L", 1) == 1)
                ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
            ::_exit(1);
        }
        char c = 0;
        EXPECT_EQ(::read(locked[0], &c, 1), 1); // the lock is taken
        ::close(locked[0]);
        ::close(locked[1]);
    }
    ~HeldPort() {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
};

class CpuctlProduction : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", m_runtime.path().c_str(), 1);
        m_package = randomBytes(8 + 3000, 11);
        m_package[0] = 'A';
        m_package.back() = 0xAA;
        writeBytes(m_dir / "RQ_CPU.cpu", m_package);
    }
    CommandResult cpuctlIn(const std::string& args, const std::string& prefix = "") {
        return runCommand(prefix + "env XDG_RUNTIME_DIR='" + m_runtime.path().string() + "' '" +
                              cpuctl() + "' " + args,
                          m_dir.path());
    }
    // The --json report: the line before the status line.
    static Json report(const CommandResult& r) {
        std::string s = r.out.substr(0, r.out.rfind('\n', r.out.size() - 2));
        return Json::parse(s.substr(s.rfind('\n') + 1));
    }
    TempDir m_runtime;
    TempDir m_dir;
    std::vector<std::uint8_t> m_package;
};

SimulatorOptions lineSpeed(SimFault fault = SimFault::None) {
    SimulatorOptions o;
    o.baudLimit = true;
    o.fault = fault;
    return o;
}

TEST_F(CpuctlProduction, fourCardsAtOnceAndTheFirstFailureByPortOrderDecides) {
    SimCard a(lineSpeed()), b(lineSpeed()), c(lineSpeed()), d(lineSpeed());
    const std::string ports = " --port " + a.port() + " --port " + b.port() + " --port " +
                              c.port() + " --port " + d.port();
    auto r = cpuctlIn("upgrade --package RQ_CPU.cpu --json" + ports);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.lastLine(), text::kConfigOk);
    Json j = report(r);
    ASSERT_EQ(j["results"].size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        SimCard* card[] = {&a, &b, &c, &d};
        EXPECT_EQ(card[i]->record().transfer,
                  decltype(m_package)(m_package.begin() + 8, m_package.end()));
        EXPECT_EQ(j["results"][i]["port"], card[i]->port());
        EXPECT_EQ(j["results"][i]["ok"], true);
        EXPECT_EQ(j["results"][i]["bytesSent"], 3000);
    }
    EXPECT_EQ(j["exitCode"], 0);

    // The second card silent, the third port held by another program: the first failure
    // in port order (no acknowledge, 1) decides, the others go on.
    SimCard silent(lineSpeed(SimFault::Silent));
    HeldPort held(c.port());
    r = cpuctlIn("upgrade --json --port " + a.port() + " --port " + silent.port() + " --port " +
                 c.port() + " --port " + d.port());
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.lastLine(), text::kConfigFailed);
    j = report(r);
    const std::string holder = "in use by PID " + std::to_string(held.pid()) + " (sleep)";
    EXPECT_EQ(j["results"][1]["reason"], "no acknowledge from screen 1");
    EXPECT_EQ(j["results"][2]["exitCode"], 4);
    EXPECT_EQ(j["results"][2]["reason"], c.port() + ": " + holder);
    EXPECT_NE(r.err.find("cpuctl: " + c.port() + ": " + holder + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(j["results"][3]["ok"], true);
    EXPECT_EQ(j["exitCode"], 1);
}

TEST_F(CpuctlProduction, ctrlCFreesEveryPortAndTheStatusLineComesLast) {
    auto big = randomBytes(8 + 100000, 12);
    big[0] = 'A';
    writeBytes(m_dir / "RQ_CPU.cpu", big);
    std::vector<std::unique_ptr<SimCard>> cards;
    std::string ports;
    for (int i = 0; i < 4; ++i) {
        cards.push_back(std::make_unique<SimCard>(lineSpeed()));
        ports += " --port " + cards.back()->port();
    }
    auto r = cpuctlIn("upgrade --baud 9600" + ports, "timeout --preserve-status -s INT 1.5 ");
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_TRUE(r.out.ends_with(std::string("\n") + text::kSendFailed + "\n")) << r.out;
    for (const auto& card : cards) {
        EXPECT_FALSE(card->record().headerCommand.empty());
        EXPECT_TRUE(PosixSerialPort::open(card->port())) << card->port();
    }
}

TEST_F(CpuctlProduction, aPortNamedTwiceIsAUsageError) {
    SimCard card;
    fs::create_symlink(card.port(), m_dir / "by-id-link");
    for (const std::string& other : {card.port(), (m_dir / "by-id-link").string()}) {
        auto r = cpuctlIn("upgrade --port " + card.port() + " --port " + other);
        EXPECT_EQ(r.exitCode, 2) << other << r.err;
    }
    EXPECT_EQ(card.record().acknowledges, 0);
}

TEST_F(CpuctlProduction, progressAsJsonAtMostTenLinesASecondAndAlwaysTheLast) {
    auto bigger = randomBytes(8 + 16000, 13);
    writeBytes(m_dir / "RQ_CPU.cpu", bigger);
    SimCard card(lineSpeed());
    auto r = cpuctlIn("upgrade --json --progress json --port " + card.port());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<Json> lines;
    std::istringstream err(r.err);
    for (std::string line; std::getline(err, line);)
        lines.push_back(Json::parse(line));
    ASSERT_FALSE(lines.empty());
    const double seconds = report(r)["results"][0]["seconds"];
    EXPECT_LE(lines.size(), 10 * seconds + 2);
    EXPECT_EQ(lines.back(),
              (Json{{"port", card.port()}, {"screen", "1"}, {"sent", 16000}, {"total", 16000}}));
}

TEST_F(CpuctlProduction, portsLongDescribesTheMachinesPorts) {
    SimCard card;
    const auto link = card.sim().registerPort("LINE3");
    ASSERT_TRUE(link);
    const Json j = Json::parse(cpuctlIn("ports --long --json").out);
    std::vector<std::string> devices;
    for (const auto& p : j) {
        devices.push_back(p["device"]);
        EXPECT_TRUE(p.contains("byId") && p.contains("byPath") && p.contains("driver") &&
                    p.contains("vendorId") && p.contains("productId") && p.contains("serial") &&
                    p.contains("manufacturer") && p.contains("product"));
    }
    EXPECT_EQ(devices, Json::parse(cpuctlIn("ports --json").out).get<std::vector<std::string>>());
    EXPECT_EQ(j.back()["device"], link->string()); // /tmp sorts after /dev
    EXPECT_EQ(j.back()["model"], "A8-SIM");
    EXPECT_NE(cpuctlIn("ports --long").out.find("  simulated     screen 1, model A8-SIM"),
              std::string::npos);
}

// The port faults, each made for real; the last line stays the system's text.
TEST_F(CpuctlProduction, portFaultsInPlainWords) {
    SimCard card;
    const auto link = card.sim().registerPort("LINE1");
    ASSERT_TRUE(link);
    auto r = cpuctlIn("upgrade --port /dev/cpuconfig-none");
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.lastLine(), text::kSendFailed);
    EXPECT_NE(r.err.find("/dev/cpuconfig-none: no such port; ports now: "), std::string::npos);
    EXPECT_NE(r.err.find(link->string() + " (simulated card, screen 1)"), std::string::npos)
        << r.err;

    {
        HeldPort held(card.port());
        r = cpuctlIn("query --port " + card.port());
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_EQ(r.lastLine(), text::kSendFailed);
        EXPECT_NE(r.err.find("in use by PID " + std::to_string(held.pid()) + " (sleep)"),
                  std::string::npos)
            << r.err;
    }

    // The device belongs to a group the ordinary user is not in.
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving the device to another group and dropping to nobody needs root";
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(::chown(card.port().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(card.port().c_str(), 0660), 0);
    fs::permissions(m_dir.path(), fs::perms::all);
    fs::permissions(m_runtime.path(), fs::perms::all);
    r = cpuctlIn("query --port " + card.port(),
                 "setpriv --reuid=65534 --regid=65534 --clear-groups ");
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.lastLine(), text::kSendFailed);
    EXPECT_NE(r.err.find(card.port() + ": permission denied: the device belongs to group dialout; "
                                       "add yourself with: sudo usermod -aG dialout $USER"),
              std::string::npos)
        << r.err;
}

// The station as a script runs it: a bad package stops it before any port; a kill during an
// upgrade leaves a log of whole lines holding every finished card, with a torn line from an
// earlier crash set aside; Ctrl-C ends it with 130 and the status text last.
TEST_F(CpuctlProduction, stationLogsEveryCardThroughAKill) {
    SimCard fast, slow(lineSpeed());
    writeBytes(m_dir / "short.cpu", {'A', '1', '.', '7'});
    auto r = cpuctlIn("station --package short.cpu --port " + fast.port());
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.lastLine(), text::kNoPackage);
    EXPECT_EQ(fast.record().acknowledges, 0);

    auto big = randomBytes(8 + 200000, 14);
    big.back() = 0xAA;
    writeBytes(m_dir / "RQ_CPU.cpu", big);
    const std::string torn = R"({"time":"2026-01-01T00:00:00+0000","event":"card","outco)";
    writeBytes(m_dir / "st.jsonl", std::vector<std::uint8_t>(torn.begin(), torn.end()));
    r = runCommand(
        "( export XDG_RUNTIME_DIR='" + m_runtime.path().string() + "'; '" + cpuctl() +
            "' station --json --log st.jsonl --port " + fast.port() + " --port " + slow.port() +
            " >ev.jsonl & p=$!; for i in $(seq 400); do grep -q "
            "'event\":\"card' ev.jsonl && break; sleep 0.05; done; kill -9 $p; wait $p )",
        m_dir.path());
    EXPECT_EQ(r.exitCode, 128 + 9) << r.err;
    EXPECT_FALSE(slow.record().transfer.empty());
    std::vector<Json> cards;
    std::ifstream log(m_dir / "st.jsonl");
    std::string line;
    ASSERT_TRUE(std::getline(log, line));
    EXPECT_EQ(line, torn); // set aside on a line of its own
    while (std::getline(log, line))
        cards.push_back(Json::parse(line));
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0]["port"], fast.port());
    EXPECT_EQ(cards[0]["outcome"], "done");
    EXPECT_EQ(cards[0]["status"], text::kConfigOk);
    EXPECT_EQ(cards[0]["model"], "A8-SIM");
    EXPECT_EQ(cards[0]["bytes"], 200000);
    EXPECT_EQ(cards[0]["packageSha256"], sha256Hex(big));
    // Every event on stdout is one JSON object; the card shown is in the log, as its line.
    std::ifstream out(m_dir / "ev.jsonl");
    std::set<std::string> events;
    while (std::getline(out, line) && !line.empty()) {
        const Json e = Json::parse(line);
        events.insert(e["event"]);
        if (e["event"] == "card") {
            EXPECT_EQ(e, cards[0]);
        }
    }
    EXPECT_EQ(events, (std::set<std::string>{"card", "state"}));

    r = cpuctlIn("station --summary st.jsonl");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.lastLine().substr(0, 24), "cards: 1 done, 0 failed,");
    EXPECT_NE(r.err.find("1 lines set aside"), std::string::npos) << r.err;

    writeBytes(m_dir / "RQ_CPU.cpu", m_package);
    r = cpuctlIn("station --log st.jsonl --port " + fast.port(),
                 "timeout --preserve-status -s INT 3 ");
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_EQ(r.lastLine(), text::kConfigOk) << r.out;
    EXPECT_NE(r.out.find(fast.port() + "  done: " + text::kConfigOk), std::string::npos);
    EXPECT_TRUE(PosixSerialPort::open(fast.port()));
}

} // namespace
} // namespace cpuconfig::test
