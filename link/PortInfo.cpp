#include "link/PortInfo.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace cpuconfig {

namespace {

bool sameText(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::toupper(x) == std::toupper(y);
    });
}

bool startsWithText(std::string_view text, std::string_view start) {
    return text.size() >= start.size() && sameText(text.substr(0, start.size()), start);
}

std::vector<std::string_view> split(std::string_view text, char at) {
    std::vector<std::string_view> parts;
    for (std::size_t from = 0;;) {
        const std::size_t end = text.find(at, from);
        parts.push_back(text.substr(from, end - from));
        if (end == std::string_view::npos)
            return parts;
        from = end + 1;
    }
}

// "VID_0403" with key "VID_": "0403", in lower case as Linux shows it; "" unless four hex
// digits follow the key.
std::string hexField(std::string_view token, std::string_view key) {
    if (!startsWithText(token, key) || token.size() != key.size() + 4)
        return {};
    std::string digits;
    for (const unsigned char c : token.substr(key.size())) {
        if (!std::isxdigit(c))
            return {};
        digits += static_cast<char>(std::tolower(c));
    }
    return digits;
}

struct UsbIds {
    std::string vendorId, productId, serial;
};

// The USB ids in a device's instance id (ENUMERATOR\DEVICE\INSTANCE) or hardware id
// (ENUMERATOR\DEVICE). Windows puts a USB device's serial number in place of the instance
// part only when the device has one; otherwise it makes one up from the device's place
// (5&2B4D5B2&0&1), which tells nothing about the adapter and changes with the socket.
UsbIds parseDeviceId(std::string_view id) {
    const auto parts = split(id, '\\');
    if (parts.size() < 2)
        return {};
    // USB\VID_0403&PID_6001&MI_00; FTDI's own bus: FTDIBUS\VID_0403+PID_6001+A50285BIA.
    const std::string_view device = parts[1];
    UsbIds ids;
    for (const auto group : split(device, '+'))
        for (const auto token : split(group, '&')) {
            if (std::string v = hexField(token, "VID_"); !v.empty())
                ids.vendorId = v;
            if (std::string p = hexField(token, "PID_"); !p.empty())
                ids.productId = p;
        }
    if (ids.vendorId.empty() || ids.productId.empty())
        return {};
    if (parts.size() < 3)
        return ids;
    const auto ftdi = split(device, '+');
    if (ftdi.size() >= 3) {
        // The serial number of the USB device with the letter of the port on the chip
        // (A to D) after it; the instance part only numbers the ports.
        std::string_view serial = ftdi[2];
        if (serial.size() > 1 && serial.back() >= 'A' && serial.back() <= 'D')
            serial.remove_suffix(1);
        if (serial.find('&') == std::string_view::npos)
            ids.serial = serial;
    } else if (parts[2].find('&') == std::string_view::npos) {
        ids.serial = parts[2];
    }
    return ids;
}

