// The serial ports the panel offers, sorted case-insensitively (COM1, COM10, COM2).
#pragma once

#include <string>
#include <vector>

namespace cpuconfig {

std::vector<std::string> listSerialPorts();

} // namespace cpuconfig
