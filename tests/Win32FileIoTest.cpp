// The Win32 half of the file helpers: a package that Windows will not let us replace stays
// exactly as it was, and no temporary file is left beside it.
#include "common/FileIo.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace cpuconfig;
using cpuconfig::test::TempDir;

namespace {

int entriesIn(const std::filesystem::path& dir) {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) {
        ++n;
    }
    return n;
}

// Whether a plain overwrite of path would be let through.
bool plainWriteAllowed(const std::filesystem::path& path) {
    HANDLE h = CreateFileA(path.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

// What keeps the package from being replaced, and how it is undone afterwards.
enum class Obstacle { ReadOnly, OpenedWithoutSharing, Directory };

const char* nameOf(Obstacle o) {
    switch (o) {
    case Obstacle::ReadOnly:
        return "readOnly";
    case Obstacle::OpenedWithoutSharing:
        return "openedWithoutSharing";
    default:
        return "directory";
    }
}
void PrintTo(Obstacle o, std::ostream* os) {
    *os << nameOf(o);
}

class Win32Replacing : public ::testing::TestWithParam<Obstacle> {};

TEST_P(Win32Replacing, refusedTargetIsLeftAloneWithNoTemporary) {
    TempDir dir;
    const auto target = dir / "RQ_CPU.cpu";
    const auto old = test::randomBytes(100, 1);
    HANDLE holder = INVALID_HANDLE_VALUE;
    switch (GetParam()) {
    case Obstacle::ReadOnly:
        test::writeBytes(target, old);
        ASSERT_TRUE(SetFileAttributesA(target.string().c_str(), FILE_ATTRIBUTE_READONLY));
        break;
    case Obstacle::OpenedWithoutSharing:
        test::writeBytes(target, old);
        holder = CreateFileA(target.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        break;
    case Obstacle::Directory:
        std::filesystem::create_directory(target);
        break;
    }

    const bool overwritable = GetParam() == Obstacle::ReadOnly && plainWriteAllowed(target);
    auto r = writeFileReplacing(target, test::randomBytes(200, 2));
    if (overwritable) {
        // Wine run as root writes read-only files, as root does on Linux: so may we.
        EXPECT_TRUE(r.ok());
        SetFileAttributesA(target.string().c_str(), FILE_ATTRIBUTE_NORMAL);
        return;
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::CreateFailed);
    EXPECT_NE(r.error().osError, 0);

    if (holder != INVALID_HANDLE_VALUE) {
        CloseHandle(holder);
    }
    SetFileAttributesA(target.string().c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(entriesIn(dir.path()), 1);
    if (GetParam() != Obstacle::Directory) {
        EXPECT_EQ(test::readBytes(target), old);
    }
}

INSTANTIATE_TEST_SUITE_P(Obstacles, Win32Replacing,
                         ::testing::Values(Obstacle::ReadOnly, Obstacle::OpenedWithoutSharing,
                                           Obstacle::Directory),
                         [](const auto& param) { return std::string(nameOf(param.param)); });

TEST(Win32FileIo, replacingOverwritesAPlainFileWhole) {
    TempDir dir;
    const auto target = dir / "RQ_CPU.cpu";
    test::writeBytes(target, test::randomBytes(5000, 1));
    const auto fresh = test::randomBytes(17, 2); // shorter: nothing of the old may remain
    ASSERT_TRUE(writeFileReplacing(target, fresh).ok());
    EXPECT_EQ(test::readBytes(target), fresh);
    EXPECT_EQ(entriesIn(dir.path()), 1);
}

} // namespace
