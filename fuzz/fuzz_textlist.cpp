// Text lists as a caller may hand them in: any bytes, any language. The lookup never fails,
// a parsed list survives its own text, and its entries hold no line breaks.
#include "preview/LanguageId.h"
#include "preview/TextList.h"

#include <algorithm>
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
    const auto& entries = list.entries();
    if (std::ranges::any_of(entries,
                            [](const auto& e) { return e.find_first_of("\r\n") != e.npos; }) ||
        cpuconfig::TextList::fromText(list.text()) != list) {
        std::abort();
    }
    // Whatever is found is the value of one of the list's entries.
    const std::string found = cpuconfig::localizedText(list, cpuconfig::languageKeys(language));
    if (!found.empty() && std::ranges::none_of(entries, [&](const auto& e) {
            return cpuconfig::TextList::valueOf(e) == found;
        })) {
        std::abort();
    }
    (void)cpuconfig::languageIdOfLocale(text);
    return 0;
}
