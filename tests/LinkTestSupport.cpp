#include "LinkTestSupport.h"

#include "link/SerialPort.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace cpuconfig::test {

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

#ifndef _WIN32
SimCard::SimCard(SimulatorOptions options) {
    auto sim = Simulator::create(std::move(options));
    if (!sim)
        throw std::runtime_error(sim.error().message);
    m_sim = std::move(*sim);
    m_thread = std::jthread([this](std::stop_token stop) { m_sim->run(stop); });
}

bool portFree(const std::string& port) {
    return static_cast<bool>(platformSerialPorts().open(port));
}
#endif

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
    const std::uint8_t header[] = {model, '1', '.', '7', 0, 0, 0, cardVersion};
    if (n >= 8)
        std::copy(header, header + 8, p.begin());
    if (n > 8)
        p.back() = 0xAA;
    return p;
}

SimulatorOptions simWith(const std::function<void(SimulatorOptions&)>& set) {
    SimulatorOptions o;
    set(o);
    return o;
}

void UpgradeRig::runOn(const std::string& port, const std::string& baud, const std::string& screen,
                       std::stop_token stop) {
    FixedSelection sel(port, baud, screen);
    UpgradeOptions options = fakeTimeUpgrade(clock, package);
    options.ports = ports;
    outcome = runUpgrade(sel, stop, options, &seen);
}

void QueryRun::run(const SelectionProvider& sel) {
    LinkOptions options = fakeTimeOptions(clock);
    options.ports = ports;
    outcome = getParam(sel, {}, options);
    for (const char* text : statusTexts(outcome))
        statuses.emplace_back(text);
    if (outcome.model)
        models.push_back(*outcome.model);
}

void QueryRun::run(const std::string& port, const std::string& screen) {
    run(FixedSelection(port, "115200", screen));
}

#ifndef _WIN32
CpuctlFolders::CpuctlFolders() {
    ::setenv("XDG_RUNTIME_DIR", m_runtime.path().c_str(), 1);
    package(3000);
}

void CpuctlFolders::package(std::size_t body) {
    writeBytes(m_dir / "RQ_CPU.cpu", packageBytes(8 + body));
}
#endif

} // namespace cpuconfig::test
