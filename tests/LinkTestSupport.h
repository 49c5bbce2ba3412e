// Helpers for the serial-link tests: a fake clock, a recording main window, a simulated
// card running on a thread of its own, and an upgrade rig that puts them together.
#pragma once

#include "TestSupport.h"
#include "common/Clock.h"
#include "link/Messages.h"
#include "link/Selection.h"
#include "link/Simulator.h"
#include "link/Upgrade.h"

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

struct Message {
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool posted = false;
    bool operator==(const Message&) const = default;
};
using Messages = std::vector<Message>;

class RecordingWindow final : public MainWindowLink {
public:
    void send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        if (onSend)
            onSend({message, wParam, lParam});
        std::lock_guard lock(m_mutex);
        m_messages.push_back({message, wParam, lParam});
    }
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        std::lock_guard lock(m_mutex);
        m_messages.push_back({message, wParam, lParam, true});
    }
    Messages messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    // The messages without the posted progress positions.
    Messages sent() const {
        Messages out = messages();
        std::erase_if(out, [](const Message& m) { return m.posted; });
        return out;
    }
    // Called for every sent message, on the worker's thread, before it is recorded.
    std::function<void(const Message&)> onSend;

private:
    mutable std::mutex m_mutex;
    Messages m_messages;
};

inline const Message kHide{WM_CPU_PROGRESS, 0, kProgressVisible};
inline const Message kSendFailed{WM_CPU_SEND_FAILED, 0, 0};
inline const Message kNoFile{WM_CPU_NO_FILE, 0, 0};
inline Message msgResult(std::uintptr_t w) {
    return {WM_CPU_RESULT, w, 0};
}

class RecordingReporter final : public QueryReporter {
public:
    void status(const char* text) override { statuses.emplace_back(text); }
    void cardModel(const std::string& bytes) override { models.push_back(bytes); }
    std::vector<std::string> statuses;
    std::vector<std::string> models;
};

// A simulated card serving on its own thread for the life of the object.
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

// Simulator options as set changes them.
SimulatorOptions simWith(const std::function<void(SimulatorOptions&)>& set);

// The port can be opened again: the run before has let go of it.
bool portFree(const std::string& port);

// Options on the fake clock, with waits that give up on real time after a short while.
LinkOptions fakeTimeOptions(FakeClock& clock);
UpgradeOptions fakeTimeUpgrade(FakeClock& clock, const std::filesystem::path& package);

// A package of n bytes in total: the header bytes given, then a body, the last byte 0xAA.
std::vector<std::uint8_t> packageBytes(std::size_t n, std::uint8_t model = 'A',
                                       std::uint8_t cardVersion = '2');

// An upgrade on fake time with its package in a folder of its own, as the main window
// would start it.
struct UpgradeRig {
    TempDir dir;
    FakeClock clock;
    RecordingWindow window;
    std::filesystem::path package = dir / "RQ_CPU.cpu";
    void runOn(const std::string& port, const std::string& baud = "115200",
               const std::string& screen = "1");
};

// A query on fake time.
struct QueryRun {
    FakeClock clock;
    RecordingReporter reporter;
    int result = -1;
    void run(const SelectionProvider& sel);
    void run(const std::string& port, const std::string& screen = "1");
};

} // namespace cpuconfig::test
