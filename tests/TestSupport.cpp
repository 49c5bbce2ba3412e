#include "tests/TestSupport.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace cpuconfig::test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cpuconfig-test-XXXXXX").string();
    m_path = ::mkdtemp(tmpl.data());
}

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
    const std::string full = "cd '" + dir.string() + "' && " + commandLine + " >'" +
                             outFile.string() + "' 2>'" + errFile.string() + "' </dev/null";
    CommandResult r;
    const int status = std::system(full.c_str());
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    auto slurp = [](const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    r.out = slurp(outFile);
    r.err = slurp(errFile);
    return r;
}

std::string cpuctl() { return CPUCONFIG_CPUCTL; }

} // namespace cpuconfig::test
