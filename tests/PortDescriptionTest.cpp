// What a Windows port is, from what the device database says about it: the strings are
// those real adapters and their drivers give. Runs everywhere; the database is read only
// on Windows.
#include "link/PortInfo.h"

#include <gtest/gtest.h>

namespace cpuconfig {
namespace {

TEST(PortDescription, fromTheDeviceDatabase) {
    // The registry's port, the record of the device (port name, friendly name, description,
    // maker, service, instance ids nearest first, hardware ids), the description shown.
    const struct {
        const char* port;
        DeviceRecord record;
        const char* expected;
    } cases[] = {
        // clang-format off
        // A CH340 has no serial number: Windows makes up the instance part.
        {"COM3", {"COM3", "USB-SERIAL CH340 (COM3)", "USB-SERIAL CH340", "wch.cn", "CH341SER_A64",
                  {"USB\\VID_1A86&PID_7523\\5&2B4D5B2&0&1"},
                  {"USB\\VID_1A86&PID_7523&REV_0264", "USB\\VID_1A86&PID_7523"}},
         "USB-SERIAL CH340; wch.cn; CH341SER_A64, 1a86:7523"},
        // FTDI's port sits on its own bus, under the USB device that has the serial number;
        // with its bus's id alone, the serial number loses the letter of the chip's port.
        {"COM7", {"COM7", "USB Serial Port (COM7)", "USB Serial Port", "FTDI", "FTSER2K",
                  {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
                   "USB\\VID_0403&PID_6001\\A50285BI"},
                  {"FTDIBUS\\COMPORT&VID_0403&PID_6001"}},
         "USB Serial Port; FTDI; serial A50285BI; FTSER2K, 0403:6001"},
        {"COM7", {"COM7", "USB Serial Port (COM7)", "", "FTDI", "FTSER2K",
                  {"FTDIBUS\\VID_0403+PID_6010+FT4ABC12B\\0000"}, {}},
         "USB Serial Port; FTDI; serial FT4ABC12; FTSER2K, 0403:6010"},
        // A maker the name begins with is not said twice; "0001" is a real serial number.
        {"COM4", {"COM4", "Silicon Labs CP210x USB to UART Bridge (COM4)", "", "Silicon Labs",
                  "silabser", {"USB\\VID_10C4&PID_EA60\\0001"},
                  {"USB\\VID_10C4&PID_EA60&REV_0100"}},
         "Silicon Labs CP210x USB to UART Bridge; serial 0001; silabser, 10c4:ea60"},
        {"COM5", {"COM5", "Prolific USB-to-Serial Comm Port (COM5)", "", "Prolific", "Ser2pl64",
                  {"USB\\VID_067B&PID_2303\\6&1B5C3D9E&0&3"},
                  {"USB\\VID_067B&PID_2303&REV_0300"}},
         "Prolific USB-to-Serial Comm Port; Ser2pl64, 067b:2303"},
        {"COM8", {"COM8", "Arduino Uno (COM8)", "", "Arduino LLC (www.arduino.cc)", "usbser",
                  {"USB\\VID_2341&PID_0043\\75330303035351F0A1B1"}, {}},
         "Arduino Uno; Arduino LLC (www.arduino.cc); serial 75330303035351F0A1B1; "
         "usbser, 2341:0043"},
        // An interface of a composite device: the serial number is its parent's, and only
        // when the parent is the same device.
        {"COM9", {"COM9", "USB 串行设备 (COM9)", "", "Microsoft", "usbser",
                  {"USB\\VID_2E8A&PID_000A&MI_00\\7&1A2B3C4D&0&0000",
                   "USB\\VID_2E8A&PID_000A\\E66058"}, {}},
         "USB 串行设备; Microsoft; serial E66058; usbser, 2e8a:000a"},
        {"COM9", {"COM9", "USB Serial Device (COM9)", "", "Microsoft", "usbser",
                  {"USB\\VID_2E8A&PID_000A&MI_00\\7&1A2B3C4D&0&0000",
                   "USB\\VID_05E3&PID_0608\\HUB1"}, {}},
         "USB Serial Device; Microsoft; usbser, 2e8a:000a"},
        // The built-in port: no USB ids, and "(Standard port types)" names no maker. A name
        // with brackets of its own keeps them.
        {"COM1", {"COM1", "Communications Port (COM1)", "", "(Standard port types)", "Serial",
                  {"ACPI\\PNP0501\\1"}, {"ACPI\\PNP0501", "*PNP0501"}},
         "Communications Port; Serial"},
        {"COM3", {"COM3", "Intel(R) Active Management Technology - SOL (COM3)", "", "Intel",
                  "Serial",
                  {"PCI\\VEN_8086&DEV_A13D&SUBSYS_06DC1028&REV_31\\3&11583659&0&B3"}, {}},
         "Intel(R) Active Management Technology - SOL; Serial"},
        // Matched without regard to case, and by the friendly name without a port name; an
        // old port number left in the name is not shown.
        {"COM10", {"com10", "USB Serial Port (COM7)", "", "", "",
                   {"USB\\VID_0403&PID_6001\\A1"}, {}},
         "USB Serial Port; serial A1; 0403:6001"},
        {"COM12", {"", "Arduino Uno (COM12)", "", "", "", {}, {}}, "Arduino Uno"},
        {"COM2", {"COM2", "", "Communications Port", "", "", {}, {}}, "Communications Port"},
        // Ids that are not four hex digits, a Bluetooth port's: no USB ids.
        {"COM6", {"COM6", "Standard Serial over Bluetooth link (COM6)", "", "Microsoft",
                  "BTHMODEM",
                  {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&00010075_PID&A012"
                   "\\8&1&0"},
                  {"USB\\VID_12&PID_XYZ1", "USB\\VID_0403"}},
         "Standard Serial over Bluetooth link; Microsoft; BTHMODEM"},
        // No record for the port (Wine's ports, a port without a driver), or a record of
        // another port: nothing beside the registry's text.
        {"COM1", {"COM3", "USB-SERIAL CH340 (COM3)", "", "wch.cn", "", {}, {}}, ""},
        {"COM1", {"", "Something (LPT1)", "", "", "", {}, {}}, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<PortInfo> ports(1);
        ports[0].device = c.port;
        describeFromDeviceRecords(ports, {c.record});
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(ports[0].device, c.port);
        EXPECT_EQ(ports[0].description(), c.expected);
    }
}

} // namespace
} // namespace cpuconfig
