// The Windows port list: the registry's ports, described from the device database as the
// Device Manager shows them.
#include "link/PortInfo.h"
#include "link/Win32PortList.h"

#include <set>

// setupapi.h needs the types of windows.h before it.
#include <windows.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

namespace cpuconfig {

namespace {

// The class of devices that offer a COM port (not every one of them is in the Ports class:
// a modem or a Bluetooth link may be elsewhere). ntddser.h declares it but does not build
// in every MinGW version.
constexpr GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back(); // the terminator, which the size counts
    return out;
}

// A device property's strings: one for REG_SZ, several for REG_MULTI_SZ; none when the
// device has no such property.
std::vector<std::string> deviceStrings(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    DWORD type = 0;
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, nullptr, 0, &size);
    if (size == 0 || (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    // Room for terminators the stored value may lack.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr))
        return {};
    std::vector<std::string> strings;
    for (const wchar_t* p = buffer.data(); *p; p += wcslen(p) + 1) {
        strings.push_back(utf8(p));
        if (type == REG_SZ)
            break;
    }
    return strings;
}

std::string deviceString(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    auto strings = deviceStrings(set, device, property);
    return strings.empty() ? std::string() : std::move(strings.front());
}

// The COM name the device's driver took, from the device's own key.
std::string portName(HDEVINFO set, SP_DEVINFO_DATA& device) {
    const HKEY key =
        SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    wchar_t name[256] = {};
    DWORD size = sizeof name - sizeof(wchar_t); // the last one stays a terminator
    DWORD type = 0;
    const LONG rc =
        RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_SZ ? utf8(name) : std::string();
}

std::string instanceId(DEVINST device) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    return CM_Get_Device_IDW(device, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? utf8(id)
                                                                             : std::string();
}

// Every present device of the set that is not in records yet.
void readDevices(HDEVINFO set, std::set<std::string>& seen, std::vector<DeviceRecord>& records) {
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        DeviceRecord record;
        // The device, then the USB device above an FTDI port or a composite's interface.
        DEVINST node = device.DevInst;
        for (int level = 0; level < 3; ++level) {
            record.instanceIds.push_back(instanceId(node));
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
                break;
            node = parent;
        }
        if (!seen.insert(record.instanceIds.front()).second)
            continue;
        record.portName = portName(set, device);
        record.friendlyName = deviceString(set, device, SPDRP_FRIENDLYNAME);
        record.description = deviceString(set, device, SPDRP_DEVICEDESC);
        record.manufacturer = deviceString(set, device, SPDRP_MFG);
        record.service = deviceString(set, device, SPDRP_SERVICE);
        record.hardwareIds = deviceStrings(set, device, SPDRP_HARDWAREID);
        records.push_back(std::move(record));
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The serial ports the device database knows of. Wine's ports are not in it.
std::vector<DeviceRecord> portDevices() {
    std::vector<DeviceRecord> records;
    std::set<std::string> seen;
    readDevices(SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT), seen,
                records);
    readDevices(SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr,
                                     DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
                seen, records);
    return records;
}

} // namespace

std::vector<PortInfo> describeSerialPorts(const PortTree&) {
    std::vector<PortInfo> ports;
    for (const auto& port : registryPorts(HKEY_LOCAL_MACHINE, kSerialCommKey)) {
        PortInfo info;
        info.device = port.device;
        info.systemName = port.valueName;
        ports.push_back(std::move(info));
    }
    if (!ports.empty())
        describeFromDeviceRecords(ports, portDevices());
    return ports;
}

} // namespace cpuconfig
