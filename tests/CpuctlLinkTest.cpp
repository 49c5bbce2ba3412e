// cpuctl as a process, run as a script runs it, against simulated cards on pseudo-terminals:
// each exit code with its last line and the --json document on the real stdout, signals,
// another user, a kill. The commands' rules run in process in CommandTest.
#include "LinkTestSupport.h"

#include "common/Sha256.h"
#include "common/Texts.h"

#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/file.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

using Json = nlohmann::json;
using namespace std::string_literals;
namespace fs = std::filesystem;

class CpuctlLink : public ::testing::Test, protected CpuctlFolders {
protected:
    CommandResult cpuctlIn(const std::string& args, const std::string& prefix = "") {
        return runCommand(prefix + "env XDG_RUNTIME_DIR='" + m_runtime.path().string() + "' '" +
                              cpuctl() + "' " + args,
                          m_dir.path());
    }
    // The --json report: the whole of stdout, one document (a parse error otherwise).
    static Json report(const CommandResult& r) { return Json::parse(r.out); }
};

// The name of a card killed before it could unregister goes to the next card, also when
// that one's pseudo-terminal gets the killed one's number.
TEST_F(CpuctlLink, simulatePrintsARegisteredPortAndUnregistersOnTerm) {
    const std::string port = (m_runtime.path() / "cpuconfig-ports" / "BENCH1").string();
    const std::string sim = "'" + cpuctl() + "' simulate --name BENCH1";
    const auto r = runCommand("export XDG_RUNTIME_DIR='" + m_runtime.path().string() + "'; " + sim +
                                  " >/dev/null 2>&1 & p=$!; for i in $(seq 100); do [ -L '" + port +
                                  "' ] && break; sleep 0.05; done; kill -9 $p; wait $p; " +
                                  "timeout --preserve-status -s TERM 1 " + sim,
                              m_dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), port);
    EXPECT_FALSE(fs::exists(fs::symlink_status(port)));
}

// Each exit code once, with the system's text last, or the --json report as the whole of
// stdout; a usage error is one line on stderr and nothing reaches a card.
TEST_F(CpuctlLink, exitCodesAndLastLines) {
    SimCard ok({.screen = 7, .model = "QX-9"}), nak({.fault = SimFault::Nak});
    struct Case {
        std::string args;
        int exit;
        std::string out;   // how the output ends
        std::string err{}; // a part of what stderr says
    };
    const Case cases[] = {
        {"upgrade --screen 7 --port " + ok.port(), 0, text::kConfigOk + "\n"s},
        {"upgrade --verbose --port " + nak.port(), 1, "配制cpu文件失败\n", // the crews' 配制
         "it said 00, not 01"},
        {"upgrade --port " + ok.port() + " --package nothing.cpu", 3, text::kNoPackage + "\n"s},
        {"upgrade --port /dev/cpuconfig-none", 4, text::kSendFailed + "\n"s},
        {"upgrade --port " + ok.port() + " --screens 0-3", 2, ""},
        {"query --screen 7 --port " + ok.port(), 0, "QX-9\n成功获取控制卡配置\n"},
        {"upgrade --json --port " + nak.port(), 1, "}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = cpuctlIn(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << r.err;
        EXPECT_TRUE(r.out.ends_with(c.out)) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.exit == 2) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        if (c.args.starts_with("upgrade --json")) {
            EXPECT_EQ(report(r)["exitCode"], c.exit);
        }
    }
    EXPECT_EQ(ok.record().upgradesCompleted, 1); // not for a usage error
    EXPECT_EQ(ok.record().queriesAnswered, 1);
}

// A hang-up (a dropped SSH session) stops as Ctrl-C does. The report still has every port
// and screen, the ones never begun marked as such.
TEST_F(CpuctlLink, interruptFreesEveryPortAndExits130) {
    package(100000);
    const SimulatorOptions paced{.baudLimit = true};
    SimCard a(paced), b(paced);
    auto r = cpuctlIn("upgrade --json --screens 1,2 --baud 9600 --port " + a.port() + " --port " +
                          b.port(),
                      "timeout --preserve-status -s HUP 1.5 ");
    EXPECT_EQ(r.exitCode, 130) << r.err;
    const Json j = report(r);
    EXPECT_EQ(j["status"], text::kSendFailed);
    ASSERT_EQ(j["results"].size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(j["results"][i]["begun"], i % 2 == 0) << i;
        EXPECT_EQ(j["results"][i]["exitCode"], 130) << i;
    }
    for (SimCard* c : {&a, &b}) {
        EXPECT_FALSE(c->record().headerCommand.empty());
        EXPECT_TRUE(portFree(c->port())) << c->port();
    }
}

// A device that belongs to a group the user is not in: the reason says how to get in.
TEST_F(CpuctlLink, permissionDeniedInPlainWords) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving the device to another group and dropping to nobody needs root";
    SimCard sim;
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(::chown(sim.port().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(sim.port().c_str(), 0660), 0);
    fs::permissions(m_dir.path(), fs::perms::all);
    fs::permissions(m_runtime.path(), fs::perms::all);
    // A copy the other user can reach: the build tree may lie in a private folder.
    fs::copy_file(cpuctl(), m_dir / "cpuctl");
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (runCommand(nobody + "test -x ./cpuctl", m_dir.path()).exitCode != 0)
        GTEST_SKIP() << m_dir.path() << " cannot be reached by an unprivileged user";
    const auto r = runCommand(nobody + "env XDG_RUNTIME_DIR='" + m_runtime.path().string() +
                                  "' ./cpuctl query --port " + sim.port(),
                              m_dir.path());
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
    SimCard fast, slow(SimulatorOptions{.baudLimit = true});
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
    const Json card = {{"port", fast.port()},       {"outcome", "done"},
                       {"status", text::kConfigOk}, {"model", "A8-SIM"},
                       {"bytes", 200000},           {"packageSha256", sha256Hex(big)}};
    for (const auto& [key, value] : card.items())
        EXPECT_EQ(cards[0][key], value) << key;
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
    EXPECT_NE(r.err.find("1 line set aside"), std::string::npos) << r.err;

    // Stopped once its card is done, by a signal that comes twice (as timeout(1) sends it to
    // a process and again to its group), it still ends with its status line.
    package(3000);
    r = runCommand("( export XDG_RUNTIME_DIR='" + m_runtime.path().string() + "'; '" + cpuctl() +
                       "' station --log st.jsonl --port " + fast.port() +
                       " >out.txt & p=$!; for i in $(seq 400); do grep -q 'done:' out.txt && "
                       "break; sleep 0.05; done; kill -INT $p; sleep 0.01; kill -INT $p; wait $p; "
                       "s=$?; cat out.txt; exit $s )",
                   m_dir.path());
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_EQ(r.lastLine(), text::kConfigOk) << r.out;
    EXPECT_NE(r.out.find(fast.port() + "  done: " + text::kConfigOk), std::string::npos);
    EXPECT_TRUE(portFree(fast.port()));
}

} // namespace
} // namespace cpuconfig::test
