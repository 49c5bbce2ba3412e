#include "common/ProgramFolder.h"

#include <algorithm>
#include <cctype>

namespace cpuconfig {

namespace {

bool sameName(const std::filesystem::path& a, const std::filesystem::path& b, bool foldCase) {
    if (!foldCase)
        return a == b;
    const std::string x = a.string();
    const std::string y = b.string();
    return std::equal(x.begin(), x.end(), y.begin(), y.end(), [](unsigned char p, unsigned char q) {
        return std::tolower(p) == std::tolower(q);
    });
}

// Whether folder is dir or lies below it. "/usr/bin/" and "/usr/bin" are one folder.
bool inOrBelow(const std::filesystem::path& folder, const std::filesystem::path& dir,
               bool foldCase) {
    const std::filesystem::path f = folder.lexically_normal();
    const std::filesystem::path d = dir.lexically_normal();
    auto inFolder = f.begin();
    bool any = false;
    for (const auto& name : d) {
        if (name.empty())
            continue; // what a trailing separator leaves
        if (inFolder == f.end() || !sameName(name, *inFolder, foldCase))
            return false;
        ++inFolder;
        any = true;
    }
    return any;
}

} // namespace

ProgramFolder chooseProgramFolder(const ProgramFolderFacts& facts) {
    const bool inInstallDir = std::any_of(
        facts.installDirs.begin(), facts.installDirs.end(), [&](const std::filesystem::path& dir) {
            return inOrBelow(facts.executableDir, dir, facts.windows);
        });
    if (!inInstallDir && facts.executableDirWritable)
        return {facts.executableDir, false};

    std::filesystem::path base;
    if (facts.windows) {
        base = facts.localAppData;
    } else {
        // A relative $XDG_DATA_HOME is to be ignored, as if unset.
        const std::filesystem::path xdg = facts.xdgDataHome;
        const std::filesystem::path home = facts.home;
        if (xdg.is_absolute())
            base = xdg;
        else if (home.is_absolute())
            base = home / ".local" / "share";
    }
    if (base.empty())
        return {facts.executableDir, false};
    return {base / "cpuconfig", true};
}

ProgramFolder settleProgramFolder(const ProgramFolderFacts& facts) {
    ProgramFolder folder = chooseProgramFolder(facts);
    if (folder.installed) {
        std::error_code ec;
        std::filesystem::create_directories(folder.path, ec);
    }
    return folder;
}

} // namespace cpuconfig
