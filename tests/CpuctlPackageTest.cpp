// cpuctl pack | info | unpack as a script sees them: exit codes, last line, files; and files
// that are cut short, hidden or have no room: the system's own status text, the file-problem
// exit code, and an old package that stays as it was.
#include "common/Sha256.h"
#include "common/Texts.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <sys/mount.h>
#include <unistd.h>

using namespace cpuconfig;
using cpuconfig::test::runCommand;
using cpuconfig::test::TempDir;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

std::string cpuctl(const std::string& args) {
    return "'" + test::cpuctl() + "' " + args;
}

// Root reads and writes anywhere: file permissions only bite an ordinary user.
std::string asOrdinaryUser() {
    return ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
}

// 09:05:07 UTC on Sunday 25 April 2010.
const std::string kEnv2010 = "SOURCE_DATE_EPOCH=1272186307 TZ=UTC ";

} // namespace

TEST(Cpuctl, packIsReproducibleAndExact) {
    TempDir dir;
    test::writeBytes(dir / "fw.bin", {0x1F});
    auto r = runCommand(kEnv2010 + cpuctl("pack fw.bin"), dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.lastLine(), text::kLoadOk);
    EXPECT_NE(r.out.find(text::kPackageWritten), std::string::npos);
    EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"),
              (Bytes{0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0xF1, 0x07, 0x05, 0x09, 0x25,
                     0x04, 0x07, 0x10, 0xAA}));

    r = runCommand("SOURCE_DATE_EPOCH=1262303999 TZ=UTC " +
                       cpuctl("pack fw.bin -o late.cpu --model '' --card-version '' "
                              "--cpu-version 2"),
                   dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::readBytes(dir / "late.cpu"),
              (Bytes{0x00, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF1, 0x59, 0x59, 0x23, 0x31,
                     0x12, 0x04, 0x09, 0xAA}));
}

// As an ordinary user: the output folder "out" is read-only, "locked" cannot be looked into.
TEST(Cpuctl, packFailuresKeepTheOldPackage) {
    TempDir dir;
    const Bytes old = test::randomBytes(33, 1);
    fs::create_directory(dir / "out");
    fs::create_directory(dir / "locked");
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    test::writeBytes(dir / "out" / "RQ_CPU.cpu", old);
    test::writeBytes(dir / "empty.bin", {});
    test::writeBytes(dir / "fw.bin", {1, 2, 3});
    test::writeBytes(dir / "locked" / "fw.bin", test::randomBytes(5000, 6));
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(dir / "fw.bin", fs::perms::all);
    fs::permissions(dir / "out", static_cast<fs::perms>(0555));
    fs::permissions(dir / "locked", fs::perms::owner_write);
    const std::string failed = std::string(text::kLoadFailed) + "\n";
    const struct {
        std::string args;
        int exitCode;
        std::string out; // ends the output
        const char* err; // in the error output
    } cases[] = {
        {"pack empty.bin", 3, failed, "empty.bin"},
        {"pack locked/fw.bin", 3, failed, "fw.bin"},
        {"pack fw.bin -o out/RQ_CPU.cpu", 3, text::kCreateFileFailed + ("\n" + failed), "out"},
        {"pack fw.bin --model 中", 2, failed, "model"},
        // Texts are refused rather than cut to their field, an output that is the input too.
        {"pack fw.bin --model AB", 2, failed, "card model \"AB\": 2 characters"},
        {"pack fw.bin --cpu-version 1.10", 2, failed, "CPU version"},
        {"pack fw.bin -o fw.bin", 2, failed, "is the image itself"},
        {"unpack RQ_CPU.cpu -o RQ_CPU.cpu", 2, "", "is the package itself"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        auto r = runCommand(kEnv2010 + asOrdinaryUser() + cpuctl(c.args), dir.path());
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(r.out.ends_with(c.out)) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
        EXPECT_EQ(test::readBytes(dir / "out" / "RQ_CPU.cpu"), old);
        EXPECT_EQ(test::readBytes(dir / "fw.bin"), (Bytes{1, 2, 3}));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 5); // no temporary
    }
}

TEST(Cpuctl, infoAndUnpack) {
    TempDir dir;
    const Bytes image = test::randomBytes(70000, 3);
    test::writeBytes(dir / "fw.bin", image);
    auto r = runCommand(kEnv2010 + cpuctl("pack fw.bin --model T --card-version 3"), dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = runCommand(cpuctl("info"), dir.path()); // ./RQ_CPU.cpu by default
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* shown : {"T3", "2010年4月25日9时5分7秒", "7 (Sunday)", "70000 bytes"}) {
        EXPECT_NE(r.out.find(shown), std::string::npos) << shown;
    }
    r = runCommand(cpuctl("info RQ_CPU.cpu --json"), dir.path());
    ASSERT_EQ(r.exitCode, 0);
    for (const char* field :
         {"\"model\":\"T3\"", "\"imageSize\":70000", "\"endMarkOk\":true", "\"weekday\":7"}) {
        EXPECT_NE(r.out.find(field), std::string::npos) << field << "\n" << r.out;
    }

    // Two packages of the same image at different times have the same image digest.
    ASSERT_EQ(runCommand(cpuctl("pack fw.bin -o now.cpu"), dir.path()).exitCode, 0);
    auto digest = [&](const std::string& p) {
        auto out = runCommand(cpuctl("info --json " + p), dir.path()).out;
        const auto at = out.find("\"imageSha256\":\"");
        return at == std::string::npos ? std::string() : out.substr(at + 15, 64);
    };
    EXPECT_EQ(digest("RQ_CPU.cpu"), digest("now.cpu"));
    EXPECT_EQ(digest("RQ_CPU.cpu").size(), 64u);

    r = runCommand(cpuctl("unpack RQ_CPU.cpu -o back.bin"), dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(test::readBytes(dir / "back.bin"), image);

    // The whole file's digest, as the station logs the package it sent.
    const std::string sha = sha256Hex(test::readBytes(dir / "RQ_CPU.cpu"));
    EXPECT_NE(runCommand(cpuctl("info"), dir.path()).out.find("package sha256 " + sha),
              std::string::npos);
    EXPECT_TRUE(runCommand(cpuctl("info --json"), dir.path())
                    .out.find("\"packageSha256\":\"" + sha + "\"") != std::string::npos);

    // A package cut short is no package to unpack: exit 3, nothing written.
    fs::resize_file(dir / "RQ_CPU.cpu", 70000);
    r = runCommand(cpuctl("unpack RQ_CPU.cpu -o cut.bin"), dir.path());
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("end mark"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "cut.bin"));
}

