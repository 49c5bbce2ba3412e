// The serial ports the panel offers, sorted case-insensitively (COM1, COM10, COM2).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cpuconfig {

// The device names of describeSerialPorts() (link/PortInfo.h).
std::vector<std::string> listSerialPorts();

// Where programs register ports of their own for the lister (POSIX): a link to the device
// and its ".card" file of "key=value" lines (link/PortInfo.h) in
// ${XDG_RUNTIME_DIR:-/tmp}/cpuconfig-ports.
std::filesystem::path registeredPortsFolder();

// The order of the panel's sorted list: case-insensitively, character by character.
bool portNameLess(const std::string& a, const std::string& b);
void sortPortNames(std::vector<std::string>& names);

} // namespace cpuconfig
