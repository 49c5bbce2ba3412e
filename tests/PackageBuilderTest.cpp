#include "common/FileIo.h"
#include "common/Texts.h"
#include "package/SJLoad.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace cpuconfig;
using cpuconfig::test::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

const DateTime kSunday2010{2010, 4, 25, 9, 5, 7, 7};

// Records what a build reports, in order.
struct Recorder final : BuildObserver {
    std::vector<std::string> events;
    std::vector<std::uint64_t> positions;
    std::uint64_t total = 0;
    void started(std::uint64_t t) override {
        total = t;
        events.push_back("started");
    }
    void progress(std::uint64_t done, std::uint64_t t) override {
        EXPECT_EQ(t, total);
        if (!positions.empty()) {
            EXPECT_GT(done, positions.back());
        }
        positions.push_back(done);
    }
    void imageDone() override { events.push_back("imageDone"); }
    void status(const char* text) override { events.push_back(text); }
    void finished() override { events.push_back("finished"); }
};

bool onlyFile(const std::filesystem::path& dir, const std::string& name) {
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().filename() != name) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(PackageBuilder, writesTheExactPackageAndReportsInOrder) {
    TempDir dir;
    test::writeBytes(dir / "fw.bin", {0x12, 0xA5});
    Recorder rec;
    auto r = buildPackage({dir / "fw.bin", {}, dir / "RQ_CPU.cpu", kSunday2010}, rec);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(*r, 18u);
    EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"),
              (Bytes{0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0x21, 0x5A, 0x07, 0x05, 0x09,
                     0x25, 0x04, 0x07, 0x10, 0xAA}));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "imageDone", text::kPackageWritten,
                                                    "finished"}));
    EXPECT_EQ(rec.positions, (std::vector<std::uint64_t>{2}));
}

TEST(PackageBuilder, roundTripsImagesOfManySizesWithThrottledProgress) {
    TempDir dir;
    for (std::size_t n : {1u, 2u, 255u, 4096u, 100001u, 3u * 1024 * 1024 + 5}) {
        const Bytes image = test::randomBytes(n, static_cast<unsigned>(n));
        test::writeBytes(dir / "fw.bin", image);
        Recorder rec;
        auto r =
            buildPackage({dir / "fw.bin", {"L", "3", "9.9"}, dir / "RQ_CPU.cpu", kSunday2010}, rec);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(std::filesystem::file_size(dir / "RQ_CPU.cpu"), n + 16);
        EXPECT_EQ(*recoverImage(dir / "RQ_CPU.cpu"), image) << n;
        ASSERT_FALSE(rec.positions.empty());
        EXPECT_EQ(rec.positions.back(), n);
        EXPECT_LE(rec.positions.size(), kMaxProgressSteps + 1) << n;
    }
}

TEST(PackageBuilder, badImagesLeaveTheOldPackageAlone) {
    TempDir dir;
    const Bytes old = test::randomBytes(40, 3);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    test::writeBytes(dir / "empty.bin", {});
    std::filesystem::create_directory(dir / "folder.bin");

    struct Case {
        std::string image;
        ErrorCode code;
        std::vector<std::string> events;
    } cases[] = {
        {"empty.bin", ErrorCode::FileEmpty, {"started", "imageDone"}},
        {"missing.bin", ErrorCode::FileMissing, {"imageDone"}},
        {"folder.bin", ErrorCode::FileMissing, {"imageDone"}},
    };
    for (const auto& c : cases) {
        Recorder rec;
        auto r = buildPackage({dir / c.image, {}, dir / "RQ_CPU.cpu", kSunday2010}, rec);
        ASSERT_FALSE(r.ok()) << c.image;
        EXPECT_EQ(r.error().code, c.code) << c.image;
        EXPECT_EQ(rec.events, c.events) << c.image;
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old) << c.image;
    }
}

TEST(PackageBuilder, aWriteThatFailsLeavesTheOldPackageAndNoTemporaryFile) {
    TempDir dir;
    TempDir out;
    const Bytes old = test::randomBytes(40, 4);
    test::writeBytes(out / "RQ_CPU.cpu", old);
    test::writeBytes(dir / "fw.bin", test::randomBytes(100000, 5));

    faults::setWriteLimit(4096, ENOSPC);
    Recorder rec;
    auto r = buildPackage({dir / "fw.bin", {}, out / "RQ_CPU.cpu", kSunday2010}, rec);
    faults::setWriteLimit(std::nullopt, 0);

    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::WriteFailed);
    EXPECT_EQ(r.error().osError, ENOSPC);
    // A short write sets no text of its own; the worker reports the failure.
    EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "imageDone", "finished"}));
    EXPECT_EQ(test::readBytes(out / "RQ_CPU.cpu"), old);
    EXPECT_TRUE(onlyFile(out.path(), "RQ_CPU.cpu"));
}

TEST(PackageBuilder, outputThatCannotBeCreated) {
    TempDir dir;
    test::writeBytes(dir / "fw.bin", {1, 2, 3});
    std::filesystem::create_directory(dir / "RQ_CPU.cpu"); // a directory in the way
    for (const auto& output :
         {dir / "RQ_CPU.cpu", dir / "no-such-dir" / "RQ_CPU.cpu", dir / "fw.bin" / "RQ_CPU.cpu"}) {
        Recorder rec;
        auto r = buildPackage({dir / "fw.bin", {}, output, kSunday2010}, rec);
        ASSERT_FALSE(r.ok()) << output;
        EXPECT_EQ(r.error().code, ErrorCode::CreateFailed) << output;
        EXPECT_EQ(rec.events, (std::vector<std::string>{"started", "imageDone",
                                                        text::kCreateFileFailed, "finished"}));
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir / "RQ_CPU.cpu"));
}

TEST(PackageBuilder, badTextsAreRefusedBeforeAnythingIsRead) {
    TempDir dir;
    test::writeBytes(dir / "fw.bin", {1});
    Recorder rec;
    auto r =
        buildPackage({dir / "fw.bin", {"中", "2", "1.7"}, dir / "RQ_CPU.cpu", kSunday2010}, rec);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::BadText);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "RQ_CPU.cpu"));
}

TEST(PackageBuilder, aStopRequestEndsTheBuildWithoutWriting) {
    TempDir dir;
    test::writeBytes(dir / "fw.bin", test::randomBytes(3 << 20, 9));
    std::stop_source stop;
    stop.request_stop();
    Recorder rec;
    auto r =
        buildPackage({dir / "fw.bin", {}, dir / "RQ_CPU.cpu", kSunday2010}, rec, stop.get_token());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::Stopped);
    EXPECT_FALSE(std::filesystem::exists(dir / "RQ_CPU.cpu"));
}
