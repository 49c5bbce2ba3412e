// Windows half of the port list: the serial ports the system has registered. Only for the
// Windows build; the rest of the engine sees listSerialPorts() alone.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace cpuconfig {

struct RegistryPort {
    std::string valueName; // \Device\Serial0, \Device\VCP0: names the driver's device
    std::string device;    // COM3
};

// Every value under root\subKey whose data is a port name, sorted by that name. The key is
// opened read-only. A missing key gives an empty list; values that are not strings, or are
// empty, are skipped.
std::vector<RegistryPort> registryPorts(HKEY root, const char* subKey);

// The string data of every value under root\subKey (the device names, such as COM1, not
// the value names), sorted case-insensitively. The key is opened read-only: asking for
// more is refused to ordinary users. A missing key gives an empty list; values that are
// not strings, or are empty, are skipped.
std::vector<std::string> registryPortNames(HKEY root, const char* subKey);

// The key Windows keeps its serial ports under, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kSerialCommKey = "hardware\\DEVICEMAP\\SERIALCOMM";

} // namespace cpuconfig
