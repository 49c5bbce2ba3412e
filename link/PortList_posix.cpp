#include "link/PortList.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sys/stat.h>

namespace cpuconfig {

namespace fs = std::filesystem;

fs::path simulatedPortsFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const fs::path base = runtime && *runtime ? fs::path(runtime) : fs::path("/tmp");
    return base / "cpuconfig-ports";
}

namespace {

bool isCharacterDevice(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISCHR(st.st_mode); // follows the link
}

} // namespace

std::vector<std::string> listSerialPorts() {
    std::vector<std::string> names;
    std::error_code ec;
    // A tty with a device behind it is a serial port (virtual consoles and ptys have none).
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        std::error_code e2;
        if (fs::exists(entry.path() / "device", e2)) {
            const fs::path dev = fs::path("/dev") / entry.path().filename();
            if (isCharacterDevice(dev))
                names.push_back(dev.string());
        }
    }
    // Simulated cards: links to their pseudo-terminals; a link whose terminal is gone
    // belongs to a card that did not unregister.
    for (const auto& entry : fs::directory_iterator(simulatedPortsFolder(), ec)) {
        if (isCharacterDevice(entry.path()))
            names.push_back(entry.path().string());
    }
    sortPortNames(names);
    return names;
}

} // namespace cpuconfig
