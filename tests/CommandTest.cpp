// cpuctl's commands run in this process on strings and a scratch folder: every option check,
// outcome, report and file rule of pack, info, unpack, upgrade, query, scan and station,
// against simulated cards on pseudo-terminals. What needs a process of its own (signals, the
// real streams, another user) is in the Cpuctl tests.
#include "LinkTestSupport.h"

#include "cli/CommandLine.h"
#include "common/Sha256.h"
#include "common/Texts.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

namespace cpuconfig::test {
namespace {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using namespace std::string_literals;
namespace fs = std::filesystem;

// A command line as a shell splits it: words apart by spaces, '' quotes (an empty word too).
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out{"cpuctl"};
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (c == ' ' && !quoted) {
            inWord = false;
            continue;
        }
        if (!inWord)
            out.emplace_back();
        inWord = true;
        if (c == '\'')
            quoted = !quoted;
        else
            out.back() += c;
    }
    return out;
}

class Command : public ::testing::Test, protected CpuctlFolders {
protected:
    CommandResult run(const std::string& args) {
        std::ostringstream out, err;
        cli::Context ctx(out, err);
        ctx.folder = m_dir.path();
        CommandResult r;
        r.exitCode = cli::CommandLine().run(words(args), ctx);
        r.out = out.str();
        r.err = err.str();
        return r;
    }
    // The --json report: the whole of stdout, one document (a parse error otherwise).
    Json report(const std::string& args) { return Json::parse(run(args + " --json").out); }
};

// Each option check and outcome once: the exit code and the end of what is printed, the
// system's text last. A usage error says what is wrong in one line on stderr, and nothing
// reaches a card: 263 and -249 cut to a byte would be screen 7.
TEST_F(Command, outcomesAndLastLines) {
    SimCard ok({.screen = 7, .model = "QX-9"}), silent({.fault = SimFault::Silent});
    const std::string notLogged = "  not logged: 配置cpu文件成功 (the log could not be written)\n"
                                  "cards: 0 done, 0 failed, 1 not logged, average 0.0 s per card\n"
                                  "配制cpu文件失败\n";
    fs::create_symlink(ok.port(), m_dir / "by-id-link");
    writeBytes(m_dir / "bin.jsonl", randomBytes(3000, 5));
    const std::string odd = R"({"event":"card","outcome":"done","seconds":2}
{"event":"card","outcome":"done","seconds":1e308}
{"event":"card","outcome":"failed","seconds":-5}
{"event":5})";
    writeBytes(m_dir / "odd.jsonl", Bytes(odd.begin(), odd.end()));
    auto cut = packageBytes(3008);
    cut.pop_back(); // no end mark: refused before the port is opened
    writeBytes(m_dir / "cut.cpu", cut);
    struct Case {
        std::string args;
        int exit;
        std::string out;     // how the output ends
        bool within = false; // or only a part of it
        std::string err{};   // a part of what stderr says
    };
    const Case cases[] = {
        {"upgrade --port " + ok.port() + " --package cut.cpu --screens 7-9", 3,
         "screen 9: "s + text::kNoPackage, true,
         "cut.cpu: does not end with the package's end mark"},
        {"upgrade --port " + ok.port() + " --screen=-249", 2, ""},
        {"upgrade --port ''", 2, ""},
        {"query --port " + ok.port() + " --screen 263", 2, "", false, "screens are 1 to 80"},
        {"query --port " + ok.port() + " --screen 7 --baud 960", 2, "", false,
         "the rates are 9600, 28800, 57600 and 115200"},
        {"query --port /dev/tty", 4, text::kSendFailed + "\n"s, false, "not a serial port"},
        {"scan --port " + ok.port() + " --screens 7-81", 2, ""},
        {"station --port " + ok.port() + " --screen 0x7", 2, ""},
        {"station --port " + ok.port() + " --poll nan", 2, ""},
        {"station --summary bin.jsonl", 3, "", false, "not a station log"},
        {"station --summary odd.jsonl", 0, "cards: 1 done, 0 failed, average 2.0 s per card\n",
         false, "3 lines set aside"},
        {"simulate --name ../evil", 2, ""},
        {"station --log /dev/full --screen 7 --port " + ok.port(), 3, notLogged},
        {"upgrade --port " + ok.port() + " --port " + (m_dir / "by-id-link").string(), 2, ""},
        {"upgrade --port " + ok.port() + " --screens 7,8", 1,
         "screen 7: 配置cpu文件成功\nscreen 8: 配制cpu文件失败\n", true},
        {"query --port " + silent.port(), 1, text::kQueryFailed + "\n"s},
        {"query --port /dev/cpuconfig-none", 4, text::kSendFailed + "\n"s},
        {"scan --port " + ok.port() + " --screens 6-7", 0,
         "screen  model\n7       QX-9\n成功获取控制卡配置\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << r.err;
        EXPECT_TRUE(c.within ? r.out.find(c.out) != std::string::npos : r.out.ends_with(c.out))
            << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.exit == 2) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
    EXPECT_EQ(ok.record().upgradesCompleted, 2); // not for a usage error
    EXPECT_EQ(ok.record().queriesAnswered, 3);
}

