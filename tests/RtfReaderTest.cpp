// Rich text as the preview reads it: paragraphs and formats, what a reader sees, the
// documents it refuses; each font's character set decides how its bytes read, the Symbol
// font draws letters and signs, and reading stops at the shown limit.
#include "preview/RtfReader.h"

#include <gtest/gtest.h>

namespace cpuconfig {
namespace {

RtfDocument read(std::string_view rtf) {
    auto doc = readRtf(rtf);
    EXPECT_TRUE(doc.ok()) << (doc.ok() ? "" : doc.error().message);
    return doc.ok() ? std::move(doc).value() : RtfDocument{};
}

// Each paragraph as its alignment's letter, then its runs: [text], after * if bold, / if
// italic, _ if underlined.
std::string layout(const RtfDocument& doc) {
    std::string s;
    for (const auto& p : doc.paragraphs) {
        s += "LCRJ"[static_cast<int>(p.alignment)];
        for (const auto& r : p.runs) {
            s += std::string(r.bold ? "*" : "") + (r.italic ? "/" : "") + (r.underline ? "_" : "") +
                 "[" + r.text + "]";
        }
    }
    return s;
}

// Formats end with their group; \pard resets the alignment of the next paragraph.
TEST(RtfReader, paragraphsAndCharacterFormats) {
    const std::string deep(kMaxRtfGroupDepth - 1, '{'), undeep(kMaxRtfGroupDepth - 1, '}');
    const std::pair<std::string, const char*> cases[] = {
        {"{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}{\\colortbl;\\red255\\green0\\blue0;}"
         "\\pard Plain {\\b bold} \\i italic\\i0  \\ul under\\ulnone\\par\\qc second\\par}",
         "L[Plain ]*[bold][ ]/[italic][ ]_[under]C[second]"},
        {"{\\rtf1 {\\b\\i both}{\\ul u}\\b b\\plain p}", "L*/[both]_[u]*[b][p]"},
        {"{\\rtf1\\qr right\\par\\pard left\\par\\qj\\qc centre}", "R[right]L[left]C[centre]"},
        // Nesting up to the limit is read (the document's own group is one).
        {"{\\rtf1 " + deep + "\\b deep" + undeep + " flat}", "L*[deep][ flat]"},
    };
    for (const auto& [rtf, expected] : cases) {
        EXPECT_EQ(layout(read(rtf)), expected) << rtf.substr(0, 60);
    }
}

TEST(RtfReader, showsWhatAReaderSees) {
    const char* cases[][2] = {
        {"{\\rtf1}", ""},
        {"{\\rtf1 a\\par\\par b}", "a\n\nb"}, // empty paragraphs are kept
        {"{\\rtf1 \\{x\\} \\\\}", "{x} \\"},
        {"{\\rtf1\\ansi\\ansicpg1252 caf\\'e9 \\'80}", "café €"},
        {"{\\rtf1\\ansi\\ansicpg936 \\'d6\\'d0\\'ce\\'c4}", "中文"},
        {"{\\rtf1\\ansicpg936 \xD6\xD0}", "中"}, // raw GBK bytes
        {"{\\rtf1 \\u20013?x}", "中x"},
        {"{\\rtf1\\uc2 \\u20013\\'d6\\'d0x}", "中x"},
        {"{\\rtf1 \\u-10179?\\u-8704?}", "😀"},
        {"{\\rtf1\\uc3 {\\u65 x}yz}", "Ayz"}, // the fallback ends at the group
        {"{\\rtf1 a{\\*\\generator Writer;}b}", "ab"},
        {"{\\rtf1 {\\field{\\*\\fldinst HYPERLINK x}{\\fldrslt link}}}", "link"},
        {"{\\rtf1 a\\line b\\tab c}", "a\u2028b\tc"},
        {"{\\rtf1 a\\\nb}", "a\nb"},
        {"{\\rtf1 a\\bin3 }}}b}", "ab"},
        {"{\\rtf1 a\\bin99999999 xyz", "a"},
        {"{\\rtf1 a{\\b b", "ab"}, // unclosed groups
        {"{\\rtf1 a}b{c}", "a"},
        {"{\\rtf1 a\\", "a"},
        {"{\\rtf1 a\\'4", "a4"},
        {"{\\rtf1 a\\'zzb}", "azzb"},
        {"{\\rtf1\\b99999999999999999999 a\\b0 b}", "ab"},
        {"\xEF\xBB\xBF \r\n{\\rtf1 a}", "a"}};
    for (const auto& c : cases) {
        EXPECT_EQ(read(c[0]).plainText(), c[1]) << c[0];
    }
}

TEST(RtfReader, refusesWhatIsNotRichText) {
    for (const std::string& data : {std::string("just text"), std::string("{\\rt"),
                                    "{\\rtf1 " + std::string(kMaxRtfGroupDepth, '{') + "x}"}) {
        const auto doc = readRtf(data);
        ASSERT_FALSE(doc.ok()) << data.substr(0, 20);
        EXPECT_EQ(doc.error().code, ErrorCode::BadText);
        EXPECT_FALSE(doc.error().message.empty());
    }
}

// One font for each character set the rows use; a row that is not a whole document is
// read inside a document with these fonts.
constexpr const char* kFonts =
    R"({\rtf1\ansi\ansicpg1252{\fonttbl{\f0\fcharset204 Arial;}{\f1\fcharset161 Arial;})"
    R"({\f2\fcharset238 Arial;}{\f3\fcharset128 MS Mincho;}{\f4\fcharset129 Gulim;})"
    R"({\f5\fcharset136 MingLiU;}{\f6\fcharset134 SimSun;}{\f7\fcharset2 Symbol;})"
    R"({\f9 Symbol;}{\f10\fcharset162 A;}{\f11\fcharset177 A;}{\f12\fcharset178 A;})"
    R"({\f13\fcharset186 A;}{\f14\fcharset222 A;}{\f15\fcharset163 A;}})";

TEST(RtfCodePage, decodesEachFontInItsCharacterSet) {
    const std::pair<std::string, const char*> cases[] = {
        {R"(\f0 \'cf\'f0\'e8\'e2\'e5\'f2)", "Привет"},
        {R"(\f1 \'c3\'e5\'e9\'dc)", "Γειά"},
        // Shift-JIS and Big5 trail bytes that are a backslash or a letter.
        {R"(\f3 \'93\'fa\'96\'7b\'95\\)", "日本表"},
        {R"(\f5 \'a4\'a4\'c1c)", "中繁"},
        {R"(\f6 \'d6\'d0\'ce\'c4)", "中文"},
        {R"(\f10\'f0\f11\'f9\f12\'d3\f13\'e0\f14\'e4\f15\'d0)", "ğשسąไĐ"},
        {R"(\f0 \'cf\'f0\'e8\'e2\'e5\'f2 \f1 \'e1\'e2 {\f6 \'d6\'d0}\'e3)", "Привет αβ 中γ"},
        // A font's default set takes the document's code page (none anywhere: GBK), a font's
        // own set goes before the document's and \deff; \mac; \plain returns to the default font.
        {R"({\rtf1\ansi\ansicpg1251{\fonttbl{\f0\fcharset1 Arial;}}\f0 \'cf})", "П"},
        {R"({\rtf1\ansi \'d6\'d0})", "中"},
        {R"({\rtf1\ansi\ansicpg936\deff0{\fonttbl{\f0\fcharset0 Arial;}}caf\'e9})", "café"},
        {R"({\rtf1\mac \'8e})", "é"},
        {R"({\rtf1\deff0{\fonttbl{\f0\fcharset204 A;}{\f1\fcharset161 B;}}\f1 \'e1\plain\'e1})",
         "αб"},
        // The Symbol font draws letters and signs; its Unicode is kept or mapped.
        {R"(\f7 <Ab\'e5)", "<Αβ∑"},
        {R"(\f7\u945?\u-3999?)", "αα"},
        // A SYMBOL field shows the character it names, through the font it names, once,
        // whatever result Word kept; another field shows its result.
        {R"(a{\field{\*\fldinst SYMBOL 65 \\f "Symbol" \\s 12}{\fldrslt }}b)", "aΑb"},
        {R"(a{\field{\*\fldinst SYMBOL 0xB1 \\f Symbol}{\fldrslt\f7 \'b1}})", "a±"},
        {R"(a{\field{\*\fldinst {SYMBOL 97} \\f "symbol"}})", "aα"},
        {R"(a{\field{\*\fldinst SYMBOL 54992 \\f "SimSun"}})", "a中"},
        {R"(a{\field{\*\fldinst SYMBOL 8364 \\u}}{\field{\fldinst SYMBOL 33440 \\j}})", "a€あ"},
        {R"(a{\field{\*\fldinst SYMBOL 0x1G}{\fldrslt kept}}{\field{\*\fldinst PAGE}})", "akept"},
        // Unmappable bytes, and all of a code page the platform lacks, become U+FFFD.
        {R"(\f6 \'81\'20x)", "\uFFFD x"},
        {R"({\rtf1\ansicpg99 \'e9a\par b})", "\uFFFDa\nb"},
    };
    for (const auto& [rtf, shown] : cases) {
        EXPECT_EQ(read(rtf.starts_with("{") ? rtf : kFonts + rtf + "}").plainText(), shown) << rtf;
    }
}

TEST(RtfCodePage, readingStopsAtTheShownLimit) {
    std::string rtf = R"({\rtf1\ansicpg1251 )";
    for (int i = 0; i < 50; ++i) {
        rtf += R"({\b \'cf} line )" + std::to_string(i) + R"(\par )";
    }
    rtf += "}";
    const auto whole = read(rtf);
    std::size_t cost = 0;
    for (const auto& paragraph : whole.paragraphs) {
        cost += kRtfPieceCost * (paragraph.runs.size() + 1) + paragraph.plainText().size();
    }
    EXPECT_FALSE(readRtf(rtf, cost)->cut);
    for (const std::size_t limit :
         {std::size_t{1}, std::size_t{33}, std::size_t{500}, cost - kRtfPieceCost - 1}) {
        SCOPED_TRACE(limit);
        const auto part = readRtf(rtf, limit);
        EXPECT_TRUE(part->cut);
        EXPECT_LT(part->plainText().size(), whole.plainText().size());
        EXPECT_TRUE(whole.plainText().starts_with(part->plainText()));
    }
}

} // namespace
} // namespace cpuconfig
