#include "common/ProgramFolder.h"

#include <cstdlib>
#include <pwd.h>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace cpuconfig {

namespace {

std::string envOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::filesystem::path canonicalOrSame(const std::filesystem::path& p) {
    std::error_code ec;
    std::filesystem::path c = std::filesystem::weakly_canonical(p, ec);
    return ec ? p : c;
}

// The build's bin folders, ':'-separated: the configured one and the package's.
std::vector<std::filesystem::path> installDirs() {
    std::vector<std::filesystem::path> dirs;
    std::string_view all = CPUCONFIG_INSTALL_DIRS;
    while (!all.empty()) {
        const std::size_t colon = std::min(all.find(':'), all.size());
        if (colon > 0)
            dirs.push_back(canonicalOrSame(std::filesystem::path(all.substr(0, colon))));
        all.remove_prefix(std::min(colon + 1, all.size()));
    }
    return dirs;
}

std::string homeFolder() {
    std::string home = envOrEmpty("HOME");
    if (home.empty())
        if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
            home = pw->pw_dir;
    return home;
}

} // namespace

ProgramFolder programFolder(const std::filesystem::path& executableDir) {
    ProgramFolderFacts facts;
    facts.executableDir = canonicalOrSame(executableDir);
    facts.executableDirWritable = ::access(facts.executableDir.c_str(), W_OK) == 0;
    facts.installDirs = installDirs();
    facts.xdgDataHome = envOrEmpty("XDG_DATA_HOME");
    facts.home = homeFolder();
    return settleProgramFolder(facts);
}

} // namespace cpuconfig
