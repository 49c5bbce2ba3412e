// Rich text from word processors set to other languages: each font's character set decides
// how its bytes read, the Symbol font draws letters and signs, and reading stops at the
// shown limit.
#include "preview/RtfReader.h"

#include <gtest/gtest.h>

namespace cpuconfig {
namespace {

// One font for each character set the rows use; a row that is not a whole document is
// read inside a document with these fonts.
constexpr const char* kFonts =
    R"({\rtf1\ansi\ansicpg1252{\fonttbl{\f0\fcharset204 Arial;}{\f1\fcharset161 Arial;})"
    R"({\f2\fcharset238 Arial;}{\f3\fcharset128 MS Mincho;}{\f4\fcharset129 Gulim;})"
    R"({\f5\fcharset136 MingLiU;}{\f6\fcharset134 SimSun;}{\f7\fcharset2 Symbol;})"
    R"({\f9 Symbol;}{\f10\fcharset162 A;}{\f11\fcharset177 A;}{\f12\fcharset178 A;})"
    R"({\f13\fcharset186 A;}{\f14\fcharset222 A;}{\f15\fcharset163 A;}})";

struct CodePageCase {
    const char* name;
    std::string rtf;
    const char* text;
};

const CodePageCase kCases[] = {
    {"Cyrillic", R"(\f0 \'cf\'f0\'e8\'e2\'e5\'f2)", "Привет"},
    {"Greek", R"(\f1 \'c3\'e5\'e9\'dc)", "Γειά"},
    {"ShiftJisTrailIsBackslash", R"(\f3 \'93\'fa\'96\'7b\'95\\)", "日本表"},
    {"Big5TrailIsPlainLetter", R"(\f5 \'a4\'a4\'c1c)", "中繁"},
    {"Gbk", R"(\f6 \'d6\'d0\'ce\'c4)", "中文"},
    {"TurkishHebrewArabicBalticThaiVietnamese",
     R"(\f10\'f0\f11\'f9\f12\'d3\f13\'e0\f14\'e4\f15\'d0)", "ğשسąไĐ"},
    {"FontsSwitchMidParagraph", R"(\f0 \'cf\'f0\'e8\'e2\'e5\'f2 \f1 \'e1\'e2 {\f6 \'d6\'d0}\'e3)",
     "Привет αβ 中γ"},
    {"DefaultCharsetTakesTheDocuments",
     R"({\rtf1\ansi\ansicpg1251{\fonttbl{\f0\fcharset1 Arial;}}\f0 \'cf})", "П"},
    {"NoCodePageAnywhereIsGbk", R"({\rtf1\ansi \'d6\'d0})", "中"},
    {"FontCharsetBeforeDocumentsAndDeff",
     R"({\rtf1\ansi\ansicpg936\deff0{\fonttbl{\f0\fcharset0 Arial;}}caf\'e9})", "café"},
    {"MacDocument", R"({\rtf1\mac \'8e})", "é"},
    {"PlainReturnsToTheDefaultFont",
     R"({\rtf1\deff0{\fonttbl{\f0\fcharset204 A;}{\f1\fcharset161 B;}}\f1 \'e1\plain\'e1})", "αб"},
    {"SymbolByCharset", R"(\f7 <Ab\'e5)", "<Αβ∑"},
    {"SymbolUnicodeKeptOrMapped", R"(\f7\u945?\u-3999?)", "αα"},
    {"UnmappableIsReplaced", R"(\f6 \'81\'20x)", "\uFFFD x"},
    {"CodePageThePlatformLacks", R"({\rtf1\ansicpg99 \'e9a\par b})", "\uFFFDa\nb"},
};

TEST(RtfCodePage, decodesEachFontInItsCharacterSet) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string rtf = c.rtf.starts_with("{") ? c.rtf : kFonts + c.rtf + "}";
        const auto doc = readRtf(rtf);
        ASSERT_TRUE(doc.ok());
        EXPECT_EQ(doc->plainText(), c.text);
    }
}

TEST(RtfCodePage, readingStopsAtTheShownLimit) {
    std::string rtf = R"({\rtf1\ansicpg1251 )";
    for (int i = 0; i < 50; ++i) {
        rtf += R"({\b \'cf} line )" + std::to_string(i) + R"(\par )";
    }
    const auto whole = readRtf(rtf + "}");
    ASSERT_TRUE(whole.ok());
    std::size_t cost = 0;
    for (const auto& paragraph : whole->paragraphs) {
        cost += kRtfPieceCost * (paragraph.runs.size() + 1) + paragraph.plainText().size();
    }
    EXPECT_FALSE(readRtf(rtf + "}", cost)->cut);
    for (const std::size_t limit :
         {std::size_t{1}, std::size_t{33}, std::size_t{500}, cost - kRtfPieceCost - 1}) {
        SCOPED_TRACE(limit);
        const auto part = readRtf(rtf + "}", limit);
        EXPECT_TRUE(part->cut);
        EXPECT_LT(part->plainText().size(), whole->plainText().size());
        EXPECT_TRUE(whole->plainText().starts_with(part->plainText()));
    }
}

} // namespace
} // namespace cpuconfig
