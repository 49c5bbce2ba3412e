#include "preview/RtfReader.h"

#include "common/CodePage.h"
#include "common/Utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <utility>

namespace cpuconfig {

namespace {

// What the Symbol font draws for its characters 0x20..0xFF, as Unicode. Where it draws
// an extender piece with no letter of its own, the nearest sign; U+FFFD where it draws
// nothing.
constexpr char16_t kSymbolFont[224] = {
    // 0x20
    0x0020, 0x0021, 0x2200, 0x0023, 0x2203, 0x0025, 0x0026, 0x220B, 0x0028, 0x0029, 0x2217, 0x002B,
    0x002C, 0x2212, 0x002E, 0x002F, 0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,
    // 0x40
    0x2245, 0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399, 0x03D1, 0x039A,
    0x039B, 0x039C, 0x039D, 0x039F, 0x03A0, 0x0398, 0x03A1, 0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9,
    0x039E, 0x03A8, 0x0396, 0x005B, 0x2234, 0x005D, 0x22A5, 0x005F,
    // 0x60
    0x203E, 0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3, 0x03B7, 0x03B9, 0x03D5, 0x03BA,
    0x03BB, 0x03BC, 0x03BD, 0x03BF, 0x03C0, 0x03B8, 0x03C1, 0x03C3, 0x03C4, 0x03C5, 0x03D6, 0x03C9,
    0x03BE, 0x03C8, 0x03B6, 0x007B, 0x007C, 0x007D, 0x223C, 0xFFFD,
    // 0x80
    0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD,
    0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD,
    0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD,
    // 0xA0
    0x20AC, 0x03D2, 0x2032, 0x2264, 0x2044, 0x221E, 0x0192, 0x2663, 0x2666, 0x2665, 0x2660, 0x2194,
    0x2190, 0x2191, 0x2192, 0x2193, 0x00B0, 0x00B1, 0x2033, 0x2265, 0x00D7, 0x221D, 0x2202, 0x2022,
    0x00F7, 0x2260, 0x2261, 0x2248, 0x2026, 0x23D0, 0x23AF, 0x21B5,
    // 0xC0
    0x2135, 0x2111, 0x211C, 0x2118, 0x2297, 0x2295, 0x2205, 0x2229, 0x222A, 0x2283, 0x2287, 0x2284,
    0x2282, 0x2286, 0x2208, 0x2209, 0x2220, 0x2207, 0x00AE, 0x00A9, 0x2122, 0x220F, 0x221A, 0x22C5,
    0x00AC, 0x2227, 0x2228, 0x21D4, 0x21D0, 0x21D1, 0x21D2, 0x21D3,
    // 0xE0
    0x25CA, 0x27E8, 0x00AE, 0x00A9, 0x2122, 0x2211, 0x239B, 0x239C, 0x239D, 0x23A1, 0x23A2, 0x23A3,
    0x23A7, 0x23A8, 0x23A9, 0x23AA, 0xFFFD, 0x27E9, 0x222B, 0x2320, 0x23AE, 0x2321, 0x239E, 0x239F,
    0x23A0, 0x23A4, 0x23A5, 0x23A6, 0x23AB, 0x23AC, 0x23AD, 0xFFFD};

char32_t symbolFontChar(unsigned char b) {
    return b < 0x20 ? b : kSymbolFont[b - 0x20];
}

// The code pages of the fonts' character sets (\fcharset): ANSI, the Mac sets 77..89,
// Shift-JIS, Hangul, Johab, GBK, Big5, Greek, Turkish, Vietnamese, Hebrew, Arabic, Baltic,
// Cyrillic, Thai, Central European, PC 437. Not here: 1 "default", 2 Symbol (read apart)
// and the rest, which take the document's code page.
constexpr std::pair<long, unsigned> kCharsetCodePages[] = {
    {0, 1252},   {77, 10000}, {78, 10001}, {79, 10003}, {80, 10008}, {81, 10002}, {83, 10005},
    {84, 10004}, {85, 10006}, {86, 10081}, {87, 10021}, {88, 10029}, {89, 10007}, {128, 932},
    {129, 949},  {130, 1361}, {134, 936},  {136, 950},  {161, 1253}, {162, 1254}, {163, 1258},
    {177, 1255}, {178, 1256}, {179, 1256}, {180, 1256}, {181, 1255}, {186, 1257}, {204, 1251},
    {222, 874},  {238, 1250}, {254, 437}};

unsigned charsetCodePage(long charset) {
    for (const auto& [set, codePage] : kCharsetCodePages) {
        if (set == charset) {
            return codePage;
        }
    }
    return 0;
}

constexpr unsigned kSymbolCodePage = 42; // what Windows calls the Symbol font's code page

// A code page as a document or a font gives it; 0 for none or one that cannot be.
unsigned codePageParam(bool hasParam, long param) {
    return hasParam && param > 0 && param <= 0xFFFF ? static_cast<unsigned>(param) : 0;
}

// Destinations whose text is not part of what a reader sees.
constexpr std::string_view kSkippedDestinations[] = {"colortbl",
                                                     "stylesheet",
                                                     "info",
                                                     "pict",
                                                     "object",
                                                     "objdata",
                                                     "header",
                                                     "headerl",
                                                     "headerr",
                                                     "headerf",
                                                     "footer",
                                                     "footerl",
                                                     "footerr",
                                                     "footerf",
                                                     "fldinst",
                                                     "listtable",
                                                     "listoverridetable",
                                                     "revtbl",
                                                     "rsidtbl",
                                                     "generator",
                                                     "xmlnstbl",
                                                     "themedata",
                                                     "colorschememapping",
                                                     "latentstyles",
                                                     "datastore",
                                                     "filetbl",
                                                     "footnote",
                                                     "annotation",
                                                     "private",
                                                     "userprops",
                                                     "docvar",
                                                     "bkmkstart",
                                                     "bkmkend",
                                                     "atnid",
                                                     "atnauthor",
                                                     "template",
                                                     "listtext",
                                                     "pntext",
                                                     "pntxta",
                                                     "pntxtb",
                                                     "mmathPr"};

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

enum class Destination {
    Text,             // shown
    Skipped,          // not shown
    FontTable,        // read for the fonts' character sets
    FieldInstruction, // read for a SYMBOL field's character
};

struct GroupState {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    Destination destination = Destination::Text;
    int unicodeSkip = 1; // \ucN: fallback characters after each \u
    long font = -1;      // \fN; -1 for the document's default font
    bool field = false;  // this group is a \field
};

struct Font {
    long charset = -1;
    unsigned codePage = 0; // \cpg, which a font may give beside its character set
    std::string name;      // up to its ";", as far as it is needed
    bool nameEnded = false;
};

// How the current font's bytes become text.
struct Encoding {
    bool symbol = false;
    unsigned codePage = 0;
};

constexpr std::size_t kFontNameLimit = 32;
// Fonts kept from the font table; more than any real document has, few enough that a
// table of nothing but font numbers costs little.
constexpr std::size_t kMaxFonts = 4096;
// Bytes waiting to be decoded are decoded in pieces of about this size, so that a shown
// limit is not overrun by much.
constexpr std::size_t kPendingChunk = 4096;
// Converters kept open at once; a document names few code pages.
constexpr std::size_t kMaxDecoders = 16;

bool isHighByte(char c) {
    return static_cast<unsigned char>(c) >= 0x80;
}

std::string_view trimmedName(std::string_view name) {
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    while (!name.empty() && name.front() == ' ') {
        name.remove_prefix(1);
    }
    return name;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

bool isSymbolFontName(std::string_view name) {
    return equalsIgnoringCase(trimmedName(name), "symbol");
}

// A field being read: its instruction, and whether what it shows has been decided.
struct Field {
    std::string instruction;
    bool shown = false;
};

// Enough for any SYMBOL instruction; the rest of a longer one is not needed.
constexpr std::size_t kFieldInstructionLimit = 256;

// What Word writes for Insert → Symbol: SYMBOL number [\f font] [\s size] [\u | \a | \j | \h].
// The number is decimal or 0x-hexadecimal: a character code of the font (ANSI, the
// default), a Unicode code point (\u) or a Shift-JIS code (\j). The size is not shown.
struct SymbolField {
    unsigned long number = 0;
    std::string font;
    bool unicode = false;
    bool shiftJis = false;
};

// The instruction's words: a quoted one may hold blanks.
std::vector<std::string_view> fieldWords(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
        } else if (text[i] == '"') {
            const std::size_t end = std::min(text.find('"', i + 1), text.size());
            words.push_back(text.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            const std::size_t end = std::min(text.find_first_of(" \t\"", i), text.size());
            words.push_back(text.substr(i, end - i));
            i = end;
        }
    }
    return words;
}

std::optional<SymbolField> parseSymbolField(std::string_view instruction) {
    const auto words = fieldWords(instruction);
    if (words.size() < 2 || !equalsIgnoringCase(words[0], "SYMBOL")) {
        return std::nullopt;
    }
    std::string_view digits = words[1];
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    SymbolField field;
    if (digits.empty() || digits.size() > 8) {
        return std::nullopt;
    }
    for (char c : digits) {
        const int v = base == 16 ? hexValue(c) : (isDigit(c) ? c - '0' : -1);
        if (v < 0) {
            return std::nullopt;
        }
        field.number =
            field.number * static_cast<unsigned long>(base) + static_cast<unsigned long>(v);
    }
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (equalsIgnoringCase(words[i], "\\f") && i + 1 < words.size()) {
            field.font = std::string(words[++i]);
        } else if (equalsIgnoringCase(words[i], "\\u")) {
            field.unicode = true;
        } else if (equalsIgnoringCase(words[i], "\\j")) {
            field.shiftJis = true;
        }
    }
    const unsigned long limit = field.unicode ? 0x10FFFF : 0xFFFF;
    if (field.number == 0 || field.number > limit) {
        return std::nullopt;
    }
    return field;
}

class Reader {
public:
    Reader(std::string_view data, std::size_t shownLimit) : m_data(data), m_limit(shownLimit) {}

