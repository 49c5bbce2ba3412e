// cpuctl upgrade | query | scan | ports | simulate, run as a script runs them: the exit code,
// the last line and the JSON of each command, against simulated cards on pseudo-terminals.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "common/Sha256.h"
#include "common/Texts.h"
#include "link/PosixSerialPort.h"

#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <signal.h>
#include <sys/file.h>
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
    std::string holder() const { return "in use by PID " + std::to_string(m_pid) + " (sleep)"; }

private:
    pid_t m_pid;
};

SimulatorOptions card(SimFault fault = SimFault::None, bool lineSpeed = false, int screen = 1,
                      std::string model = "A8-SIM") {
    SimulatorOptions o;
    o.fault = fault;
    o.baudLimit = lineSpeed;
    o.screen = screen;
    o.model = std::move(model);
    return o;
}

class CpuctlLink : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", m_runtime.path().c_str(), 1);
        package(3000);
    }
    void package(std::size_t body) {
        m_package = randomBytes(8 + body, 11);
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

TEST_F(CpuctlLink, simulatePrintsARegisteredPortAndUnregistersOnTerm) {
    const auto r = cpuctlIn("simulate --name BENCH1", "timeout --preserve-status -s TERM 1 ");
    const std::string port = (m_runtime.path() / "cpuconfig-ports" / "BENCH1").string();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), port);
    EXPECT_FALSE(fs::exists(fs::symlink_status(port)));
}