// A pack stopped by a signal removes its temporary file, keeps the old package and says so
// in its status line (exit 130). One killed outright leaves its temporary behind, and the
// next pack into that folder removes it.
TEST(Cpuctl, interruptedPackLeavesNoTemporary) {
    TempDir dir;
    const Bytes old = test::randomBytes(33, 1);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    // Sparse: it costs no disk, but writing its package takes far longer than the signal.
    test::writeBytes(dir / "big.bin", {});
    fs::resize_file(dir / "big.bin", std::uint64_t{1} << 30);
    auto temporaries = [&] {
        int n = 0;
        for (const auto& e : fs::directory_iterator(dir.path()))
            n += e.path().extension() == ".tmp";
        return n;
    };
    for (const char* sig : {"INT", "TERM", "HUP", "KILL"}) {
        SCOPED_TRACE(sig);
        const auto r = runCommand(
            "( " + cpuctl("pack big.bin") + " & pid=$!; until ls .RQ_CPU.cpu.*.tmp >/dev/null " +
                "2>&1; do sleep 0.01; done; kill -" + sig + " $pid; wait $pid )",
            dir.path());
        const bool killed = std::string(sig) == "KILL";
        EXPECT_EQ(r.exitCode, killed ? 128 + 9 : 130) << r.err;
        if (!killed) {
            EXPECT_EQ(r.lastLine(), text::kLoadFailed);
            EXPECT_NE(r.err.find("stopped"), std::string::npos) << r.err;
        }
        EXPECT_EQ(temporaries(), killed ? 1 : 0);
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
    }
    test::writeBytes(dir / "fw.bin", {1});
    EXPECT_EQ(runCommand(cpuctl("pack fw.bin"), dir.path()).exitCode, 0);
    EXPECT_EQ(temporaries(), 0);
}

class CpuctlInfoLength : public ::testing::TestWithParam<int> {};

// A package cut to n bytes: header "N1.7", zeros, "2"; image byte; trailer ending AA.
TEST_P(CpuctlInfoLength, everyCutIsAFileProblemUntilThePackageIsWhole) {
    const Bytes whole = {0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0xF1,
                         0x44, 0x29, 0x03, 0x29, 0x04, 0x05, 0x10, 0xAA};
    const int n = GetParam();
    TempDir dir;
    test::writeBytes(dir / "RQ_CPU.cpu", Bytes(whole.begin(), whole.begin() + n));
    auto r = runCommand(cpuctl("info"), dir.path());
    EXPECT_EQ(r.exitCode, n < 17 ? 3 : 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("RQ_CPU.cpu") != std::string::npos, n < 17) << r.err; // names the file
    EXPECT_EQ(r.out.find("1 bytes") != std::string::npos, n == 17) << r.out;
    EXPECT_EQ(r.out.empty(), n < 16); // header and trailer are shown even when cut
    r = runCommand(cpuctl("info --json"), dir.path());
    EXPECT_EQ(r.exitCode, n < 17 ? 3 : 0);
}

INSTANTIATE_TEST_SUITE_P(Bytes, CpuctlInfoLength, ::testing::Range(0, 18));

// A real full disk under the package: a tmpfs too small for the new one. Needs root (CI
// runs as root); the builder tests cover the same path with an injected short write.
TEST(FileFault, fullFilesystemDuringPackKeepsTheOldPackage) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    TempDir dir;
    fs::create_directory(dir / "disk");
    ASSERT_EQ(::mount("tmpfs", (dir / "disk").c_str(), "tmpfs", 0, "size=64k"), 0)
        << "cannot mount tmpfs: " << std::strerror(errno);
    const Bytes old = test::randomBytes(30000, 7);
    test::writeBytes(dir / "disk" / "RQ_CPU.cpu", old);
    test::writeBytes(dir / "fw.bin", test::randomBytes(50000, 8));

    auto r = runCommand(cpuctl("pack fw.bin -o disk/RQ_CPU.cpu"), dir.path());
    EXPECT_EQ(r.exitCode, 3) << r.err;
    // The file could be created but not filled: no "written" text, only the failure.
    EXPECT_EQ(r.lastLine(), text::kLoadFailed);
    EXPECT_EQ(r.out.find(text::kPackageWritten), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(std::strerror(ENOSPC)), std::string::npos) << r.err;
    EXPECT_EQ(test::readBytes(dir / "disk" / "RQ_CPU.cpu"), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "disk"), {}), 1);

    // With room again the same command replaces it.
    test::writeBytes(dir / "fw.bin", test::randomBytes(20000, 9));
    r = runCommand(cpuctl("pack fw.bin -o disk/RQ_CPU.cpu"), dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(fs::file_size(dir / "disk" / "RQ_CPU.cpu"), 20016u);
    ::umount((dir / "disk").c_str());
}
