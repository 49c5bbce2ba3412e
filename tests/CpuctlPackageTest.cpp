// cpuctl pack and unpack as a process: as an ordinary user, files it may not read or write
// (the system's own status text, the file-problem exit code, an old package that stays as
// it was), and signals that stop it. The commands' rules run in process in CommandTest.
#include "common/Texts.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

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
