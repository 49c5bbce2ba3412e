#include "package/PackageFormat.h"
#include "common/FileIo.h"
#include "common/Sha256.h"
#include "package/PackageSnapshot.h"
#include "package/SJLoad.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace cpuconfig;
using cpuconfig::test::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

const DateTime kSunday2010{2010, 4, 25, 9, 5, 7, 7}; // Sunday 25 April 2010, 09:05:07

Bytes package(const Bytes& image, const PackageTexts& texts, const DateTime& when) {
    return assemblePackage(*makeHeader(texts), image, makeTrailer(when));
}

} // namespace

TEST(PackageFormat, knownPackageByteForByte) {
    EXPECT_EQ(package({0x1F}, {}, kSunday2010),
              (Bytes{0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0xF1, 0x07, 0x05, 0x09, 0x25,
                     0x04, 0x07, 0x10, 0xAA}));
}

TEST(PackageFormat, headerFromTheTexts) {
    const struct {
        PackageTexts texts;
        std::optional<Header> header; // none: refused
    } cases[] = {
        {{"", "", ""}, Header{0, 0, 0, 0, 0, 0, 0, 0}},
        {{"N", "2", "2"}, Header{0x4E, 0x32, 0, 0, 0, 0, 0, 0x32}},
        {{"L", "3", "17"}, Header{0x4C, 0x31, 0x37, 0, 0, 0, 0, 0x33}},
        {{"T", "9", "1.7"}, Header{0x54, 0x31, 0x2E, 0x37, 0, 0, 0, 0x39}},
        // A text longer than its field is refused, never cut.
        {{"Tx", "2", "1.7"}, std::nullopt},
        {{"N", "23", "1.7"}, std::nullopt},
        {{"N", "2", "1.10"}, std::nullopt},
        // "中" in UTF-8 (and any GBK pair) would be cut in half by a one-byte field.
        {{"中", "2", "1.7"}, std::nullopt},
        {{"N", "é", "1.7"}, std::nullopt},
        {{"N", "2", "1\xB7"}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.texts.model + " " + c.texts.cardVersion + " " + c.texts.cpuVersion);
        const auto h = makeHeader(c.texts);
        EXPECT_EQ(h.ok() ? std::optional(*h) : std::nullopt, c.header);
        EXPECT_TRUE(h.ok() || h.error().code == ErrorCode::BadText);
    }
}

TEST(PackageFormat, nibbleSwapAtEveryLengthAndInPlace) {
    EXPECT_EQ(nibbleSwap(std::uint8_t{0x1F}), 0xF1);
    // Lengths around vector widths catch a wrong tail loop.
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 31u, 33u, 4097u}) {
        const Bytes original = test::randomBytes(n, static_cast<unsigned>(n));
        Bytes swapped(n), inPlace = original;
        nibbleSwap(original.data(), swapped.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(swapped[i], nibbleSwap(original[i])) << "n=" << n << " i=" << i;
        }
        nibbleSwap(inPlace.data(), inPlace.data(), n);
        EXPECT_EQ(inPlace, swapped);
    }
}

TEST(PackageFormat, bcdAndWeekdays) {
    for (int v : {0, 7, 9, 10, 29, 59, 99}) {
        EXPECT_EQ(fromBcd(toBcd(v)), v);
    }
    EXPECT_EQ(toBcd(2010), 0x10);
    EXPECT_EQ(toBcd(59), 0x59);
    // 1 = Monday ... 7 = Sunday.
    const int days[][4] = {{2010, 4, 25, 7}, {2009, 12, 31, 4}, {2026, 12, 7, 1},
                           {2000, 2, 29, 2}, {1970, 1, 1, 4},   {2100, 3, 1, 1}};
    for (const auto& d : days) {
        EXPECT_EQ(weekdayOf(d[0], d[1], d[2]), d[3]) << d[0] << "-" << d[1] << "-" << d[2];
    }
}

