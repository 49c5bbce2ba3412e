#include "link/PortInfo.h"

#include "link/PortList.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace cpuconfig {

namespace fs = std::filesystem;

namespace {

bool isCharacterDevice(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISCHR(st.st_mode); // follows the link
}

// The first line of a small sysfs or text file, without its line end.
std::string firstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// The 8250 driver registers ttyS0 to ttyS31 whether or not a UART sits behind them; those
// without one report the type 0 (unknown) and cannot carry a byte.
bool placeholderUart(const fs::path& ttyDir) {
    std::ifstream type(ttyDir / "type");
    int value = -1;
    return type >> value && value == 0;
}

// "/dev/ttyUSB0" for root/dev/ttyUSB0.
std::string outside(const PortTree& tree, const fs::path& inside) {
    return (fs::path("/") / inside.lexically_relative(tree.root)).lexically_normal().string();
}

// Follows the links of name inside the tree (a link's target taken within it too), as the
// kernel would if the tree were mounted at /, up to the name of a tty the kernel knows.
fs::path resolveInside(const PortTree& tree, const std::string& name) {
    fs::path p = tree.inside(name);
    for (int hops = 0; hops < 16; ++hops) {
        std::error_code ec;
        if (fs::exists(tree.root / "sys" / "class" / "tty" / p.filename(), ec) ||
            !fs::is_symlink(fs::symlink_status(p, ec)))
            break;
        const fs::path target = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = (target.is_absolute() ? tree.root / target.relative_path() : p.parent_path() / target)
                .lexically_normal();
    }
    return p;
}

// The links of root/dev/serial/<kind>, by the device they lead to ("/dev/ttyUSB0").
std::map<std::string, std::vector<std::string>> stableNames(const PortTree& tree,
                                                            const char* kind) {
    std::map<std::string, std::vector<std::string>> out;
    std::error_code ec;
    const fs::path dir = tree.root / "dev" / "serial" / kind;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::error_code e2;
        const fs::path target = fs::read_symlink(entry.path(), e2);
        if (e2)
            continue;
        const fs::path device =
            (target.is_absolute() ? tree.root / target.relative_path() : dir / target)
                .lexically_normal();
        out[outside(tree, device)].push_back(outside(tree, entry.path()));
    }
    for (auto& [device, links] : out)
        sortPortNames(links);
    return out;
}

// The bus a driver link belongs to: ".../bus/usb/drivers/ftdi_sio" gives "usb".
std::string busOf(const fs::path& driverLink) {
    std::string bus;
    bool next = false;
    for (const auto& part : driverLink) {
        if (next)
            return part.string();
        next = part == "bus";
    }
    return bus;
}

// Driver and USB details, walking up from the tty's device towards the root of the
// device tree. The usb-serial and serial-base layers in between name only the kernel's
// glue (ch341-uart, port); the driver worth naming is the one of the device they sit on.
void readDevice(const fs::path& ttyDir, const PortTree& tree, PortInfo& info) {
    std::error_code ec;
    fs::path dir = fs::canonical(ttyDir / "device", ec);
    if (ec)
        return;
    const fs::path top = fs::canonical(tree.root / "sys", ec);
    std::string glue;
    for (; !ec && !dir.empty() && dir != top && dir != dir.root_path(); dir = dir.parent_path()) {
        std::error_code e2;
        const fs::path driver = fs::read_symlink(dir / "driver", e2);
        if (!e2 && info.driver.empty()) {
            const std::string bus = busOf(driver);
            if (bus == "usb-serial" || bus == "serial-base")
                glue = glue.empty() ? driver.filename().string() : glue;
            else
                info.driver = driver.filename().string();
        }
        if (fs::exists(dir / "idVendor", e2)) {
            info.vendorId = firstLine(dir / "idVendor");
            info.productId = firstLine(dir / "idProduct");
            info.serial = firstLine(dir / "serial");
            info.manufacturer = firstLine(dir / "manufacturer");
            info.product = firstLine(dir / "product");
            break;
        }
    }
    if (info.driver.empty())
        info.driver = glue;
}

// A registered port leaves what it is beside its link, as "key=value" lines.
PortInfo::Registration readRegistration(const fs::path& link) {
    PortInfo::Registration registration;
    std::error_code ec;
    registration.target = fs::read_symlink(link, ec).string();
    std::ifstream in(link.string() + ".card");
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            registration.fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return registration;
}

} // namespace

std::vector<PortInfo> describeSerialPorts(const PortTree& tree) {
    std::vector<PortInfo> ports;
    const auto byId = stableNames(tree, "by-id");
    const auto byPath = stableNames(tree, "by-path");
    std::error_code ec;
    // A tty with a device behind it is a serial port (virtual consoles and ptys have none).
    for (const auto& entry : fs::directory_iterator(tree.root / "sys" / "class" / "tty", ec)) {
        std::error_code e2;
        if (!fs::exists(entry.path() / "device", e2) || placeholderUart(entry.path()))
            continue;
        const fs::path dev = tree.root / "dev" / entry.path().filename();
        if (!isCharacterDevice(dev))
            continue;
        PortInfo info;
        info.device = outside(tree, dev);
        if (auto it = byId.find(info.device); it != byId.end())
            info.byId = it->second;
        if (auto it = byPath.find(info.device); it != byPath.end())
            info.byPath = it->second;
        readDevice(entry.path(), tree, info);
        ports.push_back(std::move(info));
    }
    // Registered ports: links to their devices; a link whose device is gone belongs to a
    // registrar that did not unregister.
    const fs::path registered = tree.registered.empty() ? registeredPortsFolder() : tree.registered;
    for (const auto& entry : fs::directory_iterator(registered, ec)) {
        if (!isCharacterDevice(entry.path()))
            continue;
        PortInfo info;
        info.device = entry.path().string();
        info.registration = readRegistration(entry.path());
        ports.push_back(std::move(info));
    }
    std::stable_sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return portNameLess(a.device, b.device);
    });
    return ports;
}

std::string portDriver(const std::string& name, const PortTree& tree) {
    if (name.empty())
        return {};
    PortInfo info;
    readDevice(tree.root / "sys" / "class" / "tty" / resolveInside(tree, name).filename(), tree,
               info);
    return info.driver;
}

std::string portIdentity(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        return "char " + std::to_string(major(st.st_rdev)) + ":" +
               std::to_string(minor(st.st_rdev));
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(name, ec);
    return ec ? name : p.string();
}

} // namespace cpuconfig
