// Rich text from anywhere: the reader must neither crash nor read out of bounds, and what it
// gives the viewer must be well-formed.
#include "preview/RtfReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool isValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t len = b < 0x80         ? 1
                                : (b >> 5) == 6  ? 2
                                : (b >> 4) == 14 ? 3
                                : (b >> 3) == 30 ? 4
                                                 : 0;
        if (len == 0 || i + len > s.size()) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += len;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto doc = cpuconfig::readRtf(input);
    if (!doc.ok()) {
        return 0;
    }
    std::size_t total = 0;
    for (const auto& paragraph : doc->paragraphs) {
        for (const auto& run : paragraph.runs) {
            // A run is only opened for text, and its text is valid UTF-8 for the viewer.
            if (run.text.empty() || !isValidUtf8(run.text)) {
                std::abort();
            }
            total += run.text.size();
        }
    }
    // Every output byte comes from input: no character is worth more than a few bytes.
    if (total > 4 * size + 16) {
        std::abort();
    }
    // Read again up to a limit: the beginning of the same text, never more than the limit
    // lets in, and marked cut exactly when something is missing.
    const std::size_t limit = size * 2 / 3;
    const auto part = cpuconfig::readRtf(input, limit);
    const std::string whole = doc->plainText();
    const std::string head = part.ok() ? part->plainText() : std::string("!");
    if (!whole.starts_with(head) || head.size() > limit || (head != whole) != part->cut) {
        std::abort();
    }
    return 0;
}