// Each outcome once: the exit code and the system's text as the last line.
TEST_F(CpuctlLink, exitCodesAndLastLines) {
    SimCard ok(card(SimFault::None, false, 7, "QX-9")), nak(card(SimFault::Nak)),
        silent(card(SimFault::Silent));
    struct Case {
        std::string args;
        int exit;
        std::string out; // the last line, or the whole output when it ends in a newline
    };
    const Case cases[] = {
        {"upgrade --screen 7 --port " + ok.port(), 0, text::kConfigOk},
        {"upgrade --port " + nak.port(), 1, text::kConfigFailed},
        {"upgrade --port " + ok.port() + " --package nothing.cpu", 3, text::kNoPackage},
        {"upgrade --port /dev/cpuconfig-none", 4, text::kSendFailed},
        {"upgrade --port " + ok.port() + " --screens 0-3", 2, ""},
        {"query --screen 7 --port " + ok.port(), 0, "QX-9\n成功获取控制卡配置\n"},
        {"query --port " + silent.port(), 1, text::kQueryFailed},
        {"query --port /dev/cpuconfig-none", 4, text::kSendFailed},
        {"scan --port " + ok.port() + " --screens 6-7", 0,
         "screen  model\n7       QX-9\n成功获取控制卡配置\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = cpuctlIn(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << r.err;
        if (c.out.ends_with('\n')) {
            EXPECT_EQ(r.out, c.out);
        } else if (!c.out.empty()) {
            EXPECT_EQ(r.lastLine(), c.out);
        }
    }
}

TEST_F(CpuctlLink, severalScreensGiveASummaryAndAJsonReport) {
    SimCard sim(card(SimFault::None, false, 2));
    auto r = cpuctlIn("upgrade --port " + sim.port() + " --screens 2,3 --json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lastLine(), text::kConfigFailed);
    EXPECT_NE(r.out.find("screen 2: 配置cpu文件成功"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("screen 3: 配制cpu文件失败"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"screen\":\"2\",\"ok\":true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"screen\":\"3\",\"ok\":false,\"exitCode\":1"), std::string::npos);
}

// Several ports at once: each card gets the whole package, and the first failure in port
// order decides the exit code while the others go on.
TEST_F(CpuctlLink, severalPortsAndTheFirstFailureByPortOrderDecides) {
    SimCard a(card({}, true)), silent(card(SimFault::Silent, true)), c(card({}, true)),
        d(card({}, true));
    HeldPort held(c.port());
    auto r = cpuctlIn("upgrade --json --port " + a.port() + " --port " + silent.port() +
                      " --port " + c.port() + " --port " + d.port());
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.lastLine(), text::kConfigFailed);
    const Json j = report(r);
    ASSERT_EQ(j["results"].size(), 4u);
    EXPECT_EQ(j["results"][0]["ok"], true);
    EXPECT_EQ(j["results"][0]["bytesSent"], 3000);
    EXPECT_EQ(a.record().transfer, decltype(m_package)(m_package.begin() + 8, m_package.end()));
    EXPECT_EQ(j["results"][1]["reason"], "no acknowledge from screen 1");
    EXPECT_EQ(j["results"][2]["exitCode"], 4);
    EXPECT_EQ(j["results"][2]["reason"], c.port() + ": " + held.holder());
    EXPECT_EQ(j["results"][3]["ok"], true);
    EXPECT_EQ(j["exitCode"], 1);
}

TEST_F(CpuctlLink, interruptFreesEveryPortAndExits130) {
    package(100000);
    std::vector<std::unique_ptr<SimCard>> cards;
    std::string ports;
    for (int i = 0; i < 2; ++i) {
        cards.push_back(std::make_unique<SimCard>(card({}, true)));
        ports += " --port " + cards.back()->port();
    }
    auto r = cpuctlIn("upgrade --baud 9600" + ports, "timeout --preserve-status -s INT 1.5 ");
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_TRUE(r.out.ends_with(std::string("\n") + text::kSendFailed + "\n")) << r.out;
    for (const auto& c : cards) {
        EXPECT_FALSE(c->record().headerCommand.empty());
        EXPECT_TRUE(PosixSerialPort::open(c->port())) << c->port();
    }
}

TEST_F(CpuctlLink, aPortNamedTwiceIsAUsageError) {
    SimCard sim;
    fs::create_symlink(sim.port(), m_dir / "by-id-link");
    auto r =
        cpuctlIn("upgrade --port " + sim.port() + " --port " + (m_dir / "by-id-link").string());
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(sim.record().acknowledges, 0);
}

TEST_F(CpuctlLink, progressAsJsonAtMostTenLinesASecondAndAlwaysTheLast) {
    package(16000);
    SimCard sim(card({}, true));
    auto r = cpuctlIn("upgrade --json --progress json --port " + sim.port());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<Json> lines;
    std::istringstream err(r.err);
    for (std::string line; std::getline(err, line);)
        lines.push_back(Json::parse(line));
    ASSERT_FALSE(lines.empty());
    const double seconds = report(r)["results"][0]["seconds"];
    EXPECT_LE(lines.size(), 10 * seconds + 2);
    EXPECT_EQ(lines.back(),
              (Json{{"port", sim.port()}, {"screen", "1"}, {"sent", 16000}, {"total", 16000}}));
}

// The port faults, each made for real; the last line stays the system's text.
TEST_F(CpuctlLink, portFaultsInPlainWords) {
    SimCard sim;
    const auto link = sim.sim().registerPort("LINE1");
    ASSERT_TRUE(link);
    auto r = cpuctlIn("upgrade --port /dev/cpuconfig-none");
    EXPECT_NE(r.err.find("/dev/cpuconfig-none: no such port; ports now: "), std::string::npos);
    EXPECT_NE(r.err.find(link->string() + " (simulated card, screen 1)"), std::string::npos)
        << r.err;
    {
        HeldPort held(sim.port());
        r = cpuctlIn("query --port " + sim.port());
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_NE(r.err.find(held.holder()), std::string::npos) << r.err;
    }

    // The device belongs to a group the ordinary user is not in.
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving the device to another group and dropping to nobody needs root";
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(::chown(sim.port().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(sim.port().c_str(), 0660), 0);
    fs::permissions(m_dir.path(), fs::perms::all);
    fs::permissions(m_runtime.path(), fs::perms::all);
    r = cpuctlIn("query --port " + sim.port(),
                 "setpriv --reuid=65534 --regid=65534 --clear-groups ");
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.lastLine(), text::kSendFailed);
    EXPECT_NE(r.err.find(sim.port() + ": permission denied: the device belongs to group dialout; "
                                      "add yourself with: sudo usermod -aG dialout $USER"),
              std::string::npos)
        << r.err;
}

// The station as a script runs it: a bad package stops it before any port; a kill during an
// upgrade leaves a log of whole lines holding every finished card, with a torn line from an
// earlier crash set aside; Ctrl-C ends it with 130 and the status text last.
TEST_F(CpuctlLink, stationLogsEveryCardThroughAKill) {
    SimCard fast, slow(card({}, true));
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
