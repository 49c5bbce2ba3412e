// Per-language text lists of the preview dialog: ordered KEY=text entries, where KEY is
// "Default" or a Windows language key of four hexadecimal digits (a full identifier such
// as 0406 or a primary-language key such as 0006).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace cpuconfig {

class TextList {
public:
    TextList() = default;
    TextList(std::initializer_list<std::string> entries) : m_entries(entries) {}
    explicit TextList(std::vector<std::string> entries) : m_entries(std::move(entries)) {}

    // One entry per line; CR LF, LF and a lone CR all end a line, and a final line break
    // adds no empty entry. Entries never hold a line break afterwards.
    static TextList fromText(std::string_view text);
    // Every entry followed by a line break: two lists differ exactly when these differ.
    std::string text() const;

    const std::vector<std::string>& entries() const { return m_entries; }
    bool empty() const { return m_entries.empty(); }
    std::size_t size() const { return m_entries.size(); }
    void append(std::string entry) { m_entries.push_back(std::move(entry)); }

    // The part before the first "=" (empty when the entry holds none) and the part after.
    static std::string_view nameOf(std::string_view entry);
    static std::string_view valueOf(std::string_view entry);
    // Index of the first entry whose name equals name, ASCII letter case ignored; an entry
    // without "=" never matches. -1 when none does.
    int indexOfName(std::string_view name) const;

    friend bool operator==(const TextList& a, const TextList& b) = default;

private:
    std::vector<std::string> m_entries;
};

// The two keys a language identifier is looked up by, as upper-case hex: the identifier
// itself and its primary language (low 10 bits).
struct LanguageKeys {
    std::string languageId;        // e.g. "0406"
    std::string primaryLanguageId; // e.g. "0006"
};
LanguageKeys languageKeys(std::uint16_t languageId);

// The entry for the language: its full key, else its primary key, else "Default", else
// the value of the first entry named like the list's first entry. Never fails; an empty
// list, or a chain that finds nothing, yields the empty text.
std::string localizedText(const TextList& list, const LanguageKeys& keys);

// The initial entries of the dialog's message lists: eleven each, keyed Default, 0006,
// 0007, 0009, 000C, 0013, 0406, 0407, 0409, 040C, 0413.
TextList defaultNoPreviewTexts();
TextList defaultPreviewCaptions();
TextList defaultScaleHints();
TextList defaultWordWrapHints();
TextList defaultShowPreviewButtonHints();
// The note under a text preview that was cut at its size limit (same keys).
TextList defaultTruncatedNotes();
// The note under a rich-text preview that shows only the document's beginning (same keys).
TextList defaultDocumentCutNotes();

} // namespace cpuconfig
