#include "common/FileIo.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

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
        faults::setFlushError(EIO);
        const auto written = file->write(std::vector<std::uint8_t>(size, 0x5A));
        const auto r = written ? file->commit() : written;
        faults::setFlushError(std::nullopt);
        EXPECT_EQ(written.ok(), size == 1000);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, ErrorCode::WriteFailed);
        EXPECT_EQ(r.error().osError, EIO);
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
    }
}
