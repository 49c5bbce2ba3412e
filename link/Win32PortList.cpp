#include "link/Win32PortList.h"

#include "link/PortInfo.h"
#include "link/PortList.h"

#include <algorithm>
#include <cctype>

namespace cpuconfig {

std::vector<RegistryPort> registryPorts(HKEY root, const char* subKey) {
    std::vector<RegistryPort> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return ports;
    }
    DWORD maxName = 0;
    DWORD maxData = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                     &maxData, nullptr, nullptr);
    std::string name(maxName + 1, '\0');
    std::vector<BYTE> data(maxData + 1);
    for (DWORD index = 0;;) {
        DWORD nameLen = static_cast<DWORD>(name.size());
        DWORD dataLen = static_cast<DWORD>(data.size() - 1); // room for a terminator
        DWORD type = 0;
        const LONG rc =
            RegEnumValueA(key, index, name.data(), &nameLen, nullptr, &type, data.data(), &dataLen);
        if (rc == ERROR_MORE_DATA) {
            // A value grew since the key was sized: make room and read it again.
            name.resize(name.size() * 2 + 64);
            data.resize(std::max<std::size_t>(data.size() * 2, dataLen + 2));
            continue;
        }
        if (rc != ERROR_SUCCESS) {
            break; // ERROR_NO_MORE_ITEMS, or the key went away
        }
        ++index;
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            continue;
        }
        // Registry strings need not carry their terminator: cut at the first zero, if any.
        const auto* text = reinterpret_cast<const char*>(data.data());
        const std::string port(text, std::find(text, text + dataLen, '\0'));
        if (!port.empty()) {
            ports.push_back({std::string(name.data(), nameLen), port});
        }
    }
    RegCloseKey(key);
    std::stable_sort(ports.begin(), ports.end(), [](const RegistryPort& a, const RegistryPort& b) {
        return portNameLess(a.device, b.device);
    });
    return ports;
}

std::vector<std::string> registryPortNames(HKEY root, const char* subKey) {
    std::vector<std::string> names;
    for (const auto& port : registryPorts(root, subKey))
        names.push_back(port.device);
    return names;
}

std::string portDriver(const std::string&, const PortTree&) {
    return {};
}

std::string portIdentity(const std::string& name) {
    std::string key = name;
    if (key.rfind("\\\\.\\", 0) == 0)
        key.erase(0, 4);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return key;
}

} // namespace cpuconfig
