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
    // The executable's folder, whether the user may write it, XDG_DATA_HOME, HOME (on
    // Windows: the local application data folder); then the folder chosen and whether it
    // is an installed copy's.
    const struct {
        bool windows;
        const char* exeDir;
        bool writable;
        const char *xdgDataHome, *home, *expected;
        bool installed;
    } cases[] = {
        {false, "/src/build/shell", true, "/data", "/home/t", "/src/build/shell", false},
        {false, "/usr/bin", true, "", "/home/t", "/home/t/.local/share/cpuconfig", true}, // root's
        {false, "/usr/local/bin/", true, "/data", "/home/t", "/data/cpuconfig", true},
        {false, "/opt/cpuconfig", false, "/data", "/home/t", "/data/cpuconfig", true}, // read-only
        {false, "/usr/bin", false, "data", "/home/t", "/home/t/.local/share/cpuconfig", true},
        {false, "/usr/bin", false, "", "", "/usr/bin", false}, // no base at all
        // The installer's folder below Program Files, even for an administrator who can
        // write there; the unpacked zip anywhere else.
        {true, "C:/Program Files/cpuconfig", true, "C:/x", "C:/Users/t/AppData/Local",
         "C:/Users/t/AppData/Local/cpuconfig", true},
        {true, "c:/program files (X86)/cpuconfig/", true, "", "C:/Users/t/AppData/Local",
         "C:/Users/t/AppData/Local/cpuconfig", true},
        {true, "C:/Program Files Tools/cpuconfig", true, "", "C:/Users/t/AppData/Local",
         "C:/Program Files Tools/cpuconfig", false},
        {true, "C:/Users/t/Desktop/cpuconfig", true, "", "C:/Users/t/AppData/Local",
         "C:/Users/t/Desktop/cpuconfig", false},
        {true, "D:/cpuconfig", false, "", "C:/Users/t/AppData/Local",
         "C:/Users/t/AppData/Local/cpuconfig", true}, // a read-only medium
        {true, "C:/Program Files/cpuconfig", false, "/data", "", "C:/Program Files/cpuconfig",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
#ifdef _WIN32
        if (!c.windows)
            continue; // "/home/t" is no absolute folder there
#endif
        ProgramFolderFacts facts{c.exeDir, c.writable, {}, c.xdgDataHome, "", c.windows, ""};
        if (c.windows) {
            facts.installDirs = {"C:/Program Files", "C:/Program Files (x86)/"};
            facts.localAppData = c.home;
        } else {
            facts.installDirs = {"/usr/local/bin", "/usr/bin"};
            facts.home = c.home;
        }
        const ProgramFolder got = chooseProgramFolder(facts);
        EXPECT_EQ(got.path, fs::path(c.expected));
        EXPECT_EQ(got.installed, c.installed);
    }
}

#ifdef _WIN32
// On this system: a folder below Program Files is an installed copy's, whoever can write
// it, and the user's folder is made on first use; a folder of our own is a portable copy's.
TEST(ProgramFolder, onThisSystem) {
    test::TempDir dir;
    const ProgramFolder portable = programFolder(dir.path());
    EXPECT_FALSE(portable.installed);
    EXPECT_TRUE(fs::equivalent(portable.path, dir.path()));

    const wchar_t* programFiles = _wgetenv(L"ProgramFiles");
    const wchar_t* localAppData = _wgetenv(L"LOCALAPPDATA");
    ASSERT_TRUE(programFiles && localAppData);
    // Made when this user may (Wine's users may): it is not writability that decides.
    const fs::path below =
        fs::path(programFiles) / ("cpuconfig-test-" + dir.path().filename().string());
    std::error_code ec;
    fs::create_directory(below, ec);
    const ProgramFolder installed = programFolder(below);
    fs::remove(below, ec);
    EXPECT_TRUE(installed.installed);
    EXPECT_TRUE(fs::is_directory(installed.path));
    EXPECT_TRUE(fs::equivalent(installed.path, fs::path(localAppData) / "cpuconfig"));
}
#else
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

#endif

} // namespace
} // namespace cpuconfig
