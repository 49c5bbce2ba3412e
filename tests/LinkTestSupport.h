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
    TimePoint now() const override;
    bool sleepFor(Ms d, std::stop_token stop) override;
    std::vector<Ms> sleeps() const;
    Ms elapsed() const;
    // At fake time `when` the event runs, once: a sleep that would pass that moment ends
    // there, and the waiting goes on from it.
    void at(Ms when, std::function<void()> event);

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
    bool posted;
    Clock::Ms at; // fake time since the clock started
    bool operator==(const Message& o) const {
        return message == o.message && wParam == o.wParam && lParam == o.lParam &&
               posted == o.posted;
    }
};

class RecordingWindow final : public MainWindowLink {
public:
    explicit RecordingWindow(const FakeClock* clock = nullptr) : m_clock(clock) {}
    void send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    std::vector<Message> messages() const;
    // The messages without the posted progress positions.
    std::vector<Message> sent() const;
    // Called for every sent message, on the worker's thread, before it is recorded.
    std::function<void(const Message&)> onSend;

private:
    const FakeClock* m_clock;
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
};

Message sentMsg(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
inline const Message kHide = sentMsg(WM_CPU_PROGRESS, 0, kProgressVisible);
inline const Message kSendFailed = sentMsg(WM_CPU_SEND_FAILED, 0, 0);
inline const Message kNoFile = sentMsg(WM_CPU_NO_FILE, 0, 0);
inline Message msgResult(std::uintptr_t w) {
    return sentMsg(WM_CPU_RESULT, w, 0);
}

class RecordingReporter final : public QueryReporter {
public:
    void status(const char* text) override;
    void cardModel(const std::string& bytes) override;
    std::vector<std::string> statuses;
    std::vector<std::string> models;
};

// A simulated card serving on its own thread for the life of the object.
class SimCard {
public:
    explicit SimCard(SimulatorOptions options = {});
    ~SimCard();
    std::string port() const { return m_sim->devicePath(); }
    Simulator& sim() { return *m_sim; }
    SimRecord record() const { return m_sim->record(); }
    std::vector<std::string> log() const;

private:
    std::unique_ptr<Simulator> m_sim;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_log;
    std::jthread m_thread;
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
    RecordingWindow window{&clock};
    std::filesystem::path package = dir / "RQ_CPU.cpu";
    void runOn(const std::string& port, const std::string& baud = "115200",
               const std::string& screen = "1");
};

} // namespace cpuconfig::test