    Result<RtfDocument> run();

private:
    Encoding encoding() const;
    std::optional<Encoding> fontEncoding(const Font& font) const;
    Encoding namedFontEncoding(const std::string& name) const;
    // Shows the character of the innermost field, once, if it is a SYMBOL field.
    void showSymbolField();
    void endField();
    CodePageDecoder& decoder(unsigned codePage);
    void textBytes(std::string_view bytes);
    void flushBytes();
    void output(std::string_view utf8);
    void outputCodePoint(char32_t cp);
    void unicode(long param);
    void endParagraph();
    void fontTableWord(std::string_view word, bool hasParam, long param);
    void controlWord(std::string_view word, bool hasParam, long param);
    void controlSymbol(char c);
    // A fallback character after \u is consumed instead of shown.
    bool consumeFallback();
    void spend(std::size_t cost);

    std::string_view m_data;
    std::size_t m_pos = 0;
    std::vector<GroupState> m_stack;
    GroupState m_state;
    bool m_atGroupStart = false;
    bool m_afterStar = false; // "{\*" just read: the next word may name a destination
    std::vector<Field> m_fields;
    int m_fallbackLeft = 0;
    char16_t m_highSurrogate = 0;
    std::map<long, Font> m_fonts;
    long m_fontEntry = -1; // the font table's entry being read
    long m_defaultFont = -1;
    unsigned m_documentCodePage = 0;
    std::map<unsigned, CodePageDecoder> m_decoders;
    std::string m_pendingBytes; // text bytes in the current font's encoding, not yet decoded
    std::string m_decoded;
    RtfDocument m_doc;
    RtfParagraph m_paragraph;
    RtfAlignment m_alignment = RtfAlignment::Left;
    std::size_t m_limit;
    std::size_t m_shown = 0;
    bool m_full = false; // the limit is reached: anything more to show cuts the document
};

bool Reader::consumeFallback() {
    if (m_fallbackLeft > 0) {
        --m_fallbackLeft;
        return true;
    }
    return false;
}

std::optional<Encoding> Reader::fontEncoding(const Font& f) const {
    if (f.charset == 2 || f.codePage == kSymbolCodePage || isSymbolFontName(f.name)) {
        return Encoding{true, 0};
    }
    if (f.codePage != 0) {
        return Encoding{false, f.codePage};
    }
    if (const unsigned cp = charsetCodePage(f.charset); cp != 0) {
        return Encoding{false, cp};
    }
    return std::nullopt;
}

Encoding Reader::encoding() const {
    const auto font = m_fonts.find(m_state.font >= 0 ? m_state.font : m_defaultFont);
    if (font != m_fonts.end()) {
        if (const auto e = fontEncoding(font->second)) {
            return *e;
        }
    }
    return {false, m_documentCodePage != 0 ? m_documentCodePage : kRtfFallbackCodePage};
}

// A field names its font by name: the font table's entry of that name, else the Symbol
// font by its name, else the text around the field.
Encoding Reader::namedFontEncoding(const std::string& name) const {
    for (const auto& [number, font] : m_fonts) {
        if (equalsIgnoringCase(trimmedName(font.name), trimmedName(name))) {
            if (const auto e = fontEncoding(font)) {
                return *e;
            }
        }
    }
    if (isSymbolFontName(name)) {
        return {true, 0};
    }
    return encoding();
}

void Reader::showSymbolField() {
    if (m_fields.empty() || m_fields.back().shown) {
        return;
    }
    m_fields.back().shown = true;
    const auto symbol = parseSymbolField(m_fields.back().instruction);
    if (!symbol) {
        return;
    }
    flushBytes();
    const unsigned long n = symbol->number;
    const Encoding enc = symbol->font.empty() ? encoding() : namedFontEncoding(symbol->font);
    if (symbol->unicode) {
        const bool privateSymbol = enc.symbol && n >= 0xF020 && n <= 0xF0FF;
        outputCodePoint(privateSymbol ? symbolFontChar(static_cast<unsigned char>(n & 0xFF))
                                      : static_cast<char32_t>(n));
        return;
    }
    if (enc.symbol && !symbol->shiftJis) {
        const bool privateSymbol = n >= 0xF020 && n <= 0xF0FF;
        outputCodePoint(n <= 0xFF || privateSymbol
                            ? symbolFontChar(static_cast<unsigned char>(n & 0xFF))
                            : char32_t{0xFFFD});
        return;
    }
    // A code of the font's code page: one byte, or a lead and a trail byte.
    std::string bytes;
    if (n > 0xFF) {
        bytes += static_cast<char>(n >> 8);
    }
    bytes += static_cast<char>(n & 0xFF);
    std::string text;
    decoder(symbol->shiftJis ? 932 : enc.codePage).decode(bytes, text);
    output(text);
}

void Reader::endField() {
    showSymbolField(); // a field without a result
    m_fields.pop_back();
}

CodePageDecoder& Reader::decoder(unsigned codePage) {
    if (m_decoders.size() >= kMaxDecoders && !m_decoders.contains(codePage)) {
        m_decoders.clear();
    }
    return m_decoders.try_emplace(codePage, codePage).first->second;
}

void Reader::textBytes(std::string_view bytes) {
    if (m_state.destination == Destination::FontTable) {
        auto font = m_fonts.find(m_fontEntry);
        for (char c : bytes) {
            if (font == m_fonts.end() || font->second.nameEnded) {
                break;
            }
            if (c == ';') {
                font->second.nameEnded = true;
            } else if (font->second.name.size() < kFontNameLimit) {
                font->second.name += c;
            }
        }
        return;
    }
    if (m_state.destination == Destination::FieldInstruction) {
        std::string& instruction = m_fields.back().instruction;
        instruction += bytes.substr(0, kFieldInstructionLimit -
                                           std::min(kFieldInstructionLimit, instruction.size()));
        return;
    }
    if (m_state.destination != Destination::Text) {
        return;
    }
    m_pendingBytes += bytes;
    // Decode as it grows, but never between a lead byte and what may be its trail: the
    // last two bytes are ASCII, so no character of any code page is cut.
    const std::size_t n = m_pendingBytes.size();
    if (n >= kPendingChunk && !isHighByte(m_pendingBytes[n - 1]) &&
        !isHighByte(m_pendingBytes[n - 2])) {
        flushBytes();
    }
}

void Reader::flushBytes() {
    if (m_pendingBytes.empty()) {
        return;
    }
    m_decoded.clear();
    const Encoding enc = encoding();
    if (enc.symbol) {
        for (char c : m_pendingBytes) {
            appendUtf8(m_decoded, symbolFontChar(static_cast<unsigned char>(c)));
        }
    } else {
        decoder(enc.codePage).decode(m_pendingBytes, m_decoded);
    }
    m_pendingBytes.clear();
    output(m_decoded);
}

void Reader::spend(std::size_t cost) {
    m_shown += cost;
    if (m_shown >= m_limit) {
        m_full = true;
    }
}

void Reader::output(std::string_view utf8) {
    if (m_state.destination != Destination::Text || utf8.empty()) {
        return;
    }
    if (m_highSurrogate != 0) {
        m_highSurrogate = 0;
        outputCodePoint(0xFFFD); // which may reach the limit
    }
    if (m_full) {
        m_doc.cut = true;
        return;
    }
    auto& runs = m_paragraph.runs;
    const bool newRun = runs.empty() || runs.back().bold != m_state.bold ||
                        runs.back().italic != m_state.italic ||
                        runs.back().underline != m_state.underline;
    const std::size_t cost = newRun ? kRtfPieceCost : 0;
    const std::size_t room = m_limit - std::min(m_limit, m_shown + cost);
    if (utf8.size() > room) {
        // Cut at a character's start; a run is never opened empty.
        std::size_t n = room;
        while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) {
            --n;
        }
        utf8 = utf8.substr(0, n);
        m_doc.cut = true;
        m_full = true;
        if (utf8.empty()) {
            return;
        }
    }
    if (newRun) {
        runs.push_back(RtfRun{{}, m_state.bold, m_state.italic, m_state.underline});
    }
    runs.back().text += utf8;
    spend(cost + utf8.size());
}

