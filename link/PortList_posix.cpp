#include "link/PortList.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace cpuconfig {

namespace fs = std::filesystem;

namespace {

bool isCharacterDevice(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISCHR(st.st_mode); // follows the link
}

// The 8250 driver registers ttyS0 to ttyS31 whether or not a UART sits behind them; those
// without one report the type 0 (unknown) and cannot carry a byte.
bool placeholderUart(const fs::path& ttyDir) {
    std::ifstream type(ttyDir / "type");
    int value = -1;
    return type >> value && value == 0;
}

} // namespace

std::vector<std::string> listSerialPorts() {
    std::vector<std::string> names;
    std::error_code ec;
    // A tty with a device behind it is a serial port (virtual consoles and ptys have none).
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        std::error_code e2;
        if (fs::exists(entry.path() / "device", e2) && !placeholderUart(entry.path())) {
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