// With --json stdout is one JSON document (a station's: one object a line) that ends with
// the exit code, the system's status text and the reason, whatever the outcome; a screen
// is a number wherever it appears.
TEST_F(Command, jsonIsOneDocumentWithItsOutcome) {
    SimCard ok({.screen = 7}), nak({.fault = SimFault::Nak}), silent({.fault = SimFault::Silent});
    struct Case {
        std::string args;
        int exit;
        std::string status;
        std::string reason; // a part of it
    };
    const Case cases[] = {
        {"upgrade --screen 7 --port " + ok.port(), 0, text::kConfigOk, ""},
        {"upgrade --port " + nak.port(), 1, text::kConfigFailed,
         "the card did not confirm the transfer: it said 00, not 01"},
        {"query --port " + silent.port(), 1, text::kQueryFailed,
         "no acknowledge from screen 1: silent for 2000 ms"},
        {"scan --screens 6-7 --port " + ok.port(), 0, text::kQueryOk, ""},
        {"query --screen abc --port " + ok.port(), 2, "", "--screen: \"abc\" is not"},
        {"info missing.cpu", 3, "", "missing.cpu"},
        {"station --summary missing.jsonl", 3, "", "missing.jsonl: cannot be read"},
        {"station --log /dev/full --screen 7 --port " + ok.port(), 3, text::kConfigFailed, "log: "},
    };
    std::function<void(const Json&)> screensAreNumbers = [&](const Json& j) {
        for (const auto& [key, value] : j.items()) {
            EXPECT_TRUE(key != "screen" || value.is_number()) << j;
            if (value.is_structured())
                screensAreNumbers(value);
        }
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = run(c.args + " --json");
        Json j;
        std::istringstream lines(c.args.starts_with("station --log") ? r.out : "");
        for (std::string line; std::getline(lines, line);)
            screensAreNumbers(j = Json::parse(line)); // the station's stream: every line
        if (!c.args.starts_with("station --log"))
            j = Json::parse(r.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << r.out;
        screensAreNumbers(j);
        EXPECT_EQ(r.exitCode, c.exit) << r.err;
        EXPECT_EQ(j["exitCode"], c.exit);
        EXPECT_EQ(j["status"], c.status);
        EXPECT_NE(j["reason"].get<std::string>().find(c.reason), std::string::npos) << j["reason"];
    }
}

// Several ports at once: the first failure in port order decides the exit code, and the
// report says what became of each.
TEST_F(Command, severalPortsAndTheFirstFailureByPortOrderDecides) {
    const SimulatorOptions paced{.baudLimit = true};
    SimCard a(paced), silent({.fault = SimFault::Silent, .baudLimit = true}), c(paced);
    // Held open and locked, as a terminal program holds it.
    const int held = ::open(c.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const Json j =
        report("upgrade --port " + a.port() + " --port " + silent.port() + " --port " + c.port());
    EXPECT_EQ(j["status"], text::kConfigFailed);
    ASSERT_EQ(j["results"].size(), 3u);
    EXPECT_EQ(j["results"][0]["ok"], true);
    EXPECT_EQ(j["results"][0]["bytesSent"], 3000);
    EXPECT_EQ(j["results"][1]["reason"], "no acknowledge from screen 1: silent for 2000 ms");
    EXPECT_EQ(j["results"][2]["exitCode"], 4);
    EXPECT_EQ(j["results"][2]["reason"],
              c.port() + ": in use by PID " + std::to_string(::getpid()) + " (cli_tests)");
    EXPECT_EQ(j["exitCode"], 1);
    ::close(held);
}

TEST_F(Command, progressAsJsonAtMostTenLinesASecondAndAlwaysTheLast) {
    package(16000);
    SimCard sim({.baudLimit = true});
    auto r = run("upgrade --json --progress json --port " + sim.port());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<Json> lines;
    std::istringstream err(r.err);
    for (std::string line; std::getline(err, line);)
        lines.push_back(Json::parse(line));
    ASSERT_FALSE(lines.empty());
    const double seconds = Json::parse(r.out)["results"][0]["seconds"];
    EXPECT_LE(lines.size(), 10 * seconds + 2);
    EXPECT_EQ(lines.back(),
              (Json{{"port", sim.port()}, {"screen", 1}, {"sent", 16000}, {"total", 16000}}));
}

// pack at a fixed time and zone: 09:05:07 UTC on Sunday 25 April 2010.
class PackageCommand : public Command {
protected:
    void SetUp() override {
        Command::SetUp();
        ::setenv("SOURCE_DATE_EPOCH", "1272186307", 1);
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
};

TEST_F(PackageCommand, packIsReproducibleAndExact) {
    writeBytes(m_dir / "fw.bin", {0x1F});
    auto r = run("pack fw.bin");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.lastLine(), text::kLoadOk);
    EXPECT_NE(r.out.find(text::kPackageWritten), std::string::npos);
    EXPECT_EQ(readBytes(m_dir / "RQ_CPU.cpu"),
              (Bytes{0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0xF1, 0x07, 0x05, 0x09, 0x25,
                     0x04, 0x07, 0x10, 0xAA}));

    ::setenv("SOURCE_DATE_EPOCH", "1262303999", 1);
    r = run("pack fw.bin -o late.cpu --model '' --card-version '' --cpu-version 2");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(m_dir / "late.cpu"),
              (Bytes{0x00, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF1, 0x59, 0x59, 0x23, 0x31,
                     0x12, 0x04, 0x09, 0xAA}));
}

TEST_F(PackageCommand, infoAndUnpack) {
    const Bytes image = randomBytes(70000, 3);
    writeBytes(m_dir / "fw.bin", image);
    auto r = run("pack fw.bin --model T --card-version 3");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = run("info"); // ./RQ_CPU.cpu by default
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* shown : {"T3", "2010年4月25日9时5分7秒", "7 (Sunday)", "70000 bytes"}) {
        EXPECT_NE(r.out.find(shown), std::string::npos) << shown;
    }
    const Json j = report("info RQ_CPU.cpu");
    const Json shown = {{"model", "T3"},
                        {"imageSize", 70000},
                        {"endMarkOk", true},
                        {"weekday", 7},
                        {"exitCode", 0}};
    for (const auto& [key, value] : shown.items())
        EXPECT_EQ(j[key], value) << key;

    // Two packages of the same image at different times have the same image digest.
    ::setenv("SOURCE_DATE_EPOCH", "1", 1);
    ASSERT_EQ(run("pack fw.bin -o now.cpu").exitCode, 0);
    EXPECT_EQ(report("info now.cpu")["imageSha256"], j["imageSha256"]);
    EXPECT_EQ(j["imageSha256"].get<std::string>().size(), 64u);

    r = run("unpack RQ_CPU.cpu -o back.bin");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(m_dir / "back.bin"), image);

    // The whole file's digest, as the station logs the package it sent.
    const std::string sha = sha256Hex(readBytes(m_dir / "RQ_CPU.cpu"));
    EXPECT_NE(run("info").out.find("package sha256 " + sha), std::string::npos);
    EXPECT_EQ(j["packageSha256"], sha);

    // A package cut short is no package to unpack: exit 3, nothing written.
    fs::resize_file(m_dir / "RQ_CPU.cpu", 70000);
    r = run("unpack RQ_CPU.cpu -o cut.bin");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("end mark"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(m_dir / "cut.bin"));
}

