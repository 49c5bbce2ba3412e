#include "link/PortFault.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace cpuconfig {

namespace fs = std::filesystem;

namespace {

std::string commandOf(const fs::path& proc, int pid) {
    std::ifstream in(proc / std::to_string(pid) / "comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// Holders of a flock() on the device's inode, from /proc/locks: "1: FLOCK ADVISORY WRITE
// 4242 00:1a:17 0 EOF". Lines with "->" are processes waiting for a lock, not holding one.
std::vector<PortHolder> lockHolders(const fs::path& proc, const struct stat& st) {
    std::vector<PortHolder> out;
    std::ifstream in(proc / "locks");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, type, kind, mode, where;
        int pid = 0;
        if (!(fields >> id >> type) || type == "->" || !(fields >> kind >> mode >> pid >> where))
            continue;
        unsigned maj = 0, min = 0;
        unsigned long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &inode) != 3 || pid <= 0)
            continue;
        if (maj == major(st.st_dev) && min == minor(st.st_dev) && inode == st.st_ino) {
            const std::string command = commandOf(proc, pid);
            // A holder that is gone passed the lock on to a child. A holder seen on two
            // lines of the list is named once.
            const bool listed = std::any_of(out.begin(), out.end(),
                                            [pid](const PortHolder& h) { return h.pid == pid; });
            if (!command.empty() && !listed)
                out.push_back({pid, command});
        }
    }
    return out;
}

// Every other process with the device open, from /proc/<pid>/fd.
std::vector<PortHolder> openers(const fs::path& proc, const struct stat& st) {
    std::vector<PortHolder> out;
    const int self = static_cast<int>(::getpid());
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(proc, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit))
            continue;
        const int pid = std::atoi(name.c_str());
        if (pid == self)
            continue;
        std::error_code e2;
        for (const auto& fd : fs::directory_iterator(entry.path() / "fd", e2)) {
            struct stat fdst {};
            if (::stat(fd.path().c_str(), &fdst) == 0 && S_ISCHR(fdst.st_mode) &&
                fdst.st_rdev == st.st_rdev) {
                out.push_back({pid, commandOf(proc, pid)});
                break;
            }
        }
    }
    std::sort(out.begin(), out.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return out;
}

std::string groupName(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

// True when the account is listed in the group (or has it as its own), whether or not this
// login session has it yet.
bool accountInGroup(gid_t gid) {
    const passwd* pw = ::getpwuid(::geteuid());
    if (!pw)
        return false;
    if (pw->pw_gid == gid)
        return true;
    const group* g = ::getgrgid(gid);
    for (char** member = g ? g->gr_mem : nullptr; member && *member; ++member)
        if (std::string(*member) == pw->pw_name)
            return true;
    return false;
}

bool sessionHasGroup(gid_t gid) {
    if (::getegid() == gid)
        return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(0, ::getgroups(0, nullptr))));
    const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(0, n), gid) !=
           groups.begin() + std::max(0, n);
}

} // namespace

std::vector<PortHolder> portHolders(const std::string& name, const PortTree& tree) {
    struct stat st {};
    const fs::path proc = tree.root / "proc";
    if (name.empty() || ::stat(tree.inside(name).c_str(), &st) != 0)
        return {};
    auto holders = lockHolders(proc, st);
    return holders.empty() ? openers(proc, st) : holders;
}

PortFaultKind portFaultKind(const Error& error) {
    if (error.code != ErrorCode::PortOpen)
        return PortFaultKind::Other;
    switch (error.osError) {
    case EACCES:
    case EPERM:
        return PortFaultKind::PermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:
        return PortFaultKind::InUse;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return PortFaultKind::Missing;
    default:
        return PortFaultKind::Other;
    }
}

std::string permissionDeniedReason(const std::string& name, const PortTree& tree) {
    struct stat st {};
    if (::stat(tree.inside(name).c_str(), &st) != 0)
        return name + ": permission denied";
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!groupMayUse || st.st_gid == 0) {
        const passwd* owner = ::getpwuid(st.st_uid);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return name + ": permission denied: only " +
               (owner ? std::string(owner->pw_name) : std::to_string(st.st_uid)) +
               " may open it (mode " + mode + "); ask the administrator for access";
    }
    const std::string group = groupName(st.st_gid);
    if (accountInGroup(st.st_gid) && !sessionHasGroup(st.st_gid))
        return name + ": permission denied: you were added to group " + group +
               " after this login began; log out and in again";
    return name + ": permission denied: the device belongs to group " + group +
           "; add yourself with: sudo usermod -aG " + group + " $USER, then log out and in again";
}

} // namespace cpuconfig
