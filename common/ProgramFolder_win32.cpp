#include "common/ProgramFolder.h"

namespace cpuconfig {

// The Windows program ships as a folder (the zip, windeployqt's output): the package lives
// beside cpuconfig.exe, wherever that folder was put.
ProgramFolder programFolder(const std::filesystem::path& executableDir) {
    return {executableDir, false};
}

} // namespace cpuconfig
