// What each serial port is: its stable names, the driver behind it and the USB adapter's
// own ids and strings, so that two adapters can be told apart and a port found again after
// the numbering changed. Linux reads /sys, /dev/serial/by-id and /dev/serial/by-path;
// Windows has only what the registry gives. Running simulated cards are listed too.
//
// Thread-safety: every function here reads the file system only and keeps no state; any
// thread may call them at any time, also several at once.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace cpuconfig {

struct PortInfo {
    std::string device;            // the name to open: /dev/ttyUSB0, COM3, a simulated card's link
    std::vector<std::string> byId; // /dev/serial/by-id/... links to it
    std::vector<std::string> byPath; // /dev/serial/by-path/... links to it
    std::string driver;       // kernel driver: ftdi_sio, ch341, cp210x, pl2303, cdc_acm, serial
    std::string vendorId;     // USB idVendor, four hex digits ("0403"); empty when not USB
    std::string productId;    // USB idProduct ("6001")
    std::string serial;       // USB serial number string
    std::string manufacturer; // USB manufacturer string
    std::string product;      // USB product string
    std::string systemName;   // Windows: the registry's value name (\Device\VCP0)
    bool simulated = false;   // a simulated card of this tool
    int screen = 0;           // simulated: the screen number it answers to
    std::string model;        // simulated: the model text it reports
    std::string target;       // simulated: the pseudo-terminal its link leads to

    // One line for a tooltip or a message: what the port is, without its device name.
    std::string description() const;
};

// Where the lister looks. Tests point root at a tree made in a temporary folder; the
// device names reported are always as seen from root ("/dev/ttyUSB0").
struct PortTree {
    std::filesystem::path root = "/";
    std::filesystem::path simulated; // empty: simulatedPortsFolder()

    // Where a name as the system sees it lies in the tree. On the machine's own tree a
    // relative name stays relative to the current folder, as open() takes it.
    std::filesystem::path inside(const std::string& name) const {
        return root == "/" ? std::filesystem::path(name)
                           : root / std::filesystem::path(name).relative_path();
    }
};

// Every serial port with its description, sorted as the panel sorts names.
std::vector<PortInfo> describeSerialPorts(const PortTree& tree = {});

// The description of one port by any of its names (a by-id link included); nullopt when
// no listed port has that name.
std::optional<PortInfo> findPort(const std::string& name, const PortTree& tree = {});

// The kernel driver of the port behind name ("" when it has none or is unknown). Cheap:
// reads only that port's entries, for messages about one port.
std::string portDriver(const std::string& name, const PortTree& tree = {});

// A key that is equal for two names of the same port (a device and its by-id link, a
// simulated card's link and its pseudo-terminal; COM3 and \\.\com3 on Windows). Names of
// ports that do not exist compare by their text.
std::string portIdentity(const std::string& name);

// The first pair of indices in names that name one port, if any.
std::optional<std::pair<std::size_t, std::size_t>>
findSamePort(const std::vector<std::string>& names);

} // namespace cpuconfig
