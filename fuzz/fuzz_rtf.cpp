// Rich text from anywhere: the reader must neither crash nor read out of bounds, and what it
// gives the viewer must be well-formed.
#include "preview/RtfReader.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// A lead byte's leading one bits give the sequence's length (none: ASCII); one leading one
// bit marks a continuation byte.
bool isValidUtf8(std::string_view s) {
    const auto ones = [&](std::size_t i) {
        return std::countl_one(static_cast<unsigned char>(s[i]));
    };
    for (std::size_t i = 0; i < s.size();) {
        const int len = ones(i);
        if (len == 1 || len > 4 || i + len > s.size()) {
            return false;
        }
        for (const std::size_t end = i + std::max(len, 1); ++i < end;) {
            if (ones(i) != 1) {
                return false;
            }
        }
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
