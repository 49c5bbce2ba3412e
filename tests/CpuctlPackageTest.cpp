// cpuctl pack | info | unpack as a script sees them: exit codes, last line, files.
#include "common/Texts.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace cpuconfig;
using cpuconfig::test::runCommand;
using cpuconfig::test::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string cpuctl(const std::string& args) {
    return "'" + test::cpuctl() + "' " + args;
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

TEST(Cpuctl, packFailuresKeepTheOldPackage) {
    TempDir dir;
    const Bytes old = test::randomBytes(33, 1);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    test::writeBytes(dir / "empty.bin", {});
    test::writeBytes(dir / "fw.bin", {1, 2, 3});

    struct Case {
        std::string args;
        int exitCode;
    } cases[] = {
        {"pack empty.bin", 3},
        {"pack fw.bin --model 中", 2},
    };
    for (const auto& c : cases) {
        auto r = runCommand(kEnv2010 + cpuctl(c.args), dir.path());
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.err;
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old) << c.args;
        if (c.exitCode == 3) {
            EXPECT_EQ(r.lastLine(), text::kLoadFailed) << c.args;
            EXPECT_FALSE(r.err.empty()) << c.args;
        }
    }
}

TEST(Cpuctl, packIntoADirectoryWithoutWritePermission) {
    TempDir dir;
    const auto out = dir / "out";
    std::filesystem::create_directory(out);
    const Bytes old = test::randomBytes(20, 2);
    test::writeBytes(out / "RQ_CPU.cpu", old);
    test::writeBytes(dir / "fw.bin", {1, 2, 3});
    namespace fs = std::filesystem;
    fs::permissions(dir.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(dir / "fw.bin", fs::perms::others_read, fs::perm_options::add);
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    // Root writes anywhere: run as an ordinary user then.
    const std::string asUser =
        ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    auto r = runCommand(asUser + cpuctl("pack fw.bin -o out/RQ_CPU.cpu"), dir.path());
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.out.find(std::string(text::kCreateFileFailed) + "\n" + text::kLoadFailed),
              std::string::npos)
        << r.out;
    EXPECT_EQ(test::readBytes(out / "RQ_CPU.cpu"), old);
}

TEST(Cpuctl, infoAndUnpack) {
    TempDir dir;
    const Bytes image = test::randomBytes(70000, 3);
    test::writeBytes(dir / "fw.bin", image);
    ASSERT_EQ(runCommand(kEnv2010 + cpuctl("pack fw.bin --model T --card-version 3"), dir.path())
                  .exitCode,
              0);

    auto r = runCommand(cpuctl("info"), dir.path()); // ./RQ_CPU.cpu by default
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("T3"), std::string::npos);
    EXPECT_NE(r.out.find("2010年4月25日9时5分7秒"), std::string::npos);
    EXPECT_NE(r.out.find("7 (Sunday)"), std::string::npos);
    EXPECT_NE(r.out.find("70000 bytes"), std::string::npos);

    r = runCommand(cpuctl("info RQ_CPU.cpu --json"), dir.path());
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("\"model\":\"T3\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"imageSize\":70000"), std::string::npos);
    EXPECT_NE(r.out.find("\"endMarkOk\":true"), std::string::npos);
    EXPECT_NE(r.out.find("\"weekday\":7"), std::string::npos);

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
}
