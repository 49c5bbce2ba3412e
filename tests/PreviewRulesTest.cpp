#include "preview/PreviewRules.h"

#include <gtest/gtest.h>

namespace cpuconfig {
namespace {

TEST(PreviewRules, extensionIsTheLoweredPartAfterTheLastDotOfTheName) {
    const char* cases[][2] = {{"C:\\PICS\\PHOTO.BMP", "bmp"},
                              {"/home/t/PHOTO.BMP", "bmp"},
                              {"/home/t/README", ""},
                              {"C:\\fw.v2\\image", ""},
                              {"/srv/fw.v2/image.Bin", "bin"},
                              {"C:README", ""},
                              {"C:.profile", "profile"},
                              {"archive.tar.GZ", "gz"},
                              {"", ""},
                              {"/tmp/", ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(currentExt(c[0]), c[1]) << c[0];
    }
}

TEST(PreviewRules, extensionsArePicturesThenTheTenFixedOnes) {
    EXPECT_EQ(previewExtensions({"bmp", "ICO", "emf", "wmf", "bmp", ""}),
              (std::vector<std::string>{"bmp", "ico", "emf", "wmf", "txt", "ini", "inf", "bat",
                                        "log", "pas", "dpr", "dpk", "rtf", "wav"}));
}

TEST(PreviewRules, kindIsPictureFirstThenTextThenSound) {
    const std::pair<const char*, BuiltInKind> cases[] = {
        {"BMP", BuiltInKind::Picture}, {"ini", BuiltInKind::Picture}, {"TXT", BuiltInKind::Text},
        {"rtf", BuiltInKind::Text},    {"dpk", BuiltInKind::Text},    {"Wav", BuiltInKind::Sound},
        {"bin", BuiltInKind::None},    {"", BuiltInKind::None}};
    for (const auto& [ext, kind] : cases) {
        EXPECT_EQ(builtInKind(ext, {"bmp", "png", "ini"}), kind) << ext;
    }
}

TEST(PreviewRules, blankLinesCentreAOneLineMessage) {
    // viewer height, font pixel height, blank lines: (146/13=11)/2-1 for the first.
    const int cases[][3] = {{150, 13, 4}, {150, -13, 4}, {0, 13, 0},
                            {56, 13, 1},  {55, 13, 0},   {300, 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(centeredMessageBlankLines(c[0], c[1]), c[2]) << c[0] << " " << c[1];
    }
}

TEST(PreviewRules, picturePlacementFollowsTheScaleRules) {
    const struct {
        const char* name;
        PictureSize picture, control;
        bool scaleToFit;
        PicturePlacement expected;
    } cases[] = {{"WideScaledToFit", {800, 600}, {200, 150}, true, {0, 0, 200, 150, false}},
                 {"WideNaturalScrolls", {800, 600}, {200, 150}, false, {0, 0, 800, 600, true}},
                 {"SmallCentredDown", {100, 50}, {200, 150}, true, {50, 50, 100, 50, false}},
                 {"TallScaled", {300, 900}, {200, 150}, true, {75, 0, 50, 150, false}},
                 {"VeryWideHeightLimited", {1000, 100}, {200, 150}, true, {0, 65, 200, 20, false}},
                 {"WideButShortArea", {400, 300}, {400, 100}, true, {133, 0, 133, 100, false}},
                 {"TallButNarrowArea", {100, 400}, {50, 400}, true, {0, 100, 50, 200, false}},
                 {"OnlyTallerThanArea", {100, 400}, {200, 150}, true, {81, 0, 37, 150, false}},
                 {"ExactFitNotScaled", {200, 150}, {200, 150}, true, {0, 0, 200, 150, false}},
                 {"OddCentring", {101, 51}, {200, 150}, true, {49, 49, 101, 51, false}},
                 {"NoWidthNotScaled", {0, 900}, {200, 150}, true, {100, -375, 0, 900, false}},
                 {"NoHeight", {900, 0}, {200, 150}, true, {100, 75, 0, 0, false}}};
    for (const auto& c : cases) {
        EXPECT_EQ(placePicture(c.picture, c.control, c.scaleToFit), c.expected) << c.name;
    }
}

TEST(PreviewRules, textFilesReachTheViewerAsUtf8) {
    using namespace std::string_literals; // rows with NUL bytes
    const struct {
        const char* name;
        std::string bytes;
        bool cut;
        std::string text;
    } cases[] = {{"Ascii", "abc\r\n", false, "abc\r\n"},
                 {"Utf8", "中文", false, "中文"},
                 {"Utf8Bom", "\xEF\xBB\xBFok", false, "ok"},
                 {"Gbk", "\xD6\xD0\xCE\xC4", false, "中文"},
                 {"Utf16Le", "\xFF\xFE\x41\0\x2D\x4E"s, false, "A中"},
                 {"Utf16Be", "\xFE\xFF\0A\x4E\x2D"s, false, "A中"},
                 {"Utf16LoneSurrogate", "\xFF\xFE\x00\xD8\x41\0"s, false, "\uFFFDA"},
                 {"Utf8CutAtLimit", "ab\xE4\xB8", true, "ab"},
                 {"Utf8CutWithoutLimitIsGbk", "ab\xE4\xB8", false, "ab\xE6\xB6\x93"},
                 {"GbkCutAtLimit", "\xD6\xD0\xCE", true, "中"},
                 {"Nul", "a\0b"s, false, "a\uFFFDb"}};
    for (const auto& c : cases) {
        EXPECT_EQ(decodeTextFile(c.bytes, c.cut), c.text) << c.name;
    }
}

} // namespace
} // namespace cpuconfig
