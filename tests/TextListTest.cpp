#include "preview/TextList.h"
#include "preview/LanguageId.h"

#include <gtest/gtest.h>

namespace cpuconfig {
namespace {

struct LookupCase {
    const char* name;
    std::uint16_t language;
    TextList list;
    const char* expected;
};

class LocalizedTextTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LocalizedTextTest, picksTheEntryForTheLanguage) {
    const auto& c = GetParam();
    EXPECT_EQ(localizedText(c.list, languageKeys(c.language)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lookup, LocalizedTextTest,
    ::testing::Values(
        LookupCase{"DanishFullKey", 0x0406, defaultNoPreviewTexts(), "Ingen visning"},
        LookupCase{"SwissGermanFallsToPrimary", 0x0807, defaultNoPreviewTexts(), "Keine Vorschau"},
        LookupCase{"ChineseFallsToDefault", 0x0804, defaultNoPreviewTexts(), "No preview"},
        LookupCase{"ChineseScaleHint", 0x0804, defaultScaleHints(), "Scale to fit"},
        LookupCase{"ChineseTitleIsEmpty", 0x0804, TextList{"Default="}, ""},
        LookupCase{"GermanScaleHint", 0x0407, defaultScaleHints(), "Größe anpassen"},
        LookupCase{"LowerCaseKeyMatches", 0x040C, TextList{"Default=d", "040c=fr"}, "fr"},
        LookupCase{"FullKeyBeatsPrimary", 0x0406,
                   TextList{"0006=primary", "0406=full", "Default=d"}, "full"},
        LookupCase{"PrimaryBeatsDefault", 0x0806, TextList{"Default=d", "0006=primary"}, "primary"},
        LookupCase{"FirstEntryOfForeignKeys", 0x0804, TextList{"x=1", "y=2"}, "1"},
        LookupCase{"NoEqualsNoBlankKey", 0x0804, TextList{"plain", "y=2"}, ""},
        LookupCase{"NoEqualsThenBlankKey", 0x0804, TextList{"plain", "y=2", "=blank"}, "blank"},
        LookupCase{"ValueKeepsLaterEquals", 0x0409, TextList{"0409=a=b"}, "a=b"}),

    [](const auto& p) { return std::string(p.param.name); });

TEST(LanguageKeys, areUpperCaseHexOfIdAndPrimary) {
    const auto keys = languageKeys(0x040C);
    EXPECT_EQ(keys.languageId, "040C");
    EXPECT_EQ(keys.primaryLanguageId, "000C");
    EXPECT_EQ(languageKeys(0xFFFF).primaryLanguageId, "03FF");
}

struct ParseCase {
    const char* name;
    const char* text;
    std::vector<std::string> entries;
};

class TextListParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TextListParse, splitsAtEveryKindOfLineBreak) {
    const auto& c = GetParam();
    const auto list = TextList::fromText(c.text);
    EXPECT_EQ(list.entries(), c.entries);
    EXPECT_EQ(TextList::fromText(list.text()), list);
}

INSTANTIATE_TEST_SUITE_P(Parse, TextListParse,
                         ::testing::Values(ParseCase{"Empty", "", {}},
                                           ParseCase{"OneWithoutBreak", "Default=a", {"Default=a"}},
                                           ParseCase{"FinalBreakAddsNothing", "a=1\r\n", {"a=1"}},
                                           ParseCase{"Crlf", "a=1\r\nb=2", {"a=1", "b=2"}},
                                           ParseCase{"Lf", "a=1\nb=2\n", {"a=1", "b=2"}},
                                           ParseCase{"LoneCr", "a=1\rb=2", {"a=1", "b=2"}},
                                           ParseCase{"BlankLineKept", "a\n\nb", {"a", "", "b"}},
                                           ParseCase{"LfCrIsTwoBreaks", "a\n\rb", {"a", "", "b"}}),
                         [](const auto& p) { return std::string(p.param.name); });

struct LocaleCase {
    const char* locale;
    std::optional<std::uint16_t> id;
};

class WindowsLanguageId : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(WindowsLanguageId, mapsLocaleNames) {
    EXPECT_EQ(languageIdOfLocale(GetParam().locale), GetParam().id) << GetParam().locale;
}

INSTANTIATE_TEST_SUITE_P(
    Locales, WindowsLanguageId,
    ::testing::Values(LocaleCase{"de_DE", 0x0407}, LocaleCase{"de_CH", 0x0807},
                      LocaleCase{"fr-CA", 0x0C0C}, LocaleCase{"zh_CN", 0x0804},
                      LocaleCase{"zh_TW", 0x0404}, LocaleCase{"zh_Hant", 0x0404},
                      LocaleCase{"zh_Hans_CN", 0x0804}, LocaleCase{"de_DE.UTF-8@euro", 0x0407},
                      LocaleCase{"DE_de", 0x0407}, LocaleCase{"de_BR", 0x0407},
                      LocaleCase{"C", std::nullopt}, LocaleCase{"", std::nullopt}));

} // namespace
} // namespace cpuconfig