TEST(PackageFormat, detailsAsThePanelShowsThem) {
    TempDir dir;
    const auto path = dir / "RQ_CPU.cpu";
    // Model, CPU version and date text.
    const std::pair<Bytes, const char*> cases[] = {
        // 15 bytes: the date bytes are offsets 8..14, the last byte included.
        {{0x4E, 0x31, 0x37, 0, 0, 0, 0, 0x32, 0x44, 0x29, 0x03, 0x29, 0x04, 0x00, 0x10},
         "N2 17 2010年4月29日3时29分44秒"},
        // Date bytes that are not BCD are shown in hexadecimal.
        {{0x4E, 0x31, 0x37, 0, 0, 0, 0, 0x32, 0x00, 0x3C, 0x00, 0x01, 0x01, 0x07, 0x26},
         "N2 17 2026年1月1日0时3C分0秒"},
        // From 16 bytes on the date is the trailer's; a model letter 0 empties the model.
        {{0, 0x31, 0x2E, 0x37, 0, 0, 0, 0x32, 1, 2, 3, 4, 5, 6, 0x10, 0xAA},
         " 1.7 2010年5月4日3时2分1秒"},
        {package(test::randomBytes(100000, 1), {"T", "3", "2.1"}, {2026, 12, 6, 14, 3, 9, 7}),
         "T3 2.1 2026年12月6日14时3分9秒"},
    };
    for (const auto& [bytes, shown] : cases) {
        test::writeBytes(path, bytes);
        auto d = readPackageDetails(path);
        ASSERT_TRUE(d.ok()) << d.error().message;
        EXPECT_EQ(d->model + " " + d->cpuVersion + " " + d->dateText, shown);
    }
    for (std::size_t n = 0; n < 15; ++n) {
        test::writeBytes(path, Bytes(n, 0x41));
        EXPECT_EQ(readPackageDetails(path).error().code, ErrorCode::FileTooShort) << n;
    }
    EXPECT_EQ(readPackageDetails(dir / "missing.cpu").error().code, ErrorCode::FileMissing);
    EXPECT_FALSE(readPackageDetails(dir.path()).ok()); // a directory is not a package
}

// info and unpack stream the file. A package that breaks the rules of an upgrade (too
// short, no end mark) is still described when it has header and trailer, and never
// unpacked: the old image stays.
TEST(PackageFormat, inspectAndUnpackJudgeThePackageAsAnUpgradeWould) {
    TempDir dir;
    const auto path = dir / "p.cpu";
    const auto out = dir / "fw.bin";
    const Bytes image = test::randomBytes(3u * 1024 * 1024 + 5, 7); // several streamed pieces
    const Bytes sound = package(image, {}, kSunday2010);
    Bytes noMark = sound, cut(sound.begin(), sound.end() - 1);
    noMark.back() = 0x55;
    const struct {
        Bytes bytes;
        bool described; // inspect gives the details (with a problem unless sound)
        bool ok;
    } cases[] = {
        {sound, true, true},
        {noMark, true, false},
        {cut, true, false},
        {Bytes(16, 0xAA), true, false},
        {Bytes(15, 0xAA), false, false},
        {{}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        test::writeBytes(path, c.bytes);
        test::writeBytes(out, {1, 2, 3});
        auto info = inspectPackage(path);
        ASSERT_EQ(info.ok(), c.described);
        if (c.described) {
            EXPECT_EQ(info->problem.has_value(), !c.ok);
            EXPECT_EQ(info->packageSha256, sha256Hex(c.bytes));
            EXPECT_EQ(info->imageSize, c.bytes.size() - 16);
        } else {
            EXPECT_EQ(info.error().code, ErrorCode::FileTooShort);
        }
        auto unpacked = unpackPackage(path, out);
        EXPECT_EQ(unpacked.ok(), c.ok);
        EXPECT_EQ(test::readBytes(out), c.ok ? image : (Bytes{1, 2, 3}));
    }
    test::writeBytes(path, sound);
    auto info = inspectPackage(path);
    EXPECT_EQ(info->details.dateText, "2010年4月25日9时5分7秒");
    EXPECT_EQ(info->imageSha256, sha256Hex(image));
}

// An output that is its own input is refused, whichever name leads to it; the input stays.
TEST(PackageFormat, unpackAndPackRefuseToReplaceTheirInput) {
    TempDir dir;
    const Bytes bytes = package(test::randomBytes(100, 2), {}, kSunday2010);
    test::writeBytes(dir / "p.cpu", bytes);
    std::filesystem::create_hard_link(dir / "p.cpu", dir / "hard.cpu");
    std::vector<std::string> names = {"p.cpu", "hard.cpu"};
#ifndef _WIN32
    std::filesystem::create_symlink("p.cpu", dir / "link.cpu");
    names.push_back("link.cpu");
#endif
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(unpackPackage(dir / "p.cpu", dir / name).error().code, ErrorCode::Usage);
        BuildObserver quiet;
        const BuildRequest request{dir / "p.cpu", {}, dir / name, kSunday2010};
        EXPECT_EQ(buildPackage(request, quiet).error().code, ErrorCode::Usage);
        EXPECT_EQ(test::readBytes(dir / "p.cpu"), bytes);
    }
}

