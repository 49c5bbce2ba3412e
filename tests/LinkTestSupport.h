// Helpers for the serial-link tests: a fake clock, a recording observer, an upgrade rig and
// a query run that put them together, on any port; on POSIX a simulated card serving a
// pseudo-terminal on a thread of its own.
#pragma once

#include "TestSupport.h"
#include "common/Clock.h"
#include "link/Selection.h"
#include "link/Upgrade.h"
#include "link/getParam.h"
#include "sim/CardModel.h"
#ifndef _WIN32
#include "sim/Simulator.h"
#endif

#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cpuconfig::test {

// Time stands still until the engine sleeps; every sleep is recorded.
class FakeClock final : public Clock {
public:
    TimePoint now() const override { return TimePoint{} + std::chrono::hours(1) + elapsed(); }
    bool sleepFor(Ms d, std::stop_token stop) override;
    std::vector<Ms> sleeps() const {
        std::lock_guard lock(m_mutex);
        return m_sleeps;
    }
    Ms elapsed() const {
        std::lock_guard lock(m_mutex);
        return m_offset;
    }
    // At fake time `when` the event runs, once: a sleep that would pass that moment ends
    // there, and the waiting goes on from it.
    void at(Ms when, std::function<void()> event) {
        std::lock_guard lock(m_mutex);
        m_at = when;
        m_event = std::move(event);
    }

private:
    mutable std::mutex m_mutex;
    Ms m_offset{0};
    std::vector<Ms> m_sleeps;
    Ms m_at{0};
    std::function<void()> m_event;
};

// What an upgrade told its observer.
class RecordingObserver final : public UpgradeObserver {
public:
    void begun() override { ++begins; }
    void transferBegins(std::uint64_t n) override {
        total = n;
        if (onTransfer)
            onTransfer();
    }
    void progress(std::uint64_t sent, std::uint64_t) override {
        std::lock_guard lock(m_mutex);
        m_sent.push_back(sent);
    }
    std::vector<std::uint64_t> sent() const {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }
    int begins = 0;
    std::uint64_t total = 0;
    std::function<void()> onTransfer; // on the worker's thread

private:
    mutable std::mutex m_mutex;
    std::vector<std::uint64_t> m_sent;
};

// How an exchange ended: its end and how far it got.
struct Ending {
    CardEnd end;
    Stage stage;
    bool operator==(const Ending&) const = default;
};
inline Ending endingOf(const Outcome& o) {
    return {o.end, o.stage};
}
inline const Ending kConfirmed{CardEnd::Confirmed, Stage::Answer};
inline const Ending kNoAnswer{CardEnd::NotConfirmed, Stage::Answer};
inline const Ending kNoAck{CardEnd::NotConfirmed, Stage::Acknowledge};
inline const Ending kBrokenOff{CardEnd::NotConfirmed, Stage::Transfer};
inline const Ending kNoFile{CardEnd::NoPackage, Stage::Package};
inline const Ending kNotOpened{CardEnd::PortFailed, Stage::Opening};

#ifndef _WIN32
// A simulated card serving a pseudo-terminal on its own thread for the life of the object.
class SimCard {
public:
    explicit SimCard(SimulatorOptions options = {});
    std::string port() const { return m_sim->devicePath(); }
    Simulator& sim() { return *m_sim; }
    SimRecord record() const { return m_sim->record(); }

private:
    std::unique_ptr<Simulator> m_sim;
    std::jthread m_thread; // stopped and joined first
};

// The port can be opened again: the run before has let go of it.
bool portFree(const std::string& port);
#endif

// Simulator options as set changes them.
SimulatorOptions simWith(const std::function<void(SimulatorOptions&)>& set);

// Options on the fake clock, with waits that give up on real time after a short while.
LinkOptions fakeTimeOptions(FakeClock& clock);
UpgradeOptions fakeTimeUpgrade(FakeClock& clock, const std::filesystem::path& package);

// A package of n bytes in total: the header bytes given, then a body, the last byte 0xAA.
std::vector<std::uint8_t> packageBytes(std::size_t n, std::uint8_t model = 'A',
                                       std::uint8_t cardVersion = '2');

// An upgrade on fake time with its package in a folder of its own, as the main window
// would start it; on the platform's ports unless given others.
struct UpgradeRig {
    TempDir dir;
    FakeClock clock;
    RecordingObserver seen;
    Outcome outcome;
    std::filesystem::path package = dir / "RQ_CPU.cpu";
    SerialPortFactory* ports = nullptr; // nullptr: the platform's
    void runOn(const std::string& port, const std::string& baud = "115200",
               const std::string& screen = "1", std::stop_token stop = {});
    Ending ending() const { return endingOf(outcome); }
};

// A query on fake time: its outcome, and the status texts and model the panel would show.
struct QueryRun {
    FakeClock clock;
    SerialPortFactory* ports = nullptr; // nullptr: the platform's
    Outcome outcome;
    std::vector<std::string> statuses;
    std::vector<std::string> models;
    void run(const SelectionProvider& sel);
    void run(const std::string& port, const std::string& screen = "1");
};

#ifndef _WIN32
// What a cpuctl run finds: a folder holding a package of 3000 image bytes (package() writes
// another), and a runtime folder of its own where simulated cards register (XDG_RUNTIME_DIR).
struct CpuctlFolders {
    CpuctlFolders();
    void package(std::size_t body);
    TempDir m_runtime;
    TempDir m_dir;
};
#endif

} // namespace cpuconfig::test
