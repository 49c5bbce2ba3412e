// The Windows port list read from the system: a device registered in the device database
// describes its registry port; a port without one keeps the registry's text. Wine lets a
// test add a device; on Windows that would change the machine, so the test runs under Wine
// only.
#include "link/PortInfo.h"
#include "link/Win32PortList.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

namespace cpuconfig {
namespace {

bool underWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A device of the ports class, removed again at the end.
class RegisteredPort {
public:
    RegisteredPort(const wchar_t* instanceId, const wchar_t* friendlyName, const wchar_t* port) {
        m_set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
        m_device.cbSize = sizeof m_device;
        m_ok = SetupDiCreateDeviceInfoW(m_set, instanceId, &GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                        0, &m_device) &&
               SetupDiRegisterDeviceInfo(m_set, &m_device, 0, nullptr, nullptr, nullptr) &&
               setText(SPDRP_FRIENDLYNAME, friendlyName) && setText(SPDRP_MFG, L"wch.cn") &&
               setText(SPDRP_SERVICE, L"CH341SER_A64");
        const HKEY key = SetupDiCreateDevRegKeyW(m_set, &m_device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                                 nullptr, nullptr);
        m_ok = m_ok && key != INVALID_HANDLE_VALUE &&
               RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                              static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t))) ==
                   ERROR_SUCCESS;
        if (key != INVALID_HANDLE_VALUE)
            RegCloseKey(key);
    }
    ~RegisteredPort() {
        SetupDiRemoveDevice(m_set, &m_device);
        SetupDiDestroyDeviceInfoList(m_set);
    }
    bool ok() const { return m_ok; }

private:
    bool setText(DWORD property, const wchar_t* text) {
        return SetupDiSetDeviceRegistryPropertyW(
            m_set, &m_device, property, reinterpret_cast<const BYTE*>(text),
            static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    }

    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_device{};
    bool m_ok = false;
};

// A value of the registry's port list, removed again at the end.
class SerialCommValue {
public:
    SerialCommValue(const char* name, const char* port) : m_name(name) {
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE, nullptr, &m_key, nullptr);
        RegSetValueExA(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                       static_cast<DWORD>(strlen(port) + 1));
    }
    ~SerialCommValue() {
        RegDeleteValueA(m_key, m_name);
        RegCloseKey(m_key);
    }

private:
    const char* m_name;
    HKEY m_key = nullptr;
};

TEST(Win32PortDescription, fromTheDeviceDatabaseElseTheRegistry) {
    if (!underWine())
        GTEST_SKIP() << "adds a device to the device database: under Wine only";
    const RegisteredPort ch340(L"USB\\VID_1A86&PID_7523\\5&2B4D5B2&0&93",
                               L"USB-SERIAL CH340 (COM93)", L"COM93");
    ASSERT_TRUE(ch340.ok()) << GetLastError();
    const SerialCommValue described("\\Device\\cpuconfigTest93", "COM93");
    const SerialCommValue bare("\\Device\\cpuconfigTest94", "COM94");

    const auto ports = describeSerialPorts();
    auto description = [&](const std::string& device) {
        const auto it = std::find_if(ports.begin(), ports.end(),
                                     [&](const PortInfo& p) { return p.device == device; });
        return it == ports.end() ? std::string("(not listed)") : it->description();
    };
    EXPECT_EQ(description("COM93"),
              "USB-SERIAL CH340; wch.cn; CH341SER_A64, 1a86:7523; \\Device\\cpuconfigTest93");
    EXPECT_EQ(description("COM94"), "\\Device\\cpuconfigTest94");
}

} // namespace
} // namespace cpuconfig
