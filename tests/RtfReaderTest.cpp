#include "preview/RtfReader.h"

#include <gtest/gtest.h>

namespace cpuconfig {
namespace {

RtfDocument read(std::string_view rtf) {
    auto doc = readRtf(rtf);
    EXPECT_TRUE(doc.ok()) << (doc.ok() ? "" : doc.error().message);
    return doc.ok() ? std::move(doc).value() : RtfDocument{};
}

TEST(RtfReader, readsParagraphsAndCharacterFormats) {
    const auto doc = read("{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}"
                          "{\\colortbl;\\red255\\green0\\blue0;}"
                          "\\pard Plain {\\b bold} \\i italic\\i0  \\ul under\\ulnone\\par"
                          "\\qc second\\par}");
    ASSERT_EQ(doc.paragraphs.size(), 2u);
    EXPECT_EQ(doc.paragraphs[0].runs, (std::vector<RtfRun>{{"Plain ", false, false, false},
                                                           {"bold", true, false, false},
                                                           {" ", false, false, false},
                                                           {"italic", false, true, false},
                                                           {" ", false, false, false},
                                                           {"under", false, false, true}}));
    EXPECT_EQ(doc.paragraphs[0].alignment, RtfAlignment::Left);
    EXPECT_EQ(doc.paragraphs[1].plainText(), "second");
    EXPECT_EQ(doc.paragraphs[1].alignment, RtfAlignment::Centre);
}

struct TextCase {
    const char* name;
    const char* rtf;
    const char* text; // paragraphs joined by "\n"
};

class RtfText : public ::testing::TestWithParam<TextCase> {};

TEST_P(RtfText, showsWhatAReaderSees) {
    EXPECT_EQ(read(GetParam().rtf).plainText(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtfText,
    ::testing::Values(
        TextCase{"Empty", "{\\rtf1}", ""},
        TextCase{"EmptyParagraphsKept", "{\\rtf1 a\\par\\par b}", "a\n\nb"},
        TextCase{"Escapes", "{\\rtf1 \\{x\\} \\\\}", "{x} \\"},
        TextCase{"HexCp1252", "{\\rtf1\\ansi\\ansicpg1252 caf\\'e9 \\'80}",
                 "caf\xC3\xA9 \xE2\x82\xAC"},
        TextCase{"HexGbk", "{\\rtf1\\ansi\\ansicpg936 \\'d6\\'d0\\'ce\\'c4}",
                 "\xE4\xB8\xAD\xE6\x96\x87"},
        TextCase{"RawGbkBytes", "{\\rtf1\\ansicpg936 \xD6\xD0}", "\xE4\xB8\xAD"},
        TextCase{"UnicodeWithFallback", "{\\rtf1 \\u20013?x}",
                 "\xE4\xB8\xAD"
                 "x"},
        TextCase{"UnicodeUc2HexFallback", "{\\rtf1\\uc2 \\u20013\\'d6\\'d0x}",
                 "\xE4\xB8\xAD"
                 "x"},
        TextCase{"SurrogatePair", "{\\rtf1 \\u-10179?\\u-8704?}", "\xF0\x9F\x98\x80"},
        TextCase{"FallbackEndsAtGroup", "{\\rtf1\\uc3 {\\u65 x}yz}", "Ayz"},
        TextCase{"StarDestinationSkipped", "{\\rtf1 a{\\*\\generator Writer;}b}", "ab"},
        TextCase{"FieldShowsResult", "{\\rtf1 {\\field{\\*\\fldinst HYPERLINK x}{\\fldrslt link}}}",
                 "link"},
        TextCase{"LineAndTab", "{\\rtf1 a\\line b\\tab c}",
                 "a\xE2\x80\xA8"
                 "b\tc"},
        TextCase{"EscapedNewlineIsPar", "{\\rtf1 a\\\nb}", "a\nb"},
        TextCase{"BinSkipped", "{\\rtf1 a\\bin3 }}}b}", "ab"},
        TextCase{"BinPastTheEnd", "{\\rtf1 a\\bin99999999 xyz", "a"},
        TextCase{"UnclosedGroups", "{\\rtf1 a{\\b b", "ab"},
        TextCase{"TextAfterEndIgnored", "{\\rtf1 a}b{c}", "a"},
        TextCase{"DanglingBackslash", "{\\rtf1 a\\", "a"},
        TextCase{"HexCutAtEnd", "{\\rtf1 a\\'4", "a4"},
        TextCase{"BadHexIgnored", "{\\rtf1 a\\'zzb}", "azzb"},
        TextCase{"HugeParameterClamped", "{\\rtf1\\b99999999999999999999 a\\b0 b}", "ab"},
        TextCase{"LeadingBomAndBlanks", "\xEF\xBB\xBF \r\n{\\rtf1 a}", "a"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(RtfReader, formattingEndsWithItsGroup) {
    const auto doc = read("{\\rtf1 {\\b\\i both}{\\ul u}\\b b\\plain p}");
    ASSERT_EQ(doc.paragraphs.size(), 1u);
    EXPECT_EQ(doc.paragraphs[0].runs, (std::vector<RtfRun>{{"both", true, true, false},
                                                           {"u", false, false, true},
                                                           {"b", true, false, false},
                                                           {"p", false, false, false}}));
}

TEST(RtfReader, pardResetsAlignmentOfTheNextParagraph) {
    const auto doc = read("{\\rtf1\\qr right\\par\\pard left\\par\\qj\\qc centre}");
    ASSERT_EQ(doc.paragraphs.size(), 3u);
    EXPECT_EQ(doc.paragraphs[0].alignment, RtfAlignment::Right);
    EXPECT_EQ(doc.paragraphs[1].alignment, RtfAlignment::Left);
    EXPECT_EQ(doc.paragraphs[2].alignment, RtfAlignment::Centre);
}

struct RejectCase {
    const char* name;
    std::string data;
};

class RtfRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RtfRejects, withAReason) {
    const auto doc = readRtf(GetParam().data);
    ASSERT_FALSE(doc.ok());
    EXPECT_EQ(doc.error().code, ErrorCode::BadText);
    EXPECT_FALSE(doc.error().message.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RtfRejects,
    ::testing::Values(RejectCase{"PlainText", "just text"}, RejectCase{"NotRtfWord", "{\\rt"},
                      RejectCase{"DeepNesting", "{\\rtf1 " + std::string(100000, '{') + "x"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(RtfReader, nestingUpToTheLimitIsRead) {
    const std::size_t inner = kMaxRtfGroupDepth - 1; // the document's own group is one
    const std::string rtf =
        "{\\rtf1 " + std::string(inner, '{') + "\\b deep" + std::string(inner, '}') + " flat}";
    const auto doc = read(rtf);
    ASSERT_EQ(doc.paragraphs.size(), 1u);
    EXPECT_EQ(doc.paragraphs[0].runs.front(), (RtfRun{"deep", true, false, false}));
    EXPECT_EQ(doc.plainText(), "deep flat");
    EXPECT_FALSE(readRtf("{\\rtf1 " + std::string(inner + 1, '{') + "x}").ok());
}

} // namespace
} // namespace cpuconfig
