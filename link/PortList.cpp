#include "link/PortList.h"

#include "link/PortInfo.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace cpuconfig {

namespace fs = std::filesystem;

fs::path registeredPortsFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const fs::path base = runtime && *runtime ? fs::path(runtime) : fs::path("/tmp");
    return base / "cpuconfig-ports";
}

bool portNameLess(const std::string& a, const std::string& b) {
    auto lower = [](unsigned char c) { return std::tolower(c); };
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
}

void sortPortNames(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), portNameLess);
}

std::vector<std::string> listSerialPorts() {
    std::vector<std::string> names;
    for (const auto& port : describeSerialPorts())
        names.push_back(port.device);
    return names;
}

} // namespace cpuconfig
