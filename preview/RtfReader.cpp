#include "preview/RtfReader.h"

#include "common/Gbk.h"
#include "common/Utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

namespace cpuconfig {

namespace {

// Windows-1252 for 0x80..0x9F; the rest of the upper half is Latin-1.
constexpr std::array<char16_t, 32> kCp1252High{
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

// Destinations whose text is not part of what a reader sees.
constexpr std::string_view kSkippedDestinations[] = {
    "fonttbl",      "colortbl",  "stylesheet", "info",     "pict",       "object",
    "objdata",      "header",    "headerl",    "headerr",  "headerf",    "footer",
    "footerl",      "footerr",   "footerf",    "fldinst",  "listtable",  "listoverridetable",
    "revtbl",       "rsidtbl",   "generator",  "xmlnstbl", "themedata",  "colorschememapping",
    "latentstyles", "datastore", "filetbl",    "footnote", "annotation", "private",
    "userprops",    "docvar",    "bkmkstart",  "bkmkend",  "atnid",      "atnauthor",
    "template",     "listtext",  "pntext",     "pntxta",   "pntxtb",     "mmathPr"};

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

struct GroupState {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool skip = false;   // inside a destination that is not shown
    int unicodeSkip = 1; // \ucN: fallback characters after each \u
};

class Reader {
public:
    explicit Reader(std::string_view data) : m_data(data) {}

    Result<RtfDocument> run();

private:
    void flushBytes();
    void output(std::string_view utf8);
    void outputCodePoint(char32_t cp);
    void endParagraph();
    void controlWord(std::string_view word, bool hasParam, long param);
    void controlSymbol(char c);
    // A fallback character after \u is consumed instead of shown.
    bool consumeFallback();

    std::string_view m_data;
    std::size_t m_pos = 0;
    std::vector<GroupState> m_stack;
    GroupState m_state;
    bool m_atGroupStart = false;
    int m_fallbackLeft = 0;
    char16_t m_highSurrogate = 0;
    bool m_gbk = false;
    std::string m_pendingBytes; // \'hh bytes in the document's code page, not yet decoded
    RtfDocument m_doc;
    RtfParagraph m_paragraph;
    RtfAlignment m_alignment = RtfAlignment::Left;
};

bool Reader::consumeFallback() {
    if (m_fallbackLeft > 0) {
        --m_fallbackLeft;
        return true;
    }
    return false;
}

void Reader::flushBytes() {
    if (m_pendingBytes.empty()) {
        return;
    }
    std::string text;
    if (m_gbk) {
        text = gbkToUtf8(m_pendingBytes);
    } else {
        for (char c : m_pendingBytes) {
            const auto b = static_cast<unsigned char>(c);
            appendUtf8(text, (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : b);
        }
    }
    m_pendingBytes.clear();
    output(text);
}

void Reader::output(std::string_view utf8) {
    if (m_state.skip || utf8.empty()) {
        return;
    }
    if (m_highSurrogate != 0) {
        m_highSurrogate = 0;
        outputCodePoint(0xFFFD);
    }
    auto& runs = m_paragraph.runs;
    if (runs.empty() || runs.back().bold != m_state.bold || runs.back().italic != m_state.italic ||
        runs.back().underline != m_state.underline) {
        runs.push_back(RtfRun{{}, m_state.bold, m_state.italic, m_state.underline});
    }
    runs.back().text += utf8;
}

void Reader::outputCodePoint(char32_t cp) {
    std::string s;
    appendUtf8(s, cp);
    output(s);
}

void Reader::endParagraph() {
    flushBytes();
    if (m_state.skip) {
        return;
    }
    m_paragraph.alignment = m_alignment;
    m_doc.paragraphs.push_back(std::move(m_paragraph));
    m_paragraph = {};
}

void Reader::controlSymbol(char c) {
    switch (c) {
    case '\\':
    case '{':
    case '}':
        flushBytes();
        if (!consumeFallback()) {
            output(std::string_view(&c, 1));
        }
        break;
    case '~':
        flushBytes();
        outputCodePoint(0x00A0);
        break;
    case '_':
        flushBytes();
        outputCodePoint(0x2011);
        break;
    case '\n':
    case '\r':
        endParagraph();
        break;
    case '*':
        if (m_atGroupStart) {
            m_state.skip = true;
        }
        break;
    default: // \- optional hyphen, \| formula and the rest show nothing
        break;
    }
}

void Reader::controlWord(std::string_view word, bool hasParam, long param) {
    if (m_atGroupStart) {
        for (auto skipped : kSkippedDestinations) {
            if (word == skipped) {
                m_state.skip = true;
                return;
            }
        }
    }
    const bool on = !hasParam || param != 0;
    if (word == "u") {
        flushBytes();
        long v = param;
        if (v < 0) {
            v += 65536;
        }
        const auto unit = static_cast<char16_t>(v & 0xFFFF);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (m_highSurrogate != 0) {
                outputCodePoint(0xFFFD);
            }
            m_highSurrogate = m_state.skip ? 0 : unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (m_highSurrogate != 0) {
                const char32_t cp = 0x10000 + ((m_highSurrogate - 0xD800) << 10) + (unit - 0xDC00);
                m_highSurrogate = 0;
                outputCodePoint(cp);
            } else {
                outputCodePoint(0xFFFD);
            }
        } else {
            outputCodePoint(unit == 0 ? 0xFFFD : unit);
        }
        m_fallbackLeft = m_state.unicodeSkip;
        return;
    }
    if (consumeFallback()) {
        return;
    }
    if (word == "par" || word == "sect" || word == "page" || word == "row") {
        endParagraph();
    } else if (word == "line") {
        flushBytes();
        outputCodePoint(0x2028);
    } else if (word == "tab" || word == "cell") {
        flushBytes();
        output("\t");
    } else if (word == "b" || word == "i" || word == "ul" || word == "ulnone" || word == "plain" ||
               word == "uld" || word == "uldb" || word == "ulw" || word == "uldash" ||
               word == "ulwave" || word == "ulth") {
        flushBytes();
        if (word == "b") {
            m_state.bold = on;
        } else if (word == "i") {
            m_state.italic = on;
        } else if (word == "ulnone") {
            m_state.underline = false;
        } else if (word == "plain") {
            m_state.bold = m_state.italic = m_state.underline = false;
        } else {
            m_state.underline = on;
        }
    } else if (word == "pard") {
        m_alignment = RtfAlignment::Left;
    } else if (word == "ql") {
        m_alignment = RtfAlignment::Left;
    } else if (word == "qc") {
        m_alignment = RtfAlignment::Centre;
    } else if (word == "qr") {
        m_alignment = RtfAlignment::Right;
    } else if (word == "qj") {
        m_alignment = RtfAlignment::Justify;
    } else if (word == "uc") {
        m_state.unicodeSkip = (hasParam && param >= 0 && param <= 16) ? static_cast<int>(param) : 1;
    } else if (word == "ansicpg") {
        flushBytes();
        m_gbk = hasParam && param == 936;
    } else if (word == "emdash") {
        flushBytes();
        outputCodePoint(0x2014);
    } else if (word == "endash") {
        flushBytes();
        outputCodePoint(0x2013);
    } else if (word == "bullet") {
        flushBytes();
        outputCodePoint(0x2022);
    } else if (word == "lquote") {
        flushBytes();
        outputCodePoint(0x2018);
    } else if (word == "rquote") {
        flushBytes();
        outputCodePoint(0x2019);
    } else if (word == "ldblquote") {
        flushBytes();
        outputCodePoint(0x201C);
    } else if (word == "rdblquote") {
        flushBytes();
        outputCodePoint(0x201D);
    } else if (word == "bin") {
        // Raw binary data follows: skip it, however much the count claims.
        flushBytes();
        const std::size_t n = hasParam && param > 0 ? static_cast<std::size_t>(param) : 0;
        m_pos += std::min(n, m_data.size() - m_pos);
    }
}

Result<RtfDocument> Reader::run() {
    if (!looksLikeRtf(m_data)) {
        return makeError(ErrorCode::BadText, "not rich text: no {\\rtf at the start");
    }
    m_pos = m_data.find('{');
    while (m_pos < m_data.size()) {
        const char c = m_data[m_pos];
        const bool groupStart = m_atGroupStart;
        m_atGroupStart = false;
        if (c == '{') {
            ++m_pos;
            if (m_stack.size() >= kMaxRtfGroupDepth) {
                return makeError(ErrorCode::BadText, "rich text nested deeper than " +
                                                         std::to_string(kMaxRtfGroupDepth) +
                                                         " groups at offset " +
                                                         std::to_string(m_pos - 1));
            }
            flushBytes();
            m_stack.push_back(m_state);
            m_fallbackLeft = 0;
            m_atGroupStart = true;
        } else if (c == '}') {
            ++m_pos;
            flushBytes();
            m_fallbackLeft = 0;
            if (m_stack.empty()) {
                break;
            }
            m_state = m_stack.back();
            m_stack.pop_back();
            if (m_stack.empty()) {
                break; // the document's outer group has ended
            }
        } else if (c == '\\') {
            ++m_pos;
            if (m_pos >= m_data.size()) {
                break;
            }
            const char next = m_data[m_pos];
            if (isLetter(next)) {
                const std::size_t start = m_pos;
                while (m_pos < m_data.size() && isLetter(m_data[m_pos]) && m_pos - start < 32) {
                    ++m_pos;
                }
                const std::string_view word = m_data.substr(start, m_pos - start);
                while (m_pos < m_data.size() && isLetter(m_data[m_pos])) {
                    ++m_pos; // an overlong word is not one we know; drop its tail
                }
                bool negative = false;
                bool hasParam = false;
                long param = 0;
                if (m_pos < m_data.size() && m_data[m_pos] == '-') {
                    negative = true;
                    ++m_pos;
                }
                while (m_pos < m_data.size() && isDigit(m_data[m_pos])) {
                    hasParam = true;
                    if (param < 100000000L) { // clamp: no meaningful parameter is larger
                        param = param * 10 + (m_data[m_pos] - '0');
                    }
                    ++m_pos;
                }
                if (negative) {
                    param = -param;
                }
                if (m_pos < m_data.size() && m_data[m_pos] == ' ') {
                    ++m_pos;
                }
                m_atGroupStart = groupStart;
                controlWord(word, hasParam, param);
                m_atGroupStart = false;
            } else if (next == '\'') {
                ++m_pos;
                const int hi = m_pos < m_data.size() ? hexValue(m_data[m_pos]) : -1;
                const int lo = m_pos + 1 < m_data.size() ? hexValue(m_data[m_pos + 1]) : -1;
                if (hi >= 0 && lo >= 0) {
                    m_pos += 2;
                    if (!consumeFallback() && !m_state.skip) {
                        m_pendingBytes += static_cast<char>(hi * 16 + lo);
                    }
                }
            } else {
                ++m_pos;
                m_atGroupStart = groupStart;
                controlSymbol(next);
                m_atGroupStart = false;
            }
        } else if (c == '\r' || c == '\n' || c == '\0') {
            ++m_pos;
        } else {
            ++m_pos;
            if (consumeFallback()) {
                continue;
            }
            if (static_cast<unsigned char>(c) >= 0x80) {
                // Raw bytes of the document's code page, as some writers leave them.
                if (!m_state.skip) {
                    m_pendingBytes += c;
                }
                continue;
            }
            flushBytes();
            output(std::string_view(&c, 1));
        }
    }
    flushBytes();
    if (m_highSurrogate != 0) {
        m_highSurrogate = 0;
        outputCodePoint(0xFFFD);
    }
    m_state.skip = false;
    if (!m_paragraph.runs.empty()) {
        endParagraph();
    }
    return std::move(m_doc);
}

} // namespace

std::string RtfParagraph::plainText() const {
    std::string out;
    for (const auto& run : runs) {
        out += run.text;
    }
    return out;
}

std::string RtfDocument::plainText() const {
    std::string out;
    for (std::size_t i = 0; i < paragraphs.size(); ++i) {
        if (i > 0) {
            out += '\n';
        }
        out += paragraphs[i].plainText();
    }
    return out;
}

bool looksLikeRtf(std::string_view data) {
    if (data.starts_with("\xEF\xBB\xBF")) {
        data.remove_prefix(3);
    }
    while (!data.empty() && (data.front() == ' ' || data.front() == '\t' || data.front() == '\r' ||
                             data.front() == '\n')) {
        data.remove_prefix(1);
    }
    return data.starts_with("{\\rtf");
}

Result<RtfDocument> readRtf(std::string_view data) {
    return Reader(data).run();
}

} // namespace cpuconfig
