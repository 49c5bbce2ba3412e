#include "common/Gbk.h"

#include <windows.h>

namespace cpuconfig {

std::string gbkToUtf8(std::string_view gbk) {
    if (gbk.empty()) {
        return {};
    }
    constexpr UINT kGbk = 936;
    const int wlen =
        MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(wlen), L'\0');
    MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), w.data(), wlen);
    const int len = WideCharToMultiByte(CP_UTF8, 0, w.data(), wlen, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(len), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wlen, out.data(), len, nullptr, nullptr);
    return out;
}

} // namespace cpuconfig
