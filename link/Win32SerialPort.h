// The serial port on Windows: Win32 communications functions with overlapped I/O, in the
// order and with the values every exchange with a card has always used. The port's
// operations map onto them in Win32SerialPort.cpp; nothing Win32 shows outside it.
#pragma once

#include "link/SerialPort.h"

#include <string>

namespace cpuconfig {

// The name CreateFileA needs for a port name: COM10 and above only open as \\.\COM10, and
// the prefix does no harm to COM1..COM9. Other names (and names already prefixed) pass
// unchanged.
std::string win32DeviceName(const std::string& portName);

// The exchange's first steps: the write event, the port itself (read and write, share 0,
// existing device, overlapped), then its queue sizes and driver timeouts. PortOpen when one
// of the first fails, PortSetup when the port refuses to be set up.
class Win32SerialPorts final : public SerialPortFactory {
public:
    Result<std::unique_ptr<SerialPort>> open(const std::string& name) override;
};

} // namespace cpuconfig
