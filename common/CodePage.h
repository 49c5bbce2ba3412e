// Text in a Windows code page (1252, 1251, 936 GBK, 932 Shift-JIS, 950 Big5, ...) decoded
// to UTF-8 through the platform's converter: iconv on POSIX, MultiByteToWideChar on Windows.
#pragma once

#include <string>
#include <string_view>

namespace cpuconfig {

inline constexpr unsigned kGbkCodePage = 936;

// One code page's converter, kept open for many calls. Not for use by two threads at once.
class CodePageDecoder {
public:
    explicit CodePageDecoder(unsigned codePage);
    ~CodePageDecoder();
    CodePageDecoder(const CodePageDecoder&) = delete;
    CodePageDecoder& operator=(const CodePageDecoder&) = delete;

    unsigned codePage() const { return m_codePage; }
    // False when the platform cannot convert this code page: every byte above 0x7F then
    // becomes U+FFFD.
    bool available() const;

    // Appends bytes decoded to UTF-8. ASCII stays as it is; a byte the code page cannot
    // map, and a lead byte without its trail byte, becomes U+FFFD. Each call stands alone:
    // nothing is carried over to the next one.
    void decode(std::string_view bytes, std::string& out);

private:
    // A stretch that holds bytes above 0x7F, each with the byte after it (its trail byte
    // in a multibyte code page).
    void decodeStretch(std::string_view bytes, std::string& out);

    unsigned m_codePage;
    void* m_handle = nullptr; // the platform's converter, when it needs one
    bool m_available = false;
};

std::string codePageToUtf8(unsigned codePage, std::string_view bytes);

} // namespace cpuconfig
