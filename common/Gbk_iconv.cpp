#include "common/Gbk.h"

#include <iconv.h>

namespace cpuconfig {

std::string gbkToUtf8(std::string_view gbk) {
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (char c : gbk) {
            out += (static_cast<unsigned char>(c) < 0x80) ? std::string(1, c) : "\xEF\xBF\xBD";
        }
        return out;
    }
    std::string in(gbk);
    char* src = in.data();
    std::size_t srcLeft = in.size();
    while (srcLeft > 0) {
        char buf[256];
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, static_cast<std::size_t>(dst - buf));
        if (rc == static_cast<std::size_t>(-1) && dstLeft == sizeof buf) {
            // Not GBK here (or a lead byte without its trail): one replacement, move on.
            out += "\xEF\xBF\xBD";
            ++src;
            --srcLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

} // namespace cpuconfig