// A snapshot, in memory or in its scratch file, keeps the package as it was taken while the
// file is rewritten in place or cut short.
TEST(PackageSnapshot, keepsThePackageAsItWasTaken) {
    TempDir dir;
    const auto path = dir / "p.cpu";
    const Bytes bytes = package(test::randomBytes(300000, 4), {"T", "3", "2.1"}, kSunday2010);
    for (const std::uint64_t memoryLimit : {kSnapshotMemoryLimit, std::uint64_t{0}}) {
        SCOPED_TRACE(memoryLimit);
        test::writeBytes(path, bytes);
        auto snap = PackageSnapshot::take(path, memoryLimit);
        ASSERT_TRUE(snap.ok()) << snap.error().message;
        EXPECT_EQ((*snap)->inMemory(), memoryLimit > 0);
        test::writeBytes(path, Bytes(bytes.size(), 0x11)); // the same file, rewritten
        std::filesystem::resize_file(path, 100);
        Bytes back(bytes.size() + 10);
        EXPECT_EQ((*snap)->read(0, back), bytes.size());
        back.resize(bytes.size());
        EXPECT_EQ(back, bytes);
        EXPECT_EQ((*snap)->read(bytes.size() - 3, back), 3u);
        EXPECT_EQ((*snap)->header(), *makeHeader({"T", "3", "2.1"}));
        EXPECT_EQ((*snap)->sha256(), sha256Hex(bytes));
    }
}

#ifndef _WIN32
// The trailer's local time follows TZ (zone names such as Asia/Shanghai), not the locale.
TEST(PackageFormat, localTimeFollowsTheTimeZoneNotTheLocale) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz ? oldTz : "";
    const auto trailerIn = [](const char* tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        return makeTrailer(localDateTime(1262303999)); // 2009-12-31 23:59:59 UTC
    };
    EXPECT_EQ(trailerIn("UTC"), (Trailer{0x59, 0x59, 0x23, 0x31, 0x12, 0x04, 0x09, 0xAA}));
    // UTC+8: already Friday 1 January 2010.
    EXPECT_EQ(trailerIn("Asia/Shanghai"),
              (Trailer{0x59, 0x59, 0x07, 0x01, 0x01, 0x05, 0x10, 0xAA}));
    oldTz ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}
#endif

// What is not a regular file is refused in its own words, never as a file to read.
TEST(FileIo, readersSayWhatIsNoFile) {
    TempDir dir;
    test::writeBytes(dir / "f", test::randomBytes(11, 1));
    const struct {
        std::filesystem::path path;
        std::optional<ErrorCode> code; // none: read
        const char* words;
    } cases[] = {
        {dir / "nope", ErrorCode::FileMissing, "no such file"},
        {dir.path(), ErrorCode::FileMissing, "is a directory"},
#ifndef _WIN32
        {"/dev/zero", ErrorCode::FileUnreadable, "is a device"},
        {dir / "fifo", ErrorCode::FileUnreadable, "is a FIFO"},
#endif
        {dir / "f", std::nullopt, ""},
    };
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.string());
        auto file = SequentialFile::open(c.path);
        ASSERT_EQ(file.ok(), !c.code);
        if (c.code) {
            EXPECT_EQ(file.error().code, *c.code);
            EXPECT_NE(file.error().message.find(c.words), std::string::npos)
                << file.error().message;
            EXPECT_EQ(readWholeFile(c.path, 100).error().message, file.error().message);
        }
    }
    EXPECT_EQ(readWholeFile(dir / "f", 10).error().code, ErrorCode::FileTooLarge);
    EXPECT_EQ(readWholeFile(dir / "f", 11)->size(), 11u);
}
