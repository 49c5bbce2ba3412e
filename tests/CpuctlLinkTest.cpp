// cpuctl upgrade | query | scan | ports | simulate, run as a script would run them, against
// `cpuctl simulate` in a process of its own.
#include "TestSupport.h"

#include "link/PortList.h"

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

// A cpuctl process with its stdout on a pipe; killed and reaped at the end.
class Process {
public:
    explicit Process(std::vector<std::string> args, const std::filesystem::path& dir = ".") {
        int out[2];
        if (::pipe(out) != 0)
            throw std::runtime_error("pipe");
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            if (::chdir(dir.c_str()) != 0)
                ::_exit(127);
            std::vector<char*> argv;
            const std::string exe = cpuctl();
            argv.push_back(const_cast<char*>(exe.c_str()));
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        m_out = ::fdopen(out[0], "r");
    }
    ~Process() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out)
            std::fclose(m_out);
    }
    std::string readLine() {
        char buf[4096];
        if (!std::fgets(buf, sizeof buf, m_out))
            return {};
        std::string s = buf;
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        return s;
    }
    std::string readAll() {
        std::string all;
        char buf[4096];
        while (std::fgets(buf, sizeof buf, m_out))
            all += buf;
        return all;
    }
    int signalAndWait(int sig) {
        ::kill(m_pid, sig);
        return waitExit();
    }
    int waitExit() {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    FILE* m_out = nullptr;
};

class CpuctlLink : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", m_runtime.path().c_str(), 1);
        writeBytes(m_dir / "RQ_CPU.cpu", randomPackage());
    }
    static std::vector<std::uint8_t> randomPackage() {
        auto p = randomBytes(8 + 3000, 3);
        p[0] = 'A';
        p.back() = 0xAA;
        return p;
    }
    std::unique_ptr<Process> simulate(std::vector<std::string> args) {
        args.insert(args.begin(), "simulate");
        auto p = std::make_unique<Process>(args);
        m_port = p->readLine();
        return p;
    }
    CommandResult cpuctlIn(const std::string& args) {
        return runCommand("XDG_RUNTIME_DIR='" + m_runtime.path().string() + "' '" + cpuctl() +
                              "' " + args,
                          m_dir.path());
    }
    TempDir m_runtime;
    TempDir m_dir;
    std::string m_port;
};

TEST_F(CpuctlLink, simulatePrintsARegisteredPortAndUnregistersOnTerm) {
    auto sim = simulate({"--name", "BENCH1"});
    EXPECT_EQ(m_port, (m_runtime.path() / "cpuconfig-ports" / "BENCH1").string());
    auto ports = cpuctlIn("ports");
    EXPECT_NE(ports.out.find(m_port), std::string::npos);
    EXPECT_EQ(sim->signalAndWait(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(m_port)));
}

TEST_F(CpuctlLink, upgradeAndQueryReportTheSystemTexts) {
    auto sim = simulate({"--screen", "7", "--model", "QX-9"});
    auto up = cpuctlIn("upgrade --port " + m_port + " --screen 7");
    EXPECT_EQ(up.exitCode, 0) << up.err;
    EXPECT_EQ(up.lastLine(), "配置cpu文件成功");

    auto q = cpuctlIn("query --port " + m_port + " --screen 7");
    EXPECT_EQ(q.exitCode, 0) << q.err;
    EXPECT_EQ(q.out, "QX-9\n成功获取控制卡配置\n");
}

TEST_F(CpuctlLink, exitCodesTellWhatWentWrong) {
    auto sim = simulate({"--fault", "nak"});
    struct Case {
        std::string args;
        int exit;
        std::string last;
    };
    const std::vector<Case> cases = {
        {"upgrade --port " + m_port, 1, "配制cpu文件失败"},
        {"upgrade --port " + m_port + " --package nothing.cpu", 3, "请确定生成了升级文件"},
        {"upgrade --port /dev/cpuconfig-none", 4, "发送失败"},
        {"query --port /dev/cpuconfig-none", 4, "发送失败"},
        {"upgrade --port " + m_port + " --screens 0-3", 2, ""},
    };
    for (const auto& c : cases) {
        auto r = cpuctlIn(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.args << "\n" << r.err;
        if (!c.last.empty()) {
            EXPECT_EQ(r.lastLine(), c.last) << c.args;
        }
    }
}

TEST_F(CpuctlLink, severalScreensGiveASummaryAndAJsonReport) {
    auto sim = simulate({"--screen", "2"});
    auto r = cpuctlIn("upgrade --port " + m_port + " --screens 2,3 --json");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.lastLine(), "配制cpu文件失败");
    EXPECT_NE(r.out.find("screen 2: 配置cpu文件成功"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("screen 3: 配制cpu文件失败"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"screen\":\"2\",\"ok\":true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"screen\":\"3\",\"ok\":false,\"exitCode\":1"), std::string::npos);
}

TEST_F(CpuctlLink, scanListsTheCardsThatAnswer) {
    auto sim = simulate({"--screen", "4", "--model", "SCAN-ME"});
    auto r = cpuctlIn("scan --port " + m_port + " --screens 3-4");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "screen  model\n4       SCAN-ME\n成功获取控制卡配置\n");
}

TEST_F(CpuctlLink, interruptRunsTheClosingStepsAndExits130) {
    auto sim = simulate({"--baud-limit"});
    auto big = randomBytes(8 + 100000, 5);
    big[0] = 'A';
    writeBytes(m_dir / "RQ_CPU.cpu", big);
    Process up({"upgrade", "--port", m_port, "--baud", "9600"}, m_dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(up.signalAndWait(SIGINT), 130);
    // The port is free again at once.
    auto q = cpuctlIn("query --port " + m_port);
    EXPECT_EQ(q.exitCode, 0) << q.err;
}

} // namespace
} // namespace cpuconfig::test
