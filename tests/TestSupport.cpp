#include "tests/TestSupport.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace cpuconfig::test {

#ifdef _WIN32
TempDir::TempDir() {
    // No mkdtemp: a random name, created with create_directory, which fails on a clash.
    std::random_device rd;
    for (;;) {
        char name[40];
        std::snprintf(name, sizeof name, "cpuconfig-test-%08x", static_cast<unsigned>(rd()));
        m_path = std::filesystem::temp_directory_path() / name;
        std::error_code ec;
        if (std::filesystem::create_directory(m_path, ec)) {
            return;
        }
    }
}
#else
TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cpuconfig-test-XXXXXX").string();
    m_path = ::mkdtemp(tmpl.data());
}
#endif

TempDir::~TempDir() {
    std::error_code ec;
    // Restore permissions a test may have taken away, so everything can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) {
        b = static_cast<std::uint8_t>(gen());
    }
    return v;
}

std::string CommandResult::lastLine() const {
    std::string s = out;
    while (!s.empty() && s.back() == '\n') {
        s.pop_back();
    }
    const auto pos = s.rfind('\n');
    return pos == std::string::npos ? s : s.substr(pos + 1);
}

CommandResult runCommand(const std::string& commandLine, const std::filesystem::path& dir) {
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
    auto slurp = [](const std::filesystem::path& p) {
#ifdef _WIN32
        std::ifstream in(p); // text mode: the program's CR LF line ends read as LF
#else
        std::ifstream in(p, std::ios::binary);
#endif
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
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
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return "\"" + path + "\"";
}
#else
std::string cpuctl() {
    return CPUCONFIG_CPUCTL;
}
#endif

} // namespace cpuconfig::test
