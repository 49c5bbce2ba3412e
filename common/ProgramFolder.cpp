#include "common/ProgramFolder.h"

#include <algorithm>

namespace cpuconfig {

ProgramFolder chooseProgramFolder(const ProgramFolderFacts& facts) {
    const bool inInstallDir = std::any_of(
        facts.installDirs.begin(), facts.installDirs.end(), [&](const std::filesystem::path& dir) {
            // "/usr/bin/" and "/usr/bin" are one folder.
            return (dir / "").lexically_normal() == (facts.executableDir / "").lexically_normal();
        });
    if (!inInstallDir && facts.executableDirWritable)
        return {facts.executableDir, false};

    // A relative $XDG_DATA_HOME is to be ignored, as if unset.
    const std::filesystem::path xdg = facts.xdgDataHome;
    const std::filesystem::path home = facts.home;
    std::filesystem::path base;
    if (xdg.is_absolute())
        base = xdg;
    else if (home.is_absolute())
        base = home / ".local" / "share";
    else
        return {facts.executableDir, false};
    return {base / "cpuconfig", true};
}

} // namespace cpuconfig
