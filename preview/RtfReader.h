// A small reader for rich text (RTF) as the preview pane shows it: paragraphs with their
// alignment, and runs of text that are bold, italic or underlined. Font and colour tables,
// pictures, fields' instructions and every unknown destination are skipped.
#pragma once

#include "common/Result.h"

#include <cstddef>
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
    std::string plainText() const; // paragraphs joined by "\n"
};

// Groups nested deeper than this are refused: no real document needs them, and each
// level costs the reader memory.
inline constexpr std::size_t kMaxRtfGroupDepth = 256;

// True when data opens like rich text: "{\rtf", after an optional UTF-8 byte-order mark
// and blanks.
bool looksLikeRtf(std::string_view data);

// Reads rich text. BadText (with the offset) when data does not open like rich text or
// nests its groups deeper than kMaxRtfGroupDepth; input cut short (groups left open) is
// read as far as it goes. Never reads past data, whatever it holds.
Result<RtfDocument> readRtf(std::string_view data);

} // namespace cpuconfig
