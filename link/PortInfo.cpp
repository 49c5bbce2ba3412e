#include "link/PortInfo.h"

#include <algorithm>

namespace cpuconfig {

std::string PortInfo::description() const {
    if (simulated) {
        std::string s = "simulated card, screen " + std::to_string(screen);
        if (!model.empty())
            s += ", model " + model;
        if (!target.empty())
            s += ", on " + target;
        return s;
    }
    std::vector<std::string> parts;
    std::string what = manufacturer;
    if (!product.empty())
        what += (what.empty() ? "" : " ") + product;
    if (!what.empty())
        parts.push_back(what);
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
