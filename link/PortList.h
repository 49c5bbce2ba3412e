// The serial ports the panel offers, sorted case-insensitively (COM1, COM10, COM2).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cpuconfig {

std::vector<std::string> listSerialPorts();

// Where running simulated cards register their ports (POSIX):
// ${XDG_RUNTIME_DIR:-/tmp}/cpuconfig-ports.
std::filesystem::path simulatedPortsFolder();

// Sorts names as the panel's sorted list does: case-insensitively, character by character.
void sortPortNames(std::vector<std::string>& names);

} // namespace cpuconfig
