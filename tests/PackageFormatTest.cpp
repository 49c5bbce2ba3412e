#include "package/PackageFormat.h"
#include "common/FileIo.h"
#include "package/SJLoad.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace cpuconfig;
using cpuconfig::test::TempDir;
using Bytes = std::vector<std::uint8_t>;

namespace {

const DateTime kSunday2010{2010, 4, 25, 9, 5, 7, 7}; // Sunday 25 April 2010, 09:05:07

Bytes package(const Bytes& image, const PackageTexts& texts, const DateTime& when) {
    auto header = makeHeader(texts);
    EXPECT_TRUE(header.ok());
    return assemblePackage(*header, image, makeTrailer(when));
}

} // namespace

TEST(PackageFormat, knownPackagesByteForByte) {
    EXPECT_EQ(package({0x1F}, {}, kSunday2010),
              (Bytes{0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0xF1, 0x07, 0x05, 0x09, 0x25,
                     0x04, 0x07, 0x10, 0xAA}));
    EXPECT_EQ(package({0x12, 0xA5}, {}, kSunday2010),
              (Bytes{0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0x21, 0x5A, 0x07, 0x05, 0x09,
                     0x25, 0x04, 0x07, 0x10, 0xAA}));
    EXPECT_EQ(makeTrailer({2009, 12, 31, 23, 59, 59, 4}),
              (Trailer{0x59, 0x59, 0x23, 0x31, 0x12, 0x04, 0x09, 0xAA}));
}

struct HeaderCase {
    std::string name;
    PackageTexts texts;
    Header expected;
};

class HeaderTexts : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTexts, eachTextGivesItsBytes) {
    auto h = makeHeader(GetParam().texts);
    ASSERT_TRUE(h.ok()) << h.error().message;
    EXPECT_EQ(*h, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    PackageFormat, HeaderTexts,
    ::testing::Values(
        HeaderCase{"empty", {"", "", ""}, {0, 0, 0, 0, 0, 0, 0, 0}},
        HeaderCase{"oneCharacterCpuVersion", {"N", "2", "2"}, {0x4E, 0x32, 0, 0, 0, 0, 0, 0x32}},
        HeaderCase{
            "twoCharacterCpuVersion", {"L", "3", "17"}, {0x4C, 0x31, 0x37, 0, 0, 0, 0, 0x33}},
        // Only the first characters count.
        HeaderCase{"longTexts", {"Tx", "99", "1.75"}, {0x54, 0x31, 0x2E, 0x37, 0, 0, 0, 0x39}}),
    [](const auto& p) { return p.param.name; });

TEST(PackageFormat, refusesCharactersThatDoNotFitOneByte) {
    // "中" in UTF-8 (and any GBK pair) would be cut in half by a one-byte field.
    for (PackageTexts t : {PackageTexts{"中", "2", "1.7"}, PackageTexts{"N", "é", "1.7"},
                           PackageTexts{"N", "2", "1\xB7"}}) {
        auto h = makeHeader(t);
        ASSERT_FALSE(h.ok());
        EXPECT_EQ(h.error().code, ErrorCode::BadText);
    }
    // Past the characters that are used, anything goes.
    EXPECT_TRUE(makeHeader({"N中", "2", "1.7中"}).ok());
}

TEST(PackageFormat, nibbleSwapIsItsOwnInverseAtEveryLength) {
    EXPECT_EQ(nibbleSwap(std::uint8_t{0x1F}), 0xF1);
    EXPECT_EQ(nibbleSwap(std::uint8_t{0xA5}), 0x5A);
    for (std::uint8_t fixed : {0x00, 0xFF, 0x33}) {
        EXPECT_EQ(nibbleSwap(fixed), fixed);
    }
    // Lengths around vector widths catch a wrong tail loop.
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 31u, 33u, 4097u}) {
        const Bytes original = test::randomBytes(n, static_cast<unsigned>(n));
        Bytes swapped(n), back(n);
        nibbleSwap(original.data(), swapped.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(swapped[i], nibbleSwap(original[i])) << "n=" << n << " i=" << i;
        }
        nibbleSwap(swapped.data(), back.data(), n);
        EXPECT_EQ(back, original);
        nibbleSwap(back.data(), back.data(), n); // in place
        EXPECT_EQ(back, swapped);
    }
}

TEST(PackageFormat, bcdAndWeekdays) {
    for (int v : {0, 7, 9, 10, 29, 59, 99}) {
        EXPECT_EQ(fromBcd(toBcd(v)), v);
    }
    EXPECT_EQ(toBcd(2010), 0x10);
    EXPECT_EQ(toBcd(59), 0x59);
    // 1 = Monday ... 7 = Sunday.
    EXPECT_EQ(weekdayOf(2010, 4, 25), 7);
    EXPECT_EQ(weekdayOf(2009, 12, 31), 4);
    EXPECT_EQ(weekdayOf(2026, 12, 7), 1);
    EXPECT_EQ(weekdayOf(2000, 2, 29), 2);
    EXPECT_EQ(weekdayOf(1970, 1, 1), 4);
    EXPECT_EQ(weekdayOf(2100, 3, 1), 1);
}

