// Where the desktop program keeps RQ_CPU.cpu. Root can write /usr/bin, so "the executable's
// folder is writable" alone would take an installed copy for a portable one.
#include "common/ProgramFolder.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace cpuconfig {
namespace {

namespace fs = std::filesystem;

TEST(ProgramFolder, choiceFromTheFacts) {
    // The executable's folder, whether the user may write it, XDG_DATA_HOME, HOME; then the
    // folder chosen and whether it is an installed copy's.
    const struct {
        const char* exeDir;
        bool writable;
        const char *xdgDataHome, *home, *expected;
        bool installed;
    } cases[] = {
        {"/src/build/shell", true, "/data", "/home/t", "/src/build/shell", false}, // build tree
        {"/usr/bin", true, "", "/home/t", "/home/t/.local/share/cpuconfig", true}, // root's
        {"/usr/local/bin/", true, "/data", "/home/t", "/data/cpuconfig", true},
        {"/opt/cpuconfig", false, "/data", "/home/t", "/data/cpuconfig", true}, // not writable
        {"/usr/bin", false, "data", "/home/t", "/home/t/.local/share/cpuconfig", true}, // relative
        {"/usr/bin", false, "", "", "/usr/bin", false}, // no base at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
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
    const std::string saved = old ? old : "";
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);

    const ProgramFolder installed = programFolder("/usr/bin");
    EXPECT_TRUE(installed.installed);
    EXPECT_EQ(installed.path, dir / "data" / "cpuconfig");
    EXPECT_TRUE(fs::is_directory(installed.path));

    const ProgramFolder portable = programFolder(dir.path());
    EXPECT_FALSE(portable.installed);
    EXPECT_EQ(portable.path, fs::weakly_canonical(dir.path()));

    old ? ::setenv("XDG_DATA_HOME", saved.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
}

} // namespace
} // namespace cpuconfig
