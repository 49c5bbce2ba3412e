#include "tests/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace cpuconfig::test {

namespace fs = std::filesystem;

// A random name: create_directory returns false on a clash, and reports any other failure.
TempDir::TempDir() {
    std::random_device rd;
    std::error_code ec;
    do {
        m_path = fs::temp_directory_path() / ("cpuconfig-test-" + std::to_string(rd()));
    } while (!fs::create_directory(m_path, ec) && !ec);
    if (ec) {
        throw fs::filesystem_error("cannot make a temporary folder", m_path, ec);
    }
    fs::permissions(m_path, fs::perms::owner_all, ec); // private, as mkdtemp makes it
}

TempDir::~TempDir() {
    std::error_code ec;
    // Restore permissions a test may have taken away, so everything can be removed.
    for (auto it = fs::recursive_directory_iterator(m_path, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> v(n);
    std::ranges::generate(v, [&] { return static_cast<std::uint8_t>(gen()); });
    return v;
}

std::string CommandResult::lastLine() const {
    const std::string s = out.substr(0, out.find_last_not_of('\n') + 1); // npos + 1 is 0
    return s.substr(s.rfind('\n') + 1);
}

CommandResult runCommand(const std::string& commandLine, const fs::path& dir) {
    TempDir scratch;
    const auto outFile = scratch / "out";
    const auto errFile = scratch / "err";
    CommandResult r;
#ifdef _WIN32
    // cmd.exe: double quotes, cd /d to change drive too; system() gives the exit code itself.
    const std::string full = "cd /d \"" + dir.string() + "\" && " + commandLine + " >\"" +
                             outFile.string() + "\" 2>\"" + errFile.string() + "\" <NUL";
    r.exitCode = std::system(full.c_str());
#else
    const std::string full = "cd '" + dir.string() + "' && " + commandLine + " >'" +
                             outFile.string() + "' 2>'" + errFile.string() + "' </dev/null";
    const int status = std::system(full.c_str());
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    auto slurp = [](const fs::path& p) {
#ifdef _WIN32
        std::ifstream in(p); // text mode: the program's CR LF line ends read as LF
#else
        std::ifstream in(p, std::ios::binary);
#endif
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    r.out = slurp(outFile);
    r.err = slurp(errFile);
    return r;
}

#ifdef _WIN32
std::string cpuctl() {
    // The build writes the host's path (/work/.../cpuctl.exe); under Wine / is drive Z:.
    std::string path = CPUCONFIG_CPUCTL;
    if (!path.empty() && path.front() == '/') {
        path = "Z:" + path;
    }
    std::ranges::replace(path, '/', '\\');
    return "\"" + path + "\"";
}
#else
std::string cpuctl() {
    return CPUCONFIG_CPUCTL;
}
#endif

} // namespace cpuconfig::test