// "COM3", "com12": the name Windows gives a serial port.
bool comPortName(std::string_view name) {
    return name.size() > 3 && startsWithText(name, "COM") &&
           std::all_of(name.begin() + 3, name.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The port named by the "(COM3)" at the end of a friendly name, and the name before it.
std::pair<std::string_view, std::string_view> splitFriendlyName(std::string_view name) {
    const std::size_t open = name.rfind('(');
    if (name.empty() || name.back() != ')' || open == std::string_view::npos)
        return {name, {}};
    const std::string_view port = name.substr(open + 1, name.size() - open - 2);
    std::string_view rest = name.substr(0, open);
    while (!rest.empty() && rest.back() == ' ')
        rest.remove_suffix(1);
    return {rest, port};
}

std::string recordPort(const DeviceRecord& record) {
    if (!record.portName.empty())
        return record.portName;
    const auto [name, port] = splitFriendlyName(record.friendlyName);
    return comPortName(port) ? std::string(port) : std::string();
}

void describeFrom(const DeviceRecord& record, const std::string& device, PortInfo& info) {
    // The port's own name is shown beside it: the "(COM3)" would only say it again. An old
    // one left in the name by a renumbering would mislead.
    const auto [name, port] = splitFriendlyName(record.friendlyName);
    const bool portSuffix = !port.empty() && (sameText(port, device) || comPortName(port));
    info.product = portSuffix ? std::string(name) : record.friendlyName;
    if (info.product.empty())
        info.product = record.description;
    // "(Standard port types)" names no maker: the built-in ports are Windows's own.
    const std::string& maker = record.manufacturer;
    if (!(maker.size() > 1 && maker.front() == '(' && maker.back() == ')'))
        info.manufacturer = maker;
    info.driver = record.service;
    std::vector<std::string> ids = record.instanceIds;
    ids.insert(ids.end(), record.hardwareIds.begin(), record.hardwareIds.end());
    for (const auto& id : ids) {
        UsbIds usb = parseDeviceId(id);
        if (usb.vendorId.empty())
            continue;
        if (info.vendorId.empty()) {
            info.vendorId = usb.vendorId;
            info.productId = usb.productId;
        }
        // A parent's serial number only when the parent is the same adapter.
        if (info.serial.empty() && usb.vendorId == info.vendorId && usb.productId == info.productId)
            info.serial = usb.serial;
    }
}

} // namespace

void describeFromDeviceRecords(std::vector<PortInfo>& ports,
                               const std::vector<DeviceRecord>& records) {
    for (auto& port : ports) {
        const auto record = std::find_if(records.begin(), records.end(), [&](const auto& r) {
            return sameText(recordPort(r), port.device);
        });
        if (record != records.end())
            describeFrom(*record, port.device, port);
    }
}

std::string PortInfo::description() const {
    if (registration) {
        std::string s = registration->field("description");
        if (!registration->target.empty())
            s += ", on " + registration->target;
        return s;
    }
    // What the port is first: on Windows that is the name the Device Manager shows. The
    // maker only when the name does not begin with it already.
    std::vector<std::string> parts;
    if (!product.empty())
        parts.push_back(product);
    if (!manufacturer.empty() && !startsWithText(product, manufacturer))
        parts.push_back(manufacturer);
    if (!serial.empty())
        parts.push_back("serial " + serial);
    std::string ids = driver;
    if (!vendorId.empty())
        ids += (ids.empty() ? "" : ", ") + vendorId + ":" + productId;
    if (!ids.empty())
        parts.push_back(ids);
    if (!systemName.empty())
        parts.push_back(systemName);
    for (const auto& link : byId)
        parts.push_back(link);
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : "; ") + p;
    return out;
}

std::string PortInfo::brief() const {
    if (registration)
        return registration->field("brief");
    std::string aka;
    for (const auto& link : byId)
        aka += (aka.empty() ? "" : ", ") + link;
    return aka;
}

std::string PortInfo::Registration::field(const std::string& key) const {
    for (const auto& [k, value] : fields)
        if (k == key)
            return value;
    return {};
}

std::optional<PortInfo> findPort(const std::string& name, const PortTree& tree) {
    const std::string key = portIdentity(name);
    for (auto& port : describeSerialPorts(tree)) {
        const auto& ids = port.byId;
        const auto& paths = port.byPath;
        if (port.device == name || std::find(ids.begin(), ids.end(), name) != ids.end() ||
            std::find(paths.begin(), paths.end(), name) != paths.end() ||
            portIdentity(port.device) == key)
            return port;
    }
    return std::nullopt;
}

std::optional<std::pair<std::size_t, std::size_t>>
findSamePort(const std::vector<std::string>& names) {
    std::vector<std::string> keys;
    for (const auto& n : names)
        keys.push_back(portIdentity(n));
    for (std::size_t i = 0; i < keys.size(); ++i)
        for (std::size_t j = i + 1; j < keys.size(); ++j)
            if (keys[i] == keys[j])
                return std::pair{i, j};
    return std::nullopt;
}

} // namespace cpuconfig
