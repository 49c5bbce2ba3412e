// Where the desktop program keeps RQ_CPU.cpu. Root can write /usr/bin, so "the executable's
// folder is writable" alone would take an installed copy for a portable one.
#include "common/ProgramFolder.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace cpuconfig {
namespace {

namespace fs = std::filesystem;

TEST(ProgramFolder, choiceFromTheFacts) {
    struct Case {
        const char* what;
        const char* exeDir;
        bool writable;
        const char* xdgDataHome;
        const char* home;
        const char* expected;
        bool installed;
    };
    const Case cases[] = {
        {"build tree", "/src/build/shell", true, "/data", "/home/t", "/src/build/shell", false},
        {"install dir, writable by root", "/usr/bin", true, "", "/home/t",
         "/home/t/.local/share/cpuconfig", true},
        {"install dir with a trailing slash", "/usr/local/bin/", true, "/data", "/home/t",
         "/data/cpuconfig", true},
        {"folder the user cannot write", "/opt/cpuconfig", false, "/data", "/home/t",
         "/data/cpuconfig", true},
        {"relative XDG_DATA_HOME is ignored", "/usr/bin", false, "data", "/home/t",
         "/home/t/.local/share/cpuconfig", true},
        {"no base at all", "/usr/bin", false, "", "", "/usr/bin", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProgramFolder got = chooseProgramFolder(
            {c.exeDir, c.writable, {"/usr/local/bin", "/usr/bin"}, c.xdgDataHome, c.home});
        EXPECT_EQ(got.path, fs::path(c.expected));
        EXPECT_EQ(got.installed, c.installed);
    }
}

// On this system: the package's bin folder is an installed copy's, whoever runs it, and its
// data folder is made on first use; a folder of our own is a portable copy's.
TEST(ProgramFolder, onThisSystem) {
    test::TempDir dir;
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);

    const ProgramFolder installed = programFolder("/usr/bin");
    EXPECT_TRUE(installed.installed);
    EXPECT_EQ(installed.path, dir / "data" / "cpuconfig");
    EXPECT_TRUE(fs::is_directory(installed.path));

    const ProgramFolder portable = programFolder(dir.path());
    EXPECT_FALSE(portable.installed);
    EXPECT_EQ(portable.path, fs::weakly_canonical(dir.path()));

    saved ? ::setenv("XDG_DATA_HOME", saved->c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
}

} // namespace
} // namespace cpuconfig