void Reader::outputCodePoint(char32_t cp) {
    std::string s;
    appendUtf8(s, cp);
    output(s);
}

void Reader::endParagraph() {
    flushBytes();
    if (m_state.destination != Destination::Text) {
        return;
    }
    if (m_full && m_paragraph.runs.empty()) {
        m_doc.cut = true; // another paragraph after the one that reached the limit
        return;
    }
    m_paragraph.alignment = m_alignment;
    m_doc.paragraphs.push_back(std::move(m_paragraph));
    m_paragraph = {};
    spend(kRtfPieceCost);
}

void Reader::controlSymbol(char c) {
    switch (c) {
    case '\\':
    case '{':
    case '}':
        // Text like any other: in a multibyte code page it may be a trail byte.
        if (!consumeFallback()) {
            textBytes(std::string_view(&c, 1));
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
            m_state.destination = Destination::Skipped;
            m_afterStar = true;
        }
        break;
    default: // \- optional hyphen, \| formula and the rest show nothing
        break;
    }
}

void Reader::unicode(long param) {
    flushBytes();
    long v = param;
    if (v < 0) {
        v += 65536;
    }
    auto unit = static_cast<char16_t>(v & 0xFFFF);
    // A Symbol font's characters given as Unicode in the private range the font lives in.
    if (unit >= 0xF020 && unit <= 0xF0FF && encoding().symbol) {
        unit = static_cast<char16_t>(symbolFontChar(static_cast<unsigned char>(unit & 0xFF)));
    }
    const bool shown = m_state.destination == Destination::Text;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (m_highSurrogate != 0) {
            outputCodePoint(0xFFFD);
        }
        m_highSurrogate = shown ? unit : 0;
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
}

