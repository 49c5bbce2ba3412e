// Text lists as a caller may hand them in: any bytes, any language. The lookup never fails,
// a parsed list survives its own text, and its entries hold no line breaks.
#include "preview/LanguageId.h"
#include "preview/TextList.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const auto language = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

    const auto list = cpuconfig::TextList::fromText(text);
    for (const auto& entry : list.entries()) {
        if (entry.find_first_of("\r\n") != std::string::npos) {
            std::abort();
        }
    }
    if (cpuconfig::TextList::fromText(list.text()) != list) {
        std::abort();
    }
    const std::string found = cpuconfig::localizedText(list, cpuconfig::languageKeys(language));
    // Whatever is found is the value of one of the list's entries.
    if (!found.empty()) {
        bool fromAnEntry = false;
        for (const auto& entry : list.entries()) {
            fromAnEntry = fromAnEntry || cpuconfig::TextList::valueOf(entry) == found;
        }
        if (!fromAnEntry) {
            std::abort();
        }
    }
    (void)cpuconfig::languageIdOfLocale(text);
    return 0;
}