// A package cut to n bytes: header "N1.7", zeros, "2"; image byte; trailer ending AA.
TEST_F(PackageCommand, everyCutIsAFileProblemUntilThePackageIsWhole) {
    const Bytes whole = {0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0xF1,
                         0x44, 0x29, 0x03, 0x29, 0x04, 0x05, 0x10, 0xAA};
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        SCOPED_TRACE(n);
        writeBytes(m_dir / "RQ_CPU.cpu", Bytes(whole.begin(), whole.begin() + n));
        auto r = run("info");
        EXPECT_EQ(r.exitCode, n < 17 ? 3 : 0) << r.out << r.err;
        EXPECT_EQ(r.err.find("RQ_CPU.cpu") != std::string::npos, n < 17) << r.err; // the file
        EXPECT_EQ(r.out.find("1 bytes") != std::string::npos, n == 17) << r.out;
        EXPECT_EQ(r.out.empty(), n < 16); // header and trailer are shown even when cut
        EXPECT_EQ(run("info --json").exitCode, n < 17 ? 3 : 0);
    }
}

// A real full disk under the package: a tmpfs too small for the new one. Needs root (CI
// runs as root); the builder tests cover the same path with an injected short write.
TEST_F(PackageCommand, fullFilesystemDuringPackKeepsTheOldPackage) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    fs::create_directory(m_dir / "disk");
    ASSERT_EQ(::mount("tmpfs", (m_dir / "disk").c_str(), "tmpfs", 0, "size=64k"), 0)
        << "cannot mount tmpfs: " << std::strerror(errno);
    const Bytes old = randomBytes(30000, 7);
    writeBytes(m_dir / "disk" / "RQ_CPU.cpu", old);
    writeBytes(m_dir / "fw.bin", randomBytes(50000, 8));

    auto r = run("pack fw.bin -o disk/RQ_CPU.cpu");
    EXPECT_EQ(r.exitCode, 3) << r.err;
    // The file could be created but not filled: no "written" text, only the failure.
    EXPECT_EQ(r.lastLine(), text::kLoadFailed);
    EXPECT_EQ(r.out.find(text::kPackageWritten), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(std::strerror(ENOSPC)), std::string::npos) << r.err;
    EXPECT_EQ(readBytes(m_dir / "disk" / "RQ_CPU.cpu"), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "disk"), {}), 1);

    // With room again the same command replaces it.
    writeBytes(m_dir / "fw.bin", randomBytes(20000, 9));
    r = run("pack fw.bin -o disk/RQ_CPU.cpu");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(fs::file_size(m_dir / "disk" / "RQ_CPU.cpu"), 20016u);
    ::umount((m_dir / "disk").c_str());
}

} // namespace
} // namespace cpuconfig::test
