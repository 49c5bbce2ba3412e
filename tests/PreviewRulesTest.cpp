#include "preview/PreviewRules.h"

#include <gtest/gtest.h>

namespace cpuconfig {
namespace {

struct ExtCase {
    const char* path;
    const char* ext;
};

class CurrentExt : public ::testing::TestWithParam<ExtCase> {};

TEST_P(CurrentExt, isTheLoweredPartAfterTheLastDotOfTheName) {
    EXPECT_EQ(currentExt(GetParam().path), GetParam().ext) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CurrentExt,
    ::testing::Values(ExtCase{"C:\\PICS\\PHOTO.BMP", "bmp"}, ExtCase{"/home/t/PHOTO.BMP", "bmp"},
                      ExtCase{"/home/t/README", ""}, ExtCase{"C:\\fw.v2\\image", ""},
                      ExtCase{"/srv/fw.v2/image.Bin", "bin"}, ExtCase{"C:README", ""},
                      ExtCase{"C:.profile", "profile"}, ExtCase{"archive.tar.GZ", "gz"},
                      ExtCase{"", ""}, ExtCase{"/tmp/", ""}));

TEST(PreviewExtensions, arePicturesThenTheTenFixedOnes) {
    const auto list = previewExtensions({"bmp", "ICO", "emf", "wmf", "bmp", ""});
    const std::vector<std::string> expected{"bmp", "ico", "emf", "wmf", "txt", "ini", "inf",
                                            "bat", "log", "pas", "dpr", "dpk", "rtf", "wav"};
    EXPECT_EQ(list, expected);
}

struct KindCase {
    const char* ext;
    BuiltInKind kind;
};

class Kind : public ::testing::TestWithParam<KindCase> {};

TEST_P(Kind, picturesFirstThenTextThenSound) {
    EXPECT_EQ(builtInKind(GetParam().ext, {"bmp", "png", "ini"}), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Exts, Kind,
    ::testing::Values(KindCase{"BMP", BuiltInKind::Picture}, KindCase{"ini", BuiltInKind::Picture},
                      KindCase{"TXT", BuiltInKind::Text}, KindCase{"rtf", BuiltInKind::Text},
                      KindCase{"dpk", BuiltInKind::Text}, KindCase{"Wav", BuiltInKind::Sound},
                      KindCase{"bin", BuiltInKind::None}, KindCase{"", BuiltInKind::None}));

struct BlankCase {
    int viewerHeight;
    int fontPixelHeight;
    int lines;
};

class BlankLines : public ::testing::TestWithParam<BlankCase> {};

TEST_P(BlankLines, centreAOneLineMessage) {
    const auto& c = GetParam();
    EXPECT_EQ(centeredMessageBlankLines(c.viewerHeight, c.fontPixelHeight), c.lines);
}

INSTANTIATE_TEST_SUITE_P(Heights, BlankLines,
                         ::testing::Values(BlankCase{150, 13, 4}, // (146/13=11)/2-1
                                           BlankCase{150, -13, 4}, BlankCase{0, 13, 0},
                                           BlankCase{56, 13, 1}, BlankCase{55, 13, 0},
                                           BlankCase{300, 0, 0}));

struct PlaceCase {
    const char* name;
    PictureSize picture;
    PictureSize control;
    bool scaleToFit;
    PicturePlacement expected;
};

class PlacePicture : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(PlacePicture, followsTheScaleRules) {
    const auto& c = GetParam();
    const auto got = placePicture(c.picture, c.control, c.scaleToFit);
    EXPECT_EQ(got, c.expected) << got.x << "," << got.y << " " << got.width << "x" << got.height
                               << (got.controlTakesPictureSize ? " grows" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlacePicture,
    ::testing::Values(
        PlaceCase{"WideScaledToFit", {800, 600}, {200, 150}, true, {0, 0, 200, 150, false}},
        PlaceCase{"WideNaturalScrolls", {800, 600}, {200, 150}, false, {0, 0, 800, 600, true}},
        PlaceCase{"SmallCentredDown", {100, 50}, {200, 150}, true, {50, 50, 100, 50, false}},
        PlaceCase{"TallScaled", {300, 900}, {200, 150}, true, {75, 0, 50, 150, false}},
        PlaceCase{"VeryWideHeightLimited", {1000, 100}, {200, 150}, true, {0, 65, 200, 20, false}},
        PlaceCase{"WideButShortArea", {400, 300}, {400, 100}, true, {133, 0, 133, 100, false}},
        PlaceCase{"TallButNarrowArea", {100, 400}, {50, 400}, true, {0, 100, 50, 200, false}},
        PlaceCase{"OnlyTallerThanArea", {100, 400}, {200, 150}, true, {81, 0, 37, 150, false}},
        PlaceCase{"ExactFitNotScaled", {200, 150}, {200, 150}, true, {0, 0, 200, 150, false}},
        PlaceCase{"OddCentring", {101, 51}, {200, 150}, true, {49, 49, 101, 51, false}},
        PlaceCase{"NoWidthNotScaled", {0, 900}, {200, 150}, true, {100, -375, 0, 900, false}},
        PlaceCase{"NoHeight", {900, 0}, {200, 150}, true, {100, 75, 0, 0, false}}),
    [](const auto& p) { return std::string(p.param.name); });

struct DecodeCase {
    const char* name;
    std::string bytes;
    bool cut;
    std::string text;
};

class DecodeText : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeText, givesTheViewerUtf8) {
    const auto& c = GetParam();
    EXPECT_EQ(decodeTextFile(c.bytes, c.cut), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, DecodeText,
    ::testing::Values(
        DecodeCase{"Ascii", "abc\r\n", false, "abc\r\n"},
        DecodeCase{"Utf8", "\xE4\xB8\xAD\xE6\x96\x87", false, "\xE4\xB8\xAD\xE6\x96\x87"},
        DecodeCase{"Utf8Bom", "\xEF\xBB\xBFok", false, "ok"},
        DecodeCase{"Gbk", "\xD6\xD0\xCE\xC4", false, "\xE4\xB8\xAD\xE6\x96\x87"},
        DecodeCase{"Utf16Le",
                   std::string("\xFF\xFE"
                               "A\0\x2D\x4E",
                               6),
                   false, "A\xE4\xB8\xAD"},
        DecodeCase{"Utf16Be", std::string("\xFE\xFF\0A\x4E\x2D", 6), false, "A\xE4\xB8\xAD"},
        DecodeCase{"Utf16LoneSurrogate",
                   std::string("\xFF\xFE\x00\xD8"
                               "A\0",
                               6),
                   false,
                   "\xEF\xBF\xBD"
                   "A"},
        DecodeCase{"Utf8CutAtLimit", "ab\xE4\xB8", true, "ab"},
        DecodeCase{"Utf8CutWithoutLimitIsGbk", "ab\xE4\xB8", false, "ab\xE6\xB6\x93"},
        DecodeCase{"GbkCutAtLimit", "\xD6\xD0\xCE", true, "\xE4\xB8\xAD"},
        DecodeCase{"Nul", std::string("a\0b", 3), false,
                   "a\xEF\xBF\xBD"
                   "b"}),

    [](const auto& p) { return std::string(p.param.name); });

} // namespace
} // namespace cpuconfig
