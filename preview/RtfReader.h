// A small reader for rich text (RTF) as the preview pane shows it: paragraphs with their
// alignment, and runs of text that are bold, italic or underlined. The font table is read
// for each font's character set, which decides how its bytes are decoded; colour tables,
// pictures and every unknown destination are skipped. A field shows its result, except a
// SYMBOL field (Word's Insert → Symbol), which shows the character its instruction names,
// through the font it names.
#pragma once

#include "common/Result.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cpuconfig {

struct RtfRun {
    std::string text; // UTF-8; U+2028 for a line break inside the paragraph
    bool bold = false;
    bool italic = false;
    bool underline = false;
    friend bool operator==(const RtfRun&, const RtfRun&) = default;
};

enum class RtfAlignment { Left, Centre, Right, Justify };

struct RtfParagraph {
    std::vector<RtfRun> runs;
    RtfAlignment alignment = RtfAlignment::Left;
    std::string plainText() const;
};

struct RtfDocument {
    std::vector<RtfParagraph> paragraphs;
    bool cut = false;              // the shown limit was reached and more text followed
    std::string plainText() const; // paragraphs joined by "\n"
};

// Groups nested deeper than this are refused: no real document needs them, and each
// level costs the reader memory.
inline constexpr std::size_t kMaxRtfGroupDepth = 256;

// True when data opens like rich text: "{\rtf", after an optional UTF-8 byte-order mark
// and blanks.
bool looksLikeRtf(std::string_view data);

// What a piece of the document costs a viewer besides its text, in bytes of text: each
// paragraph and each run is a block or a fragment to build and lay out.
inline constexpr std::size_t kRtfPieceCost = 32;

// The code page of text whose font and document name none: the ANSI code page of the
// Chinese Windows this tool is made for, as for plain text files.
inline constexpr unsigned kRtfFallbackCodePage = 936;

// Reads rich text. BadText (with the offset) when data does not open like rich text or
// nests its groups deeper than kMaxRtfGroupDepth; input cut short (groups left open) is
// read as far as it goes. Never reads past data, whatever it holds.
//
// Text bytes (\'hh and unescaped 8-bit characters) are decoded in the code page of the
// current font's character set (\fcharset, \cpg), else the document's (\ansicpg, \mac,
// \pc, \pca), else kRtfFallbackCodePage; a Symbol font's bytes map to the letters and
// signs it draws. A byte that does not map becomes U+FFFD.
//
// shownLimit bounds what a viewer is given (UTF-8 bytes of text plus kRtfPieceCost for
// each paragraph and run): reading stops there, and the document is marked cut when more
// text would have followed.
Result<RtfDocument> readRtf(std::string_view data, std::size_t shownLimit = SIZE_MAX);

} // namespace cpuconfig
