// Windows language identifiers for the preview dialog's text lists, from a locale name as
// the desktop reports it ("de_CH", "fr-FR", "zh_TW.UTF-8", "nl").
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace cpuconfig {

// English (United States): what a machine whose locale names no known language gets.
inline constexpr std::uint16_t kFallbackLanguageId = 0x0409;

// The 16-bit Windows language identifier of the locale: the exact language and territory
// when known, else the language's default identifier; nothing for an unknown language or
// the C/POSIX locale.
std::optional<std::uint16_t> languageIdOfLocale(std::string_view localeName);

} // namespace cpuconfig
