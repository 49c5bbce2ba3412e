#include "preview/TextList.h"
#include "preview/LanguageId.h"

#include <gtest/gtest.h>

namespace cpuconfig {
namespace {

TEST(TextList, picksTheEntryForTheLanguage) {
    const struct {
        const char* name;
        std::uint16_t language;
        TextList list;
        const char* expected;
    } cases[] = {
        {"DanishFullKey", 0x0406, defaultNoPreviewTexts(), "Ingen visning"},
        {"SwissGermanFallsToPrimary", 0x0807, defaultNoPreviewTexts(), "Keine Vorschau"},
        {"ChineseFallsToDefault", 0x0804, defaultNoPreviewTexts(), "No preview"},
        {"ChineseScaleHint", 0x0804, defaultScaleHints(), "Scale to fit"},
        {"ChineseTitleIsEmpty", 0x0804, TextList{"Default="}, ""},
        {"GermanScaleHint", 0x0407, defaultScaleHints(), "Größe anpassen"},
        {"LowerCaseKeyMatches", 0x040C, TextList{"Default=d", "040c=fr"}, "fr"},
        {"FullKeyBeatsPrimary", 0x0406, TextList{"0006=primary", "0406=full", "Default=d"}, "full"},
        {"PrimaryBeatsDefault", 0x0806, TextList{"Default=d", "0006=primary"}, "primary"},
        {"PrimaryIsTheLowTenBits", 0xFFFF, TextList{"Default=d", "03FF=primary"}, "primary"},
        {"FirstEntryOfForeignKeys", 0x0804, TextList{"x=1", "y=2"}, "1"},
        {"NoEqualsNoBlankKey", 0x0804, TextList{"plain", "y=2"}, ""},
        {"NoEqualsThenBlankKey", 0x0804, TextList{"plain", "y=2", "=blank"}, "blank"},
        {"ValueKeepsLaterEquals", 0x0409, TextList{"0409=a=b"}, "a=b"}};
    for (const auto& c : cases) {
        EXPECT_EQ(localizedText(c.list, languageKeys(c.language)), c.expected) << c.name;
    }
    const auto keys = languageKeys(0x040C); // upper-case hex, as the preview shows them
    EXPECT_EQ(keys.languageId + " " + keys.primaryLanguageId, "040C 000C");
}

TEST(TextList, splitsAtEveryKindOfLineBreak) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"", {}},
        {"Default=a", {"Default=a"}},
        {"a=1\r\n", {"a=1"}}, // a final break adds nothing
        {"a=1\r\nb=2", {"a=1", "b=2"}},
        {"a=1\nb=2\n", {"a=1", "b=2"}},
        {"a=1\rb=2", {"a=1", "b=2"}},
        {"a\n\nb", {"a", "", "b"}},  // a blank line is kept
        {"a\n\rb", {"a", "", "b"}}}; // LF CR is two breaks
    for (const auto& [input, entries] : cases) {
        const auto list = TextList::fromText(input);
        EXPECT_EQ(list.entries(), entries) << input;
        EXPECT_EQ(TextList::fromText(list.text()), list) << input;
    }
}

TEST(TextList, windowsLanguageIdOfLocaleNames) {
    const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
        {"de_DE", 0x0407},      {"de_CH", 0x0807},
        {"fr-CA", 0x0C0C},      {"zh_CN", 0x0804},
        {"zh_TW", 0x0404},      {"zh_Hant", 0x0404},
        {"zh_Hans_CN", 0x0804}, {"de_DE.UTF-8@euro", 0x0407},
        {"DE_de", 0x0407},      {"de_BR", 0x0407},
        {"C", std::nullopt},    {"", std::nullopt}};
    for (const auto& [locale, id] : cases) {
        EXPECT_EQ(languageIdOfLocale(locale), id) << locale;
    }
}

} // namespace
} // namespace cpuconfig
