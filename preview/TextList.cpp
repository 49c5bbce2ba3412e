#include "preview/TextList.h"

#include <array>
#include <cstdio>

namespace cpuconfig {

namespace {

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string hex4(unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", value & 0xFFFFu);
    return buf;
}

// One row per language: the primary key's text is also the full identifier's.
struct LanguageTexts {
    const char* primaryKey;
    const char* fullKey;
    const char* text;
};

TextList buildList(const char* defaultText, const std::array<LanguageTexts, 5>& rows) {
    TextList list;
    list.append(std::string("Default=") + defaultText);
    for (const auto& row : rows) {
        list.append(std::string(row.primaryKey) + "=" + row.text);
    }
    for (const auto& row : rows) {
        list.append(std::string(row.fullKey) + "=" + row.text);
    }
    return list;
}

std::array<LanguageTexts, 5> rows(const char* da, const char* de, const char* en, const char* fr,
                                  const char* nl) {
    return {{{"0006", "0406", da},
             {"0007", "0407", de},
             {"0009", "0409", en},
             {"000C", "040C", fr},
             {"0013", "0413", nl}}};
}

} // namespace

TextList TextList::fromText(std::string_view text) {
    TextList list;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            list.append(std::string(text.substr(start)));
            break;
        }
        list.append(std::string(text.substr(start, end - start)));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
    return list;
}

std::string TextList::text() const {
    std::string out;
    for (const auto& entry : m_entries) {
        out += entry;
        out += "\r\n";
    }
    return out;
}

std::string_view TextList::nameOf(std::string_view entry) {
    const auto eq = entry.find('=');
    return eq == std::string_view::npos ? std::string_view{} : entry.substr(0, eq);
}

std::string_view TextList::valueOf(std::string_view entry) {
    const auto eq = entry.find('=');
    return eq == std::string_view::npos ? std::string_view{} : entry.substr(eq + 1);
}

int TextList::indexOfName(std::string_view name) const {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const std::string_view entry = m_entries[i];
        if (entry.find('=') != std::string_view::npos &&
            equalsIgnoringAsciiCase(nameOf(entry), name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

LanguageKeys languageKeys(std::uint16_t languageId) {
    return {hex4(languageId), hex4(languageId & 0x3FFu)};
}

std::string localizedText(const TextList& list, const LanguageKeys& keys) {
    if (list.empty()) {
        return {};
    }
    int index = list.indexOfName(keys.languageId);
    if (index < 0) {
        index = list.indexOfName(keys.primaryLanguageId);
    }
    if (index < 0) {
        index = list.indexOfName("Default");
    }
    if (index < 0) {
        // A list of the caller's own keys: its first entry's language stands for all. When
        // that entry holds no "=", its name is empty and only an entry starting with "=" can
        // carry it.
        index = list.indexOfName(TextList::nameOf(list.entries().front()));
    }
    if (index < 0) {
        return {};
    }
    return std::string(TextList::valueOf(list.entries()[static_cast<std::size_t>(index)]));
}

TextList defaultNoPreviewTexts() {
    return buildList("No preview", rows("Ingen visning", "Keine Vorschau", "No preview",
                                        "Rien de montrer", "Geen voorbeeld"));
}

TextList defaultPreviewCaptions() {
    return buildList("Preview:",
                     rows("Prøvevisning:", "Vorschau:", "Preview:", "Épreuve:", "Voorbeeld:"));
}

TextList defaultScaleHints() {
    return buildList("Scale to fit", rows("Komprimér størrelse", "Größe anpassen", "Scale to fit",
                                          "Compression", "Opschalen"));
}

TextList defaultWordWrapHints() {
    return buildList("Word-wrap", rows("Liniedeling", "Zeilenumbruch", "Word-wrap",
                                       "Division de lignes", "Regels afbreken"));
}

TextList defaultShowPreviewButtonHints() {
    return buildList("Show Preview", rows("Vis prøve", "Vorschau", "Show Preview",
                                          "Montrer l'epreuve", "Toon Voorbeeld"));
}

TextList defaultTruncatedNotes() {
    return buildList("Only the first 1 MiB is shown.",
                     rows("Kun den første 1 MiB vises.", "Nur das erste 1 MiB wird angezeigt.",
                          "Only the first 1 MiB is shown.", "Seul le premier Mio est affiché.",
                          "Alleen de eerste 1 MiB wordt getoond."));
}

TextList defaultDocumentCutNotes() {
    return buildList("Only the beginning of the document is shown.",
                     rows("Kun begyndelsen af dokumentet vises.",
                          "Nur der Anfang des Dokuments wird angezeigt.",
                          "Only the beginning of the document is shown.",
                          "Seul le début du document est affiché.",
                          "Alleen het begin van het document wordt getoond."));
}

} // namespace cpuconfig
