// Helpers shared by the engine tests: scratch directories, files, and running cpuctl.
#pragma once

#include "common/NonCopyable.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace cpuconfig::test {

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir : NonCopyable {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);
std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed);

struct CommandResult {
    int exitCode = -1;
    std::string out; // stdout
    std::string err; // stderr
    std::string lastLine() const;
};

// Runs a shell command line in dir (environment additions as "NAME=value ..." prefix).
CommandResult runCommand(const std::string& commandLine,
                         const std::filesystem::path& dir = std::filesystem::current_path());

// The path of the cpuctl binary under test.
std::string cpuctl();

} // namespace cpuconfig::test
