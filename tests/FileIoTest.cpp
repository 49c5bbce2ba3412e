#include "common/FileIo.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace cpuconfig;
using cpuconfig::test::TempDir;

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
