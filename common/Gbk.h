#pragma once

#include "common/CodePage.h"

namespace cpuconfig {

// Decodes GBK bytes (the card's and the package's texts) to UTF-8. ASCII stays as it is;
// a byte sequence that is not GBK becomes U+FFFD.
inline std::string gbkToUtf8(std::string_view gbk) {
    return codePageToUtf8(kGbkCodePage, gbk);
}

} // namespace cpuconfig