TEST(PackageFormat, dateTextAsThePanelShowsIt) {
    const std::uint8_t t[7] = {0x44, 0x29, 0x03, 0x29, 0x04, 0x00, 0x10};
    EXPECT_EQ(formatDateText(t), "2010年4月29日3时29分44秒");
    const std::uint8_t notBcd[7] = {0x00, 0x3C, 0x00, 0x01, 0x01, 0x07, 0x26};
    EXPECT_EQ(formatDateText(notBcd), "2026年1月1日0时3C分0秒");
}

TEST(PackageFormat, detailsFromShortAndOddFiles) {
    TempDir dir;
    const auto path = dir / "RQ_CPU.cpu";

    // 15 bytes: the date bytes are offsets 8..14, the last byte included.
    test::writeBytes(
        path, {0x4E, 0x31, 0x37, 0x00, 0, 0, 0, 0x32, 0x44, 0x29, 0x03, 0x29, 0x04, 0x00, 0x10});
    auto d = readPackageDetails(path);
    ASSERT_TRUE(d.ok()) << d.error().message;
    EXPECT_EQ(d->model, "N2");
    EXPECT_EQ(d->cpuVersion, "17");
    EXPECT_EQ(d->dateText, "2010年4月29日3时29分44秒");

    // A model letter 0 empties the model even when the card version is set.
    test::writeBytes(path, {0x00, 0x31, 0x2E, 0x37, 0, 0, 0, 0x32, 1, 1, 1, 1, 1, 1, 1, 0xAA});
    d = readPackageDetails(path);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->model, "");
    EXPECT_EQ(d->cpuVersion, "1.7");

    for (std::size_t n = 0; n < 15; ++n) {
        test::writeBytes(path, Bytes(n, 0x41));
        d = readPackageDetails(path);
        ASSERT_FALSE(d.ok()) << n;
        EXPECT_EQ(d.error().code, ErrorCode::FileTooShort) << n;
    }
    EXPECT_EQ(readPackageDetails(dir / "missing.cpu").error().code, ErrorCode::FileMissing);
    EXPECT_FALSE(readPackageDetails(dir.path()).ok()); // a directory is not a package
}

TEST(PackageFormat, detailsOfALargePackageComeFromItsTrailer) {
    TempDir dir;
    const auto path = dir / "RQ_CPU.cpu";
    test::writeBytes(path, package(test::randomBytes(100000, 1), {"T", "3", "2.1"},
                                   DateTime{2026, 12, 6, 14, 3, 9, 7}));
    auto d = readPackageDetails(path);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->model, "T3");
    EXPECT_EQ(d->cpuVersion, "2.1");
    EXPECT_EQ(d->dateText, "2026年12月6日14时3分9秒");
}

TEST(PackageFormat, inspectRecoversTheImageAndChecksTheEndMark) {
    TempDir dir;
    const auto path = dir / "p.cpu";
    const Bytes image = test::randomBytes(5000, 7);
    Bytes bytes = package(image, {}, kSunday2010);
    test::writeBytes(path, bytes);

    auto info = inspectPackage(path);
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->imageSize, 5000u);
    EXPECT_TRUE(info->endMarkOk);
    EXPECT_EQ(*recoverImage(path), image);

    bytes.back() = 0x00;
    test::writeBytes(path, bytes);
    EXPECT_FALSE(inspectPackage(path)->endMarkOk);

    for (std::size_t n : {0u, 8u, 15u, 16u}) {
        test::writeBytes(path, Bytes(n, 0xAA));
        EXPECT_EQ(inspectPackage(path).error().code, ErrorCode::FileTooShort) << n;
        EXPECT_EQ(recoverImage(path).error().code, ErrorCode::FileTooShort) << n;
    }
}

TEST(FileIo, readWholeFileSaysWhy) {
    TempDir dir;
    EXPECT_EQ(readWholeFile(dir / "nope", 10).error().code, ErrorCode::FileMissing);
    EXPECT_EQ(readWholeFile(dir.path(), 10).error().code, ErrorCode::FileMissing);
    test::writeBytes(dir / "f", test::randomBytes(11, 1));
    EXPECT_EQ(readWholeFile(dir / "f", 10).error().code, ErrorCode::FileTooLarge);
    EXPECT_EQ(readWholeFile(dir / "f", 11)->size(), 11u);
}
