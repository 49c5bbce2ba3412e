#include "link/PortList.h"

#include <algorithm>
#include <cctype>

namespace cpuconfig {

void sortPortNames(std::vector<std::string>& names) {
    auto lower = [](unsigned char c) { return std::tolower(c); };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
    });
}

} // namespace cpuconfig
