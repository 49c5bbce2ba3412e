#include "common/CodePage.h"

#include <cerrno>
#include <iconv.h>
#include <string>

namespace cpuconfig {

namespace {

// iconv's name for a Windows code page: most are "CP" and the number.
std::string iconvName(unsigned codePage) {
    switch (codePage) {
    case kGbkCodePage:
        return "GBK";
    case 10000:
        return "MACINTOSH";
    case 10029:
        return "MAC-CENTRALEUROPE";
    case 20127:
        return "ASCII";
    case 54936:
        return "GB18030";
    case 65001:
        return "UTF-8";
    default:
        return "CP" + std::to_string(codePage);
    }
}

iconv_t handle(void* h) {
    return static_cast<iconv_t>(h);
}

} // namespace

CodePageDecoder::CodePageDecoder(unsigned codePage) : m_codePage(codePage) {
    iconv_t cd = iconv_open("UTF-8", iconvName(codePage).c_str());
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        m_handle = cd;
        m_available = true;
    }
}

CodePageDecoder::~CodePageDecoder() {
    if (m_available) {
        iconv_close(handle(m_handle));
    }
}

void CodePageDecoder::decodeStretch(std::string_view bytes, std::string& out) {
    iconv_t cd = handle(m_handle);
    std::string in(bytes); // iconv wants a mutable source pointer
    char* src = in.data();
    std::size_t srcLeft = in.size();
    char buf[1024];
    // Also drains what a converter holds back at the end (a base letter of 1258 waiting
    // for its accent).
    auto drain = [&](bool atEnd) {
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        const std::size_t rc = atEnd ? iconv(cd, nullptr, nullptr, &dst, &dstLeft)
                                     : iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
        out.append(buf, static_cast<std::size_t>(dst - buf));
        return error;
    };
    while (srcLeft > 0) {
        const int error = drain(false);
        if (error == EILSEQ || error == EINVAL) {
            // Not this code page here, or a lead byte without its trail: one replacement
            // for the byte, then on from the next one.
            drain(true);
            out += "\xEF\xBF\xBD";
            ++src;
            --srcLeft;
        } else if (error != 0 && error != E2BIG) {
            break;
        }
    }
    drain(true);
}

} // namespace cpuconfig
