// The Windows pieces of the engine, run under Windows or Wine: port names, the registry
// port list, opening ports, the language id.
#include "common/Clock.h"
#include "common/LanguageId.h"
#include "common/Version.h"
#include "link/Win32PortList.h"
#include "link/Win32SerialPort.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace cpuconfig {
namespace {

struct DeviceNameCase {
    const char* what;
    std::string port;
    std::string device;
};

class Win32DeviceName : public ::testing::TestWithParam<DeviceNameCase> {};

TEST_P(Win32DeviceName, prefixesComPortsOnly) {
    EXPECT_EQ(win32DeviceName(GetParam().port), GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Win32DeviceName,
    ::testing::Values(DeviceNameCase{"COM1", "COM1", "\\\\.\\COM1"},
                      DeviceNameCase{"COM10", "COM10", "\\\\.\\COM10"}, // opens only so
                      DeviceNameCase{"alreadyPrefixed", "\\\\.\\COM3", "\\\\.\\COM3"},
                      DeviceNameCase{"noNumber", "COM", "COM"},
                      DeviceNameCase{"colon", "COM1:", "COM1:"}, DeviceNameCase{"empty", "", ""}),
    [](const auto& param) { return std::string(param.param.what); });

// A scratch key under HKEY_CURRENT_USER, removed afterwards, standing in for SERIALCOMM.
class ScratchKey {
public:
    ScratchKey() {
        std::random_device rd;
        m_path = "Software\\cpuconfig-test-" + std::to_string(rd()) + "\\SERIALCOMM";
        RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &m_key, nullptr);
    }
    ~ScratchKey() {
        RegCloseKey(m_key);
        RegDeleteKeyA(HKEY_CURRENT_USER, m_path.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, m_path.substr(0, m_path.rfind('\\')).c_str());
    }
    void setString(const std::string& name, const std::string& data, bool terminated = true) {
        RegSetValueExA(m_key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>(data.size() + (terminated ? 1 : 0)));
    }
    void setDword(const std::string& name, DWORD value) {
        RegSetValueExA(m_key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    HKEY m_key = nullptr;
};

struct RegistryCase {
    const char* what;
    std::vector<std::pair<std::string, std::string>> values; // value name, data
    std::vector<std::string> listed;
};

class RegistryPorts : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(RegistryPorts, listsDataSortedIgnoringCase) {
    ScratchKey key;
    for (const auto& [name, data] : GetParam().values) {
        key.setString(name, data);
    }
    EXPECT_EQ(registryPortNames(HKEY_CURRENT_USER, key.path().c_str()), GetParam().listed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryPorts,
    ::testing::Values(RegistryCase{"text order, not number order",
                                   {{"\\Device\\Serial1", "COM2"},
                                    {"\\Device\\Serial2", "COM10"},
                                    {"\\Device\\Serial0", "COM1"}},
                                   {"COM1", "COM10", "COM2"}},
                      RegistryCase{"data, not value names, and case ignored",
                                   {{"b", "com3"}, {"a", "COM1"}, {"c", "Com2"}},
                                   {"COM1", "Com2", "com3"}},
                      RegistryCase{"empty data is no port", {{"x", ""}, {"y", "COM4"}}, {"COM4"}}),
    [](const auto& param) {
        std::string n = param.param.what;
        for (char& c : n) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return n;
    });

TEST(RegistryPortsKey, oddValuesAreSkippedOrCut) {
    ScratchKey key;
    key.setDword("number", 7);            // not a string: no port
    key.setString("bare", "COM7", false); // stored without its terminator
    key.setString("plain", "COM6");
    EXPECT_EQ(registryPortNames(HKEY_CURRENT_USER, key.path().c_str()),
              (std::vector<std::string>{"COM6", "COM7"}));
}

struct OpenFailureCase {
    const char* what;
    std::string name;
};

class Win32SerialOpen : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(Win32SerialOpen, failsAtTheOpenStep) {
    test::TempDir dir;
    test::writeBytes(dir / "RQ_CPU.cpu", {0x4E, 0x31});
    std::string name = GetParam().name;
    if (name == "<file>") {
        name = (dir / "RQ_CPU.cpu").string();
    }
    auto port = platformSerialPorts().open(name);
    ASSERT_FALSE(port.ok());
    EXPECT_EQ(port.error().code, ErrorCode::PortOpen);
    // Nothing was written through the handle: a file given as a port stays as it was.
    EXPECT_EQ(test::readBytes(dir / "RQ_CPU.cpu"), (std::vector<std::uint8_t>{0x4E, 0x31}));
}

INSTANTIATE_TEST_SUITE_P(Names, Win32SerialOpen,
                         ::testing::Values(OpenFailureCase{"empty", ""},
                                           OpenFailureCase{"missing", "COM199"},
                                           OpenFailureCase{"file", "<file>"}),
                         [](const auto& param) { return std::string(param.param.what); });

// cpuctl.exe run through cmd.exe as the other engine tests run it: exit codes and the last
// line come through.
struct CommandCase {
    const char* what;
    std::string args;
    int exitCode;
    std::string lastLine;
};

class Win32Cpuctl : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Win32Cpuctl, exitCodeAndLastLineComeThrough) {
    test::TempDir dir;
    test::writeBytes(dir / "one.bin", {0x5A});
    const auto r = test::runCommand(test::cpuctl() + " " + GetParam().args, dir.path());
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.out << r.err;
    if (!GetParam().lastLine.empty()) {
        EXPECT_EQ(r.lastLine(), GetParam().lastLine);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Win32Cpuctl,
    ::testing::Values(CommandCase{"version", "--version", 0, std::string("cpuctl ") + kVersion},
                      CommandCase{"pack", "pack one.bin -o \"out dir.cpu\"", 0, ""},
                      CommandCase{"missingPackage", "info missing.cpu", 3, ""},
                      CommandCase{"usage", "pack", 2, ""},
                      CommandCase{"missingPort", "query --port COM199", 4, "发送失败"}),
    [](const auto& param) { return std::string(param.param.what); });

// A stop that arrives while the sleeper is about to leave its wait once left it blocked for
// good with this runtime (a std::stop_callback race); every sleep must end.
TEST(Win32Clock, aStopDuringASleepAlwaysEndsIt) {
    for (int i = 0; i < 300; ++i) {
        std::stop_source stop;
        std::jthread stopper([&stop, i] {
            std::this_thread::sleep_for(std::chrono::microseconds(i % 7 * 100));
            stop.request_stop();
        });
        ASSERT_FALSE(systemClock().sleepFor(std::chrono::seconds(5), stop.get_token())) << i;
    }
}

TEST(Win32LanguageId, isAValidLanguage) {
    const std::uint16_t lang = windowsLanguageId();
    EXPECT_NE(lang & 0x3FF, 0) << std::hex << lang; // a primary language is always set
}

} // namespace
} // namespace cpuconfig
