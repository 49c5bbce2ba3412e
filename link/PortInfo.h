// What each serial port is: its stable names, the driver behind it and the USB adapter's
// own ids and strings, so that two adapters can be told apart and a port found again after
// the numbering changed. Linux reads /sys, /dev/serial/by-id and /dev/serial/by-path;
// Windows lists the registry's ports and describes them from its device database, as the
// Device Manager names them. Ports that programs register in the ports folder (a link to a
// device and a description beside it) are listed too.
//
// Thread-safety: every function here reads the file system only and keeps no state; any
// thread may call them at any time, also several at once.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cpuconfig {

struct PortInfo {
    std::string device;              // the name to open: /dev/ttyUSB0, COM3, a registered link
    std::vector<std::string> byId;   // /dev/serial/by-id/... links to it
    std::vector<std::string> byPath; // /dev/serial/by-path/... links to it
    // The kernel driver (ftdi_sio, ch341, cp210x, pl2303, cdc_acm, serial); on Windows the
    // driver's service (FTSER2K, CH341SER_A64, silabser, usbser, Serial).
    std::string driver;
    std::string vendorId;     // USB idVendor, four hex digits ("0403"); empty when not USB
    std::string productId;    // USB idProduct ("6001")
    std::string serial;       // USB serial number string
    std::string manufacturer; // USB manufacturer string; on Windows the driver's maker
    // The USB product string; on Windows the name the Device Manager shows, without the
    // "(COM3)" at its end (USB-SERIAL CH340, USB Serial Port).
    std::string product;
    std::string systemName; // Windows: the registry's value name (\Device\VCP0)
    // A port registered in the ports folder (registeredPortsFolder()) by whatever serves it.
    struct Registration {
        std::string target; // the device its link leads to
        // The "key=value" lines its registrar left in the link's ".card" file, in order.
        // The lister shows two of them: "brief" in lists of ports, "description" for the
        // port itself.
        std::vector<std::pair<std::string, std::string>> fields;
        std::string field(const std::string& key) const; // "" when it has none
    };
    std::optional<Registration> registration;

    // One line for a tooltip or a message: what the port is, without its device name.
    std::string description() const;
    // What lists of ports say about it beside its name ("" for nothing): its by-id links,
    // or a registered port's brief.
    std::string brief() const;
};

// Where the lister looks. Tests point root at a tree made in a temporary folder; the
// device names reported are always as seen from root ("/dev/ttyUSB0").
struct PortTree {
    std::filesystem::path root = "/";
    std::filesystem::path registered; // empty: registeredPortsFolder()

    // Where a name as the system sees it lies in the tree. On the machine's own tree a
    // relative name stays relative to the current folder, as open() takes it.
    std::filesystem::path inside(const std::string& name) const {
        return root == "/" ? std::filesystem::path(name)
                           : root / std::filesystem::path(name).relative_path();
    }
};

// What the Windows device database holds about one device that is a serial port, as the
// system hands it over (UTF-8). Read on Windows only; the rules that turn it into a
// description are the same everywhere.
struct DeviceRecord {
    std::string portName;     // the PortName of the device's key (COM3); may be missing
    std::string friendlyName; // USB-SERIAL CH340 (COM3)
    std::string description;  // the driver's name for the device, without the port
    std::string manufacturer; // wch.cn; "(Standard port types)" for the built-in ports
    std::string service;      // the driver's service: CH341SER_A64, FTSER2K, usbser, Serial
    // The device's own instance id, then its parent's and grandparent's: an FTDI port and
    // an interface of a composite device are children of the USB device that has the serial
    // number. USB\VID_1A86&PID_7523\5&2B4D5B2&0&1, FTDIBUS\VID_0403+PID_6001+A50285BIA\0000
    std::vector<std::string> instanceIds;
    std::vector<std::string> hardwareIds; // USB\VID_1A86&PID_7523&REV_0264, ...
};

// Describes the ports listed by the registry (device and systemName set) from the device
// records whose port they are, matched without regard to case. The registry stays the list:
// a record of no listed port adds nothing, and a port without a record keeps the registry's
// text alone (Wine's ports, a port whose driver is missing).
void describeFromDeviceRecords(std::vector<PortInfo>& ports,
                               const std::vector<DeviceRecord>& records);

// Every serial port with its description, sorted as the panel sorts names.
std::vector<PortInfo> describeSerialPorts(const PortTree& tree = {});

// The description of one port by any of its names (a by-id link included); nullopt when
// no listed port has that name.
std::optional<PortInfo> findPort(const std::string& name, const PortTree& tree = {});

// The kernel driver of the port behind name ("" when it has none or is unknown). Cheap:
// reads only that port's entries, for messages about one port.
std::string portDriver(const std::string& name, const PortTree& tree = {});

// A key that is equal for two names of the same port (a device and its by-id link, a
// registered link and its device; COM3 and \\.\com3 on Windows). Names of
// ports that do not exist compare by their text.
std::string portIdentity(const std::string& name);

// The first pair of indices in names that name one port, if any.
std::optional<std::pair<std::size_t, std::size_t>>
findSamePort(const std::vector<std::string>& names);

} // namespace cpuconfig
