// The user's language as a 16-bit Windows language id (primary language in the low 10
// bits), which picks the texts of the preview dialog.
#pragma once

#include <cstdint>

namespace cpuconfig {

// Windows only: the language of the shell's first version translation (what the user's
// Windows is shown in), else the system default language. Other platforms derive the id
// from their own locale.
std::uint16_t windowsLanguageId();

} // namespace cpuconfig
