#include "preview/LanguageId.h"

#include <array>
#include <string>

namespace cpuconfig {

namespace {

struct LocaleRow {
    const char* language;  // ISO 639-1, lower case
    const char* territory; // ISO 3166-1, upper case; the first row of a language is its default
    std::uint16_t id;
};

constexpr std::array kLocales{
    LocaleRow{"ar", "SA", 0x0401},  LocaleRow{"ar", "EG", 0x0C01}, LocaleRow{"bg", "BG", 0x0402},
    LocaleRow{"ca", "ES", 0x0403},  LocaleRow{"zh", "CN", 0x0804}, LocaleRow{"zh", "TW", 0x0404},
    LocaleRow{"zh", "HK", 0x0C04},  LocaleRow{"zh", "SG", 0x1004}, LocaleRow{"zh", "MO", 0x1404},
    LocaleRow{"cs", "CZ", 0x0405},  LocaleRow{"da", "DK", 0x0406}, LocaleRow{"de", "DE", 0x0407},
    LocaleRow{"de", "CH", 0x0807},  LocaleRow{"de", "AT", 0x0C07}, LocaleRow{"de", "LU", 0x1007},
    LocaleRow{"de", "LI", 0x1407},  LocaleRow{"el", "GR", 0x0408}, LocaleRow{"en", "US", 0x0409},
    LocaleRow{"en", "GB", 0x0809},  LocaleRow{"en", "AU", 0x0C09}, LocaleRow{"en", "CA", 0x1009},
    LocaleRow{"en", "NZ", 0x1409},  LocaleRow{"en", "IE", 0x1809}, LocaleRow{"en", "ZA", 0x1C09},
    LocaleRow{"en", "IN", 0x4009},  LocaleRow{"en", "SG", 0x4809}, LocaleRow{"es", "ES", 0x0C0A},
    LocaleRow{"es", "MX", 0x080A},  LocaleRow{"es", "AR", 0x2C0A}, LocaleRow{"fi", "FI", 0x040B},
    LocaleRow{"fr", "FR", 0x040C},  LocaleRow{"fr", "BE", 0x080C}, LocaleRow{"fr", "CA", 0x0C0C},
    LocaleRow{"fr", "CH", 0x100C},  LocaleRow{"fr", "LU", 0x140C}, LocaleRow{"he", "IL", 0x040D},
    LocaleRow{"hu", "HU", 0x040E},  LocaleRow{"is", "IS", 0x040F}, LocaleRow{"it", "IT", 0x0410},
    LocaleRow{"it", "CH", 0x0810},  LocaleRow{"ja", "JP", 0x0411}, LocaleRow{"ko", "KR", 0x0412},
    LocaleRow{"nl", "NL", 0x0413},  LocaleRow{"nl", "BE", 0x0813}, LocaleRow{"nb", "NO", 0x0414},
    LocaleRow{"no", "NO", 0x0414},  LocaleRow{"nn", "NO", 0x0814}, LocaleRow{"pl", "PL", 0x0415},
    LocaleRow{"pt", "BR", 0x0416},  LocaleRow{"pt", "PT", 0x0816}, LocaleRow{"ro", "RO", 0x0418},
    LocaleRow{"ru", "RU", 0x0419},  LocaleRow{"hr", "HR", 0x041A}, LocaleRow{"sr", "RS", 0x241A},
    LocaleRow{"sk", "SK", 0x041B},  LocaleRow{"sq", "AL", 0x041C}, LocaleRow{"sv", "SE", 0x041D},
    LocaleRow{"sv", "FI", 0x081D},  LocaleRow{"th", "TH", 0x041E}, LocaleRow{"tr", "TR", 0x041F},
    LocaleRow{"ur", "PK", 0x0420},  LocaleRow{"id", "ID", 0x0421}, LocaleRow{"uk", "UA", 0x0422},
    LocaleRow{"be", "BY", 0x0423},  LocaleRow{"sl", "SI", 0x0424}, LocaleRow{"et", "EE", 0x0425},
    LocaleRow{"lv", "LV", 0x0426},  LocaleRow{"lt", "LT", 0x0427}, LocaleRow{"fa", "IR", 0x0429},
    LocaleRow{"vi", "VN", 0x042A},  LocaleRow{"eu", "ES", 0x042D}, LocaleRow{"mk", "MK", 0x042F},
    LocaleRow{"af", "ZA", 0x0436},  LocaleRow{"hi", "IN", 0x0439}, LocaleRow{"ms", "MY", 0x043E},
    LocaleRow{"kk", "KZ", 0x043F},  LocaleRow{"sw", "KE", 0x0441}, LocaleRow{"bn", "IN", 0x0445},
    LocaleRow{"ta", "IN", 0x0449},  LocaleRow{"mn", "MN", 0x0450}, LocaleRow{"gl", "ES", 0x0456},
    LocaleRow{"fil", "PH", 0x0464},
};

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

std::optional<std::uint16_t> languageIdOfLocale(std::string_view localeName) {
    // Encoding and modifier ("de_DE.UTF-8@euro") say nothing about the language.
    localeName = localeName.substr(0, localeName.find_first_of(".@"));
    std::string language;
    std::size_t i = 0;
    for (; i < localeName.size() && isAsciiLetter(localeName[i]); ++i) {
        language += lower(localeName[i]);
    }
    std::string territory;
    if (i < localeName.size() && (localeName[i] == '_' || localeName[i] == '-')) {
        // A script may come between ("zh_Hant_TW", "sr-Latn-RS"): the territory is last.
        const std::string_view rest = localeName.substr(i + 1);
        const auto lastSep = rest.find_last_of("_-");
        const std::string_view last =
            lastSep == std::string_view::npos ? rest : rest.substr(lastSep + 1);
        for (char c : last) {
            territory += upper(c);
        }
        // Traditional script without a territory: Taiwan's identifier carries it.
        if (rest.find("Hant") != std::string_view::npos && territory.size() != 2) {
            territory = "TW";
        }
    }
    const LocaleRow* languageDefault = nullptr;
    for (const auto& row : kLocales) {
        if (language != row.language) {
            continue;
        }
        if (territory == row.territory) {
            return row.id;
        }
        if (languageDefault == nullptr) {
            languageDefault = &row;
        }
    }
    if (languageDefault != nullptr) {
        return languageDefault->id;
    }
    return std::nullopt;
}

} // namespace cpuconfig