void Reader::fontTableWord(std::string_view word, bool hasParam, long param) {
    if (word == "f" && hasParam) {
        m_fontEntry = param;
        if (m_fonts.size() < kMaxFonts || m_fonts.contains(param)) {
            m_fonts[param] = Font{};
        }
    } else if (auto font = m_fonts.find(m_fontEntry); font != m_fonts.end()) {
        if (word == "fcharset") {
            font->second.charset = hasParam ? param : -1;
        } else if (word == "cpg") {
            font->second.codePage = codePageParam(hasParam, param);
        }
    }
}

void Reader::controlWord(std::string_view word, bool hasParam, long param) {
    // A field's parts, read only where the field itself is shown.
    const bool shownGroup = !m_stack.empty() && m_stack.back().destination == Destination::Text;
    if ((m_atGroupStart || m_afterStar) && shownGroup) {
        if (word == "field" && !m_state.field) {
            flushBytes();
            m_state.field = true;
            m_fields.emplace_back();
            return;
        }
        if (word == "fldinst" && !m_fields.empty()) {
            m_state.destination = Destination::FieldInstruction;
            return;
        }
        if (word == "fldrslt" && !m_fields.empty()) {
            // A SYMBOL field shows its own character instead of the result Word kept.
            if (parseSymbolField(m_fields.back().instruction)) {
                showSymbolField();
                m_state.destination = Destination::Skipped;
            }
            m_fields.back().shown = true;
            return;
        }
    }
    if (m_atGroupStart) {
        if (word == "fonttbl") {
            m_state.destination = Destination::FontTable;
            return;
        }
        for (auto skipped : kSkippedDestinations) {
            if (word == skipped) {
                m_state.destination = Destination::Skipped;
                return;
            }
        }
    }
    if (m_state.destination == Destination::FontTable) {
        fontTableWord(word, hasParam, param);
        return;
    }
    const bool on = !hasParam || param != 0;
    if (word == "u") {
        unicode(param);
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
    } else if (word == "f") {
        flushBytes();
        m_state.font = hasParam ? param : -1;
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
            m_state.font = -1;
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
        m_documentCodePage = codePageParam(hasParam, param);
    } else if (word == "mac" || word == "pc" || word == "pca") {
        flushBytes();
        m_documentCodePage = word == "mac" ? 10000 : word == "pc" ? 437 : 850;
    } else if (word == "deff") {
        flushBytes();
        m_defaultFont = hasParam ? param : -1;
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
    // Where a stretch of plain characters ends, in shown text and in skipped text.
    constexpr std::string_view kTextEnds("\\{}\r\n\0", 6);
    constexpr std::string_view kSkippedEnds("\\{}", 3);
    m_pos = m_data.find('{');
    while (m_pos < m_data.size() && !m_doc.cut) {
        const char c = m_data[m_pos];
        const bool groupStart = m_atGroupStart;
        const bool afterStar = m_afterStar;
        m_atGroupStart = false;
        m_afterStar = false;
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
            m_state.field = false; // a group inside a field is not the field
            m_fallbackLeft = 0;
            m_atGroupStart = true;
        } else if (c == '}') {
            ++m_pos;
            flushBytes();
            m_fallbackLeft = 0;
            if (m_stack.empty()) {
                break;
            }
            if (m_state.field) {
                endField();
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
                m_afterStar = afterStar;
                controlWord(word, hasParam, param);
                m_atGroupStart = false;
                m_afterStar = false;
            } else if (next == '\'') {
                ++m_pos;
                const int hi = m_pos < m_data.size() ? hexValue(m_data[m_pos]) : -1;
                const int lo = m_pos + 1 < m_data.size() ? hexValue(m_data[m_pos + 1]) : -1;
                if (hi >= 0 && lo >= 0) {
                    m_pos += 2;
                    if (!consumeFallback()) {
                        const char byte = static_cast<char>(hi * 16 + lo);
                        textBytes(std::string_view(&byte, 1));
                    }
                }
            } else {
                ++m_pos;
                m_atGroupStart = groupStart;
                controlSymbol(next);
                m_atGroupStart = false;
            }
        } else if (m_state.destination == Destination::Skipped) {
            m_pos = std::min(m_data.find_first_of(kSkippedEnds, m_pos), m_data.size());
        } else if (c == '\r' || c == '\n' || c == '\0') {
            ++m_pos;
        } else if (consumeFallback()) {
            ++m_pos;
        } else {
            // Plain characters up to the next control, group or line end: bytes of the
            // current font's encoding, 8-bit ones included, as some writers leave them.
            const std::size_t end =
                std::min(m_data.find_first_of(kTextEnds, m_pos + 1), m_data.size());
            textBytes(m_data.substr(m_pos, end - m_pos));
            m_pos = end;
        }
    }
    flushBytes();
    if (m_highSurrogate != 0) {
        m_highSurrogate = 0;
        outputCodePoint(0xFFFD);
    }
    m_state.destination = Destination::Text;
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

Result<RtfDocument> readRtf(std::string_view data, std::size_t shownLimit) {
    return Reader(data, shownLimit).run();
}

} // namespace cpuconfig
