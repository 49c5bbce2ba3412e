#include "common/CodePage.h"

#include <windows.h>

namespace cpuconfig {

namespace {

// Appends UTF-16 as UTF-8.
void appendWide(const wchar_t* w, int wlen, std::string& out) {
    const int len = WideCharToMultiByte(CP_UTF8, 0, w, wlen, nullptr, 0, nullptr, nullptr);
    if (len <= 0) {
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(len));
    WideCharToMultiByte(CP_UTF8, 0, w, wlen, out.data() + at, len, nullptr, nullptr);
}

// Decodes all of bytes, or nothing when any of it does not map. 0 on success, else the
// reason.
DWORD decodeAll(UINT codePage, DWORD flags, std::string_view bytes, std::string& out) {
    const int n = static_cast<int>(bytes.size());
    const int wlen = MultiByteToWideChar(codePage, flags, bytes.data(), n, nullptr, 0);
    if (wlen <= 0) {
        return GetLastError();
    }
    std::wstring w(static_cast<std::size_t>(wlen), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), n, w.data(), wlen);
    appendWide(w.data(), wlen, out);
    return 0;
}

} // namespace

CodePageDecoder::CodePageDecoder(unsigned codePage)
    : m_codePage(codePage), m_available(codePage <= 0xFFFF && IsValidCodePage(codePage)) {}

CodePageDecoder::~CodePageDecoder() = default;

void CodePageDecoder::decodeStretch(std::string_view bytes, std::string& out) {
    // Without MB_ERR_INVALID_CHARS Windows puts the code page's default character ("?",
    // or a middle dot) where a byte does not map; the replacement character says more.
    const DWORD error = decodeAll(m_codePage, MB_ERR_INVALID_CHARS, bytes, out);
    if (error == 0) {
        return;
    }
    if (error != ERROR_NO_UNICODE_TRANSLATION) {
        // A code page that takes no flags (the 5022x ISO-2022 family and a few others).
        decodeAll(m_codePage, 0, bytes, out);
        return;
    }
    // Character by character: the shortest prefix that maps is one character (up to four
    // bytes, as GB18030 has them); a byte that starts none is replaced.
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t len = 1;
        while (len <= 4 && i + len <= bytes.size() &&
               decodeAll(m_codePage, MB_ERR_INVALID_CHARS, bytes.substr(i, len), out) != 0) {
            ++len;
        }
        if (len > 4 || i + len > bytes.size()) {
            out += "\xEF\xBF\xBD";
            len = 1;
        }
        i += len;
    }
}

} // namespace cpuconfig
