#include "common/FileIo.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <sys/mount.h>
#include <unistd.h>

using namespace cpuconfig;
using cpuconfig::test::TempDir;

// A real full disk: a tiny tmpfs that cannot hold the new package. Needs root (CI runs as
// root); elsewhere the injected short write of the builder tests covers the same path.
TEST(FileIo, aFullFilesystemKeepsTheOldFileAndLeavesNoTemporary) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    TempDir dir;
    ASSERT_EQ(::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k"), 0)
        << "cannot mount tmpfs: " << std::strerror(errno);
    const auto old = test::randomBytes(20000, 1);
    test::writeBytes(dir / "RQ_CPU.cpu", old);

    auto r = writeFileReplacing(dir / "RQ_CPU.cpu", test::randomBytes(60000, 2));
    EXPECT_FALSE(r.ok());
    if (!r.ok()) {
        EXPECT_EQ(r.error().code, ErrorCode::WriteFailed);
    }
    EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);

    // Once there is room the same call succeeds.
    EXPECT_TRUE(writeFileReplacing(dir / "RQ_CPU.cpu", test::randomBytes(30000, 3)).ok());
    ::umount(dir.path().c_str());
}

TEST(FileIo, readWholeFileSaysWhy) {
    TempDir dir;
    EXPECT_EQ(readWholeFile(dir / "nope", 10).error().code, ErrorCode::FileMissing);
    EXPECT_EQ(readWholeFile(dir.path(), 10).error().code, ErrorCode::FileMissing);
    test::writeBytes(dir / "f", test::randomBytes(11, 1));
    EXPECT_EQ(readWholeFile(dir / "f", 10).error().code, ErrorCode::FileTooLarge);
    EXPECT_EQ(readWholeFile(dir / "f", 11)->size(), 11u);
}

TEST(FileIo, replacingKeepsAReadOnlyPackage) {
    TempDir dir;
    const auto old = test::randomBytes(10, 1);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    std::filesystem::permissions(dir / "RQ_CPU.cpu", std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::group_read);
    auto r = writeFileReplacing(dir / "RQ_CPU.cpu", test::randomBytes(10, 2));
    if (::geteuid() == 0) {
        // Root may write a read-only file, as a plain overwrite could.
        EXPECT_TRUE(r.ok());
    } else {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, ErrorCode::CreateFailed);
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
    }
}

// A disk that fails the flush: at commit() for a small file, while writing for a large one,
// whose ranges go to the disk as they are written. Either way the old file stays.
TEST(FileIo, aFailingFlushKeepsTheOldFileAndLeavesNoTemporary) {
    TempDir dir;
    const auto old = test::randomBytes(100, 1);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    const struct {
        std::size_t size;
        bool failsWhileWriting;
    } cases[] = {{1000, false}, {24u << 20, true}};
    for (const auto& c : cases) {
        auto file = ReplacingFile::create(dir / "RQ_CPU.cpu");
        ASSERT_TRUE(file.ok());
        faults::setFlushError(EIO);
        const auto written = file->write(std::vector<std::uint8_t>(c.size, 0x5A));
        const auto r = written ? file->commit() : written;
        faults::setFlushError(std::nullopt);
        EXPECT_EQ(written.ok(), !c.failsWhileWriting) << c.size;
        ASSERT_FALSE(r.ok()) << c.size;
        EXPECT_EQ(r.error().code, ErrorCode::WriteFailed);
        EXPECT_EQ(r.error().osError, EIO);
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
        int entries = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) {
            ++entries;
        }
        EXPECT_EQ(entries, 1) << c.size;
    }
}
