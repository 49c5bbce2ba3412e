#include "common/CodePage.h"

namespace cpuconfig {

namespace {

bool isHigh(char c) {
    return static_cast<unsigned char>(c) >= 0x80;
}

} // namespace

void CodePageDecoder::decode(std::string_view bytes, std::string& out) {
    // ASCII is ASCII in every code page a document names, and a lead byte is never below
    // 0x80: only the stretches with high bytes need the platform's converter, which is
    // where the time goes.
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t ascii = i;
        while (i < bytes.size() && !isHigh(bytes[i])) {
            ++i;
        }
        out.append(bytes.substr(ascii, i - ascii));
        if (i == bytes.size()) {
            break;
        }
        const std::size_t high = i++;
        while (i < bytes.size() && (isHigh(bytes[i]) || isHigh(bytes[i - 1]))) {
            ++i;
        }
        if (m_available) {
            decodeStretch(bytes.substr(high, i - high), out);
        } else {
            for (char c : bytes.substr(high, i - high)) {
                out += isHigh(c) ? std::string_view("\xEF\xBF\xBD") : std::string_view(&c, 1);
            }
        }
    }
}

bool CodePageDecoder::available() const {
    return m_available;
}

std::string codePageToUtf8(unsigned codePage, std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    CodePageDecoder(codePage).decode(bytes, out);
    return out;
}

} // namespace cpuconfig
