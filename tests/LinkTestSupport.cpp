#include "LinkTestSupport.h"

#include "link/PosixSerialPort.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace cpuconfig::test {

Clock::TimePoint FakeClock::now() const {
    std::lock_guard lock(m_mutex);
    return TimePoint{} + std::chrono::hours(1) + m_offset;
}

bool FakeClock::sleepFor(Ms d, std::stop_token stop) {
    if (stop.stop_requested())
        return false;
    std::function<void()> fire;
    {
        std::lock_guard lock(m_mutex);
        if (m_event && m_offset + d >= m_at) {
            d = std::max(m_at - m_offset, Ms(0));
            fire = std::exchange(m_event, nullptr);
        }
        m_offset += d;
        m_sleeps.push_back(d);
    }
    if (fire)
        fire();
    return !stop.stop_requested();
}

void FakeClock::at(Ms when, std::function<void()> event) {
    std::lock_guard lock(m_mutex);
    m_at = when;
    m_event = std::move(event);
}

std::vector<Clock::Ms> FakeClock::sleeps() const {
    std::lock_guard lock(m_mutex);
    return m_sleeps;
}

Clock::Ms FakeClock::elapsed() const {
    std::lock_guard lock(m_mutex);
    return m_offset;
}

void RecordingWindow::send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    Message m{message, wParam, lParam, false, m_clock ? m_clock->elapsed() : Clock::Ms(0)};
    if (onSend)
        onSend(m);
    std::lock_guard lock(m_mutex);
    m_messages.push_back(m);
}

void RecordingWindow::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    std::lock_guard lock(m_mutex);
    m_messages.push_back(
        {message, wParam, lParam, true, m_clock ? m_clock->elapsed() : Clock::Ms(0)});
}

std::vector<Message> RecordingWindow::messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<Message> RecordingWindow::sent() const {
    std::vector<Message> out;
    for (const auto& m : messages())
        if (!m.posted)
            out.push_back(m);
    return out;
}

Message sentMsg(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    return {message, wParam, lParam, false, Clock::Ms(0)};
}

void RecordingReporter::status(const char* text) {
    statuses.emplace_back(text);
}
void RecordingReporter::cardModel(const std::string& bytes) {
    models.push_back(bytes);
}

SimCard::SimCard(SimulatorOptions options) {
    options.log = [this](const std::string& line) {
        std::lock_guard lock(m_mutex);
        m_log.push_back(line);
    };
    auto sim = Simulator::create(std::move(options));
    if (!sim)
        throw std::runtime_error(sim.error().message);
    m_sim = std::move(*sim);
    m_thread = std::jthread([this](std::stop_token stop) { m_sim->run(stop); });
}

SimCard::~SimCard() {
    m_thread.request_stop();
    m_thread.join();
}

std::vector<std::string> SimCard::log() const {
    std::lock_guard lock(m_mutex);
    return m_log;
}

LinkOptions fakeTimeOptions(FakeClock& clock) {
    LinkOptions o;
    o.clock = &clock;
    o.realWaitCap = std::chrono::milliseconds(300);
    return o;
}

UpgradeOptions fakeTimeUpgrade(FakeClock& clock, const std::filesystem::path& package) {
    UpgradeOptions o;
    static_cast<LinkOptions&>(o) = fakeTimeOptions(clock);
    o.package = package;
    return o;
}

std::vector<std::uint8_t> packageBytes(std::size_t n, std::uint8_t model,
                                       std::uint8_t cardVersion) {
    std::vector<std::uint8_t> p(n);
    for (std::size_t i = 0; i < n; ++i)
        p[i] = static_cast<std::uint8_t>(i * 7 + 3);
    if (n >= 8) {
        p[0] = model;
        p[1] = '1';
        p[2] = '.';
        p[3] = '7';
        p[4] = p[5] = p[6] = 0;
        p[7] = cardVersion;
    }
    if (n > 8)
        p.back() = 0xAA;
    return p;
}

SimulatorOptions simWith(const std::function<void(SimulatorOptions&)>& set) {
    SimulatorOptions o;
    set(o);
    return o;
}

bool portFree(const std::string& port) {
    return static_cast<bool>(PosixSerialPort::open(port));
}

void UpgradeRig::runOn(const std::string& port, const std::string& baud,
                       const std::string& screen) {
    FixedSelection sel(port, baud, screen);
    runUpgrade(window, sel, {}, fakeTimeUpgrade(clock, package));
}

} // namespace cpuconfig::test
