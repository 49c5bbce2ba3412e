#include "common/LanguageId.h"

#include <vector>

#include <windows.h>

namespace cpuconfig {

std::uint16_t windowsLanguageId() {
    LANGID lang = GetSystemDefaultLangID();
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeA("Shell32.dll", &unused);
    if (size != 0) {
        std::vector<BYTE> info(size);
        void* value = nullptr;
        UINT length = 0;
        if (GetFileVersionInfoA("Shell32.dll", 0, size, info.data()) &&
            VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length) &&
            value != nullptr && length >= sizeof(WORD)) {
            lang = *static_cast<const WORD*>(value); // the first translation's language
        }
    }
    return lang;
}

} // namespace cpuconfig
