// The program's folder: where the desktop program keeps RQ_CPU.cpu and makes it the current
// folder. A portable copy (a build tree, an unpacked zip) keeps the package beside its
// executable. An installed copy must not: /usr/bin is not the user's to write in, and even
// where it could be (root), a package there would be shared by every user and left behind
// by a removal. It uses the user's data folder instead: ~/.local/share/cpuconfig on Linux,
// %LOCALAPPDATA%\cpuconfig on Windows. cpuctl works in the current folder and does not use
// this.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cpuconfig {

// What the choice depends on, gathered from the system by programFolder().
struct ProgramFolderFacts {
    std::filesystem::path executableDir; // canonical
    bool executableDirWritable = true;   // by this user
    // Where an installed executable sits: the bin folders on Linux, the Program Files
    // folders (it sits in a folder of its own below one) on Windows.
    std::vector<std::filesystem::path> installDirs;
    std::string xdgDataHome; // $XDG_DATA_HOME, may be empty
    std::string home;        // the user's home folder, may be empty
    // Windows: folder names compare without regard to case, and an installed copy keeps
    // its package in localAppData\cpuconfig (an absolute folder, or empty when unknown).
    bool windows = false;
    std::filesystem::path localAppData;
};

struct ProgramFolder {
    std::filesystem::path path;
    bool installed = false;
};

// Installed when the executable sits in or below one of installDirs or its folder is not
// writable: then on Windows localAppData\cpuconfig; elsewhere $XDG_DATA_HOME/cpuconfig (an
// absolute $XDG_DATA_HOME only), else ~/.local/share/cpuconfig. Without a base the
// executable's folder is kept. No file system access.
ProgramFolder chooseProgramFolder(const ProgramFolderFacts& facts);

// chooseProgramFolder, then the installed copy's folder created when missing (a failure
// leaves the path as it is: the package is then simply not found there).
ProgramFolder settleProgramFolder(const ProgramFolderFacts& facts);

// The folder for an executable in executableDir on this system. An installed copy's folder
// is created when missing; if that fails, the path is still returned and the package is
// then simply not found there.
ProgramFolder programFolder(const std::filesystem::path& executableDir);

} // namespace cpuconfig
