// The gate in front of the service menu. Qt-free so it can be checked on its own.
#pragma once

#include <string_view>

namespace cpuconfig {

// True when typed (UTF-8) is exactly the access code: the whole text, letter case counted,
// nothing trimmed. Only a digest of the code is kept in the program, and the digests are
// compared in constant time, so neither the binary's strings nor timing give it away.
bool isAccessCode(std::string_view typed);

} // namespace cpuconfig
