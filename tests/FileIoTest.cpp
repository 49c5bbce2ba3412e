#include "common/FileIo.h"
#include "tests/FailDevice.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cpuconfig;
using cpuconfig::test::TempDir;
namespace fs = std::filesystem;

// A read-only package is left alone, as a plain overwrite would have to leave it, even in a
// folder where the temporary could be renamed over it. Root may write any file, so root
// tries as an ordinary user.
TEST(FileIo, replacingKeepsAReadOnlyPackage) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const auto old = test::randomBytes(10, 1);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    fs::permissions(dir / "RQ_CPU.cpu", static_cast<fs::perms>(0444));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::setegid(65534), 0);
        ASSERT_EQ(::seteuid(65534), 0);
    }
    auto r = writeFileReplacing(dir / "RQ_CPU.cpu", test::randomBytes(10, 2));
    if (root) {
        EXPECT_EQ(::seteuid(0), 0);
        EXPECT_EQ(::setegid(0), 0);
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::CreateFailed);
    EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
}

// A disk that fails the flush: at commit() for a small file, while writing for a large one,
// whose ranges go to the disk as they are written. Either way the old file stays.
TEST(FileIo, aFailingFlushKeepsTheOldFileAndLeavesNoTemporary) {
    TempDir dir;
    const auto old = test::randomBytes(100, 1);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    for (const std::size_t size : {std::size_t{1000}, std::size_t{24} << 20}) {
        SCOPED_TRACE(size);
        auto file = ReplacingFile::create(dir / "RQ_CPU.cpu");
        ASSERT_TRUE(file.ok());
        test::failFlushes(EIO);
        const auto written = file->write(std::vector<std::uint8_t>(size, 0x5A));
        const auto r = written ? file->commit() : written;
        test::failFlushes(std::nullopt);
        EXPECT_EQ(written.ok(), size == 1000);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, ErrorCode::WriteFailed);
        EXPECT_EQ(r.error().osError, EIO);
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
    }
}

// Temporaries of a target that no writer holds were left by a killed one: the next write of
// that target removes them. One a running writer holds (here: a lock like a writer's), and
// every other name, stays.
TEST(FileIo, replacingClearsOnlyAbandonedTemporaries) {
    TempDir dir;
    const std::string abandoned = ".RQ_CPU.cpu.0123abcd.tmp", held = ".RQ_CPU.cpu.89abcdef.tmp";
    const std::vector<std::string> kept = {held, ".RQ_CPU.cpu.0123abcd.tmp.bak",
                                           ".other.cpu.0123abcd.tmp", ".RQ_CPU.cpu.0123ABCD.tmp",
                                           "RQ_CPU.cpu.0123abcd.tmp"};
    for (const auto& name : kept)
        test::writeBytes(dir / name, {1});
    test::writeBytes(dir / abandoned, {1});
    const int holder = ::open((dir / held).c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    ASSERT_TRUE(writeFileReplacing(dir / "RQ_CPU.cpu", std::vector<std::uint8_t>{7}).ok());
    ::close(holder);
    EXPECT_FALSE(fs::exists(dir / abandoned));
    for (const auto& name : kept)
        EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), std::vector<std::uint8_t>{7});
}

// A package that is a link is written at the link's end and the link stays; the new file
// keeps the old one's mode. A FIFO or device under the name is refused, not replaced.
TEST(FileIo, replacingWritesThroughALinkKeepsTheModeAndRefusesNoFile) {
    TempDir dir;
    fs::create_directory(dir / "store");
    test::writeBytes(dir / "store" / "real.cpu", {1, 2});
    fs::permissions(dir / "store" / "real.cpu", static_cast<fs::perms>(0640));
    fs::create_symlink("store/real.cpu", dir / "RQ_CPU.cpu");
    ASSERT_TRUE(writeFileReplacing(dir / "RQ_CPU.cpu", std::vector<std::uint8_t>{3, 4, 5}).ok());
    EXPECT_TRUE(fs::is_symlink(dir / "RQ_CPU.cpu"));
    EXPECT_EQ(test::readBytes(dir / "store" / "real.cpu"), (std::vector<std::uint8_t>{3, 4, 5}));
    EXPECT_EQ(fs::status(dir / "store" / "real.cpu").permissions(), static_cast<fs::perms>(0640));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "store"), {}), 1);

    ASSERT_EQ(::mkfifo((dir / "fifo.cpu").c_str(), 0600), 0);
    auto r = writeFileReplacing(dir / "fifo.cpu", std::vector<std::uint8_t>{1});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::CreateFailed);
    EXPECT_TRUE(fs::is_fifo(dir / "fifo.cpu"));
}
