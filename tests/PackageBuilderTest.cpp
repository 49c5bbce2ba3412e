#include "common/Texts.h"
#include "package/SJLoad.h"
#include "tests/FailDevice.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

using namespace cpuconfig;
using cpuconfig::test::TempDir;
using Bytes = std::vector<std::uint8_t>;
using Events = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

const DateTime kSunday2010{2010, 4, 25, 9, 5, 7, 7};

// Records what a build reports, in order; progress must only move forward.
struct Recorder final : BuildObserver {
    Events events;
    std::vector<std::uint64_t> positions;
    std::uint64_t total = 0;
    void started(std::uint64_t t) override {
        total = t;
        events.push_back("started");
    }
    void progress(std::uint64_t done, std::uint64_t t) override {
        if (onProgress)
            onProgress();
        EXPECT_EQ(t, total);
        EXPECT_GT(done, positions.empty() ? 0 : positions.back());
        positions.push_back(done);
    }
    void imageDone() override { events.push_back("imageDone"); }
    void status(const char* text) override { events.push_back(text); }
    void finished() override { events.push_back("finished"); }
    std::function<void()> onProgress;
};

} // namespace

TEST(PackageBuilder, writesThePackageOfEveryImageSizeWithThrottledProgress) {
    TempDir dir;
    const PackageTexts texts{"L", "3", "9.9"};
    for (std::size_t n : {1u, 2u, 255u, 4096u, 100001u, 3u * 1024 * 1024 + 5}) {
        SCOPED_TRACE(n);
        const Bytes image = test::randomBytes(n, static_cast<unsigned>(n));
        test::writeBytes(dir / "fw.bin", image);
        Recorder rec;
        auto r = buildPackage({dir / "fw.bin", texts, dir / "RQ_CPU.cpu", kSunday2010}, rec);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(*r, n + 16);
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"),
                  assemblePackage(*makeHeader(texts), image, makeTrailer(kSunday2010)));
        EXPECT_EQ(rec.events, (Events{"started", "imageDone", text::kPackageWritten, "finished"}));
        ASSERT_FALSE(rec.positions.empty());
        EXPECT_EQ(rec.positions.back(), n);
        EXPECT_LE(rec.positions.size(), kMaxProgressSteps + 1);
    }
}

// Whatever goes wrong, the old package stays byte for byte and no temporary is left.
TEST(PackageBuilder, failuresLeaveTheOldPackageAlone) {
    TempDir dir;
    const Bytes old = test::randomBytes(40, 3);
    test::writeBytes(dir / "RQ_CPU.cpu", old);
    test::writeBytes(dir / "empty.bin", {});
    test::writeBytes(dir / "fw.bin", test::randomBytes(100000, 5));
    fs::create_directory(dir / "folder.bin");
    const Events opened{"started", "imageDone"}, imageOnly{"imageDone"},
        created{"started", "imageDone", text::kCreateFileFailed, "finished"};
    enum Fault { Plain, Stop, DiskFull, ImageChanges };
    const struct {
        const char* image;
        const char* output;
        PackageTexts texts;
        Fault fault;
        ErrorCode code;
        Events events;
    } cases[] = {
        {"empty.bin", "RQ_CPU.cpu", {}, Plain, ErrorCode::FileEmpty, opened},
        {"missing.bin", "RQ_CPU.cpu", {}, Plain, ErrorCode::FileMissing, imageOnly},
        {"folder.bin", "RQ_CPU.cpu", {}, Plain, ErrorCode::FileMissing, imageOnly},
        {"fw.bin", "folder.bin", {}, Plain, ErrorCode::CreateFailed, created},
        {"fw.bin", "none/RQ_CPU.cpu", {}, Plain, ErrorCode::CreateFailed, created},
        {"fw.bin", "fw.bin/RQ_CPU.cpu", {}, Plain, ErrorCode::CreateFailed, created},
        // Texts are refused before anything is read.
        {"fw.bin", "RQ_CPU.cpu", {"中", "2", "1.7"}, Plain, ErrorCode::BadText, {}},
        {"fw.bin", "RQ_CPU.cpu", {"N", "2", "1.10"}, Plain, ErrorCode::BadText, {}},
        {"fw.bin", "RQ_CPU.cpu", {}, Stop, ErrorCode::Stopped, opened},
        // A short write sets no text of its own; the worker reports the failure.
        {"fw.bin",
         "RQ_CPU.cpu",
         {},
         DiskFull,
         ErrorCode::WriteFailed,
         {"started", "imageDone", "finished"}},
        // Written to while it is read: a body of two images is never a package (last: it
        // changes the image).
        {"fw.bin", "RQ_CPU.cpu", {}, ImageChanges, ErrorCode::FileUnreadable, opened},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::stop_source source;
        if (c.fault == Stop) {
            source.request_stop();
        }
        test::failWritesAfter(
            c.fault == DiskFull ? std::optional<std::uint64_t>(4096) : std::nullopt, ENOSPC);
        Recorder rec;
        if (c.fault == ImageChanges)
            rec.onProgress = [&] { test::writeBytes(dir / "fw.bin", test::randomBytes(99, 1)); };
        auto r = buildPackage({dir / c.image, c.texts, dir / c.output, kSunday2010}, rec,
                              source.get_token());
        test::failWritesAfter(std::nullopt, 0);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, c.code);
        if (c.fault == DiskFull) {
            EXPECT_EQ(r.error().osError, ENOSPC);
        }
        EXPECT_EQ(rec.events, c.events);
        EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), old);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 4);
    }
}
