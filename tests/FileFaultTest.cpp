// Files that are cut short, hidden or have no room, as cpuctl meets them: the system's own
// status text, the file-problem exit code, and an old package that stays as it was.
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

// A package cut to n bytes: header "N1.7", zeros, "2"; image bytes; trailer ending AA.
Bytes packageCutTo(std::size_t n) {
    const Bytes whole = {0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0xF1,
                         0x44, 0x29, 0x03, 0x29, 0x04, 0x05, 0x10, 0xAA};
    return Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
}

class CpuctlInfoLength : public ::testing::TestWithParam<int> {};

TEST_P(CpuctlInfoLength, everyCutIsAFileProblemUntilThePackageIsWhole) {
    const auto n = static_cast<std::size_t>(GetParam());
    TempDir dir;
    test::writeBytes(dir / "RQ_CPU.cpu", packageCutTo(n));
    auto r = runCommand(cpuctl("info"), dir.path());
    if (n < 17) {
        EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
        EXPECT_NE(r.err.find("RQ_CPU.cpu"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    } else {
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("1 bytes"), std::string::npos) << r.out;
    }
    r = runCommand(cpuctl("info --json"), dir.path());
    EXPECT_EQ(r.exitCode, n < 17 ? 3 : 0);
}

INSTANTIATE_TEST_SUITE_P(Bytes, CpuctlInfoLength, ::testing::Range(0, 18));

TEST(FileFault, imageInADirectoryWithoutReadPermission) {
    TempDir dir;
    const Bytes old = test::randomBytes(40, 5);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    fs::create_directory(dir / "locked");
    test::writeBytes(dir / "locked" / "fw.bin", test::randomBytes(5000, 6));
    // The ordinary user may write the output but cannot look into the image's folder.
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(dir / "RQ_CPU.cpu", fs::perms::all);
    fs::permissions(dir / "locked", fs::perms::owner_write);

    auto r = runCommand(asOrdinaryUser() + cpuctl("pack locked/fw.bin"), dir.path());
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_EQ(r.lastLine(), text::kLoadFailed);
    EXPECT_NE(r.err.find("fw.bin"), std::string::npos) << r.err;
    EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 2); // no temporary left behind
}

// A real full disk under the package: a tmpfs too small for the new one. Needs root (CI
// runs as root); the builder tests cover the same path with an injected short write.
TEST(FileFault, fullFilesystemDuringPackKeepsTheOldPackage) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    TempDir dir;
    TempDir images;
    fs::create_directory(dir / "disk");
    ASSERT_EQ(::mount("tmpfs", (dir / "disk").c_str(), "tmpfs", 0, "size=64k"), 0)
        << "cannot mount tmpfs: " << std::strerror(errno);
    const Bytes old = test::randomBytes(30000, 7);
    test::writeBytes(dir / "disk" / "RQ_CPU.cpu", old);
    test::writeBytes(images / "fw.bin", test::randomBytes(50000, 8));

    auto r = runCommand(cpuctl("pack '" + (images / "fw.bin").string() + "' -o disk/RQ_CPU.cpu"),
                        dir.path());
    EXPECT_EQ(r.exitCode, 3) << r.err;
    // The file could be created but not filled: no "written" text, only the failure.
    EXPECT_EQ(r.lastLine(), text::kLoadFailed);
    EXPECT_EQ(r.out.find(text::kPackageWritten), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(std::strerror(ENOSPC)), std::string::npos) << r.err;
    EXPECT_EQ(test::readBytes(dir / "disk" / "RQ_CPU.cpu"), old);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir / "disk"))
        ++entries;
    EXPECT_EQ(entries, 1);

    // With room again the same command replaces it.
    test::writeBytes(images / "fw.bin", test::randomBytes(20000, 9));
    r = runCommand(cpuctl("pack '" + (images / "fw.bin").string() + "' -o disk/RQ_CPU.cpu"),
                   dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(fs::file_size(dir / "disk" / "RQ_CPU.cpu"), 20016u);
    ::umount((dir / "disk").c_str());
}

} // namespace
