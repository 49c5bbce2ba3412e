// The station on the system clock with the default poll (0.5 s):
//  1. from the moment a simulated card starts answering to the start of its upgrade, for a
//     card whose port appears with it (adapter and card plugged in together) and for a card
//     switched on at a port that was there all along (silent until then); 10 cards each;
//  2. the station's CPU use while it waits on 8 idle ports (4 missing, 4 silent), over 20 s.
//   build/bench/bench_station [idle]   (idle: only the second)
#include "common/FileIo.h"
#include "link/PortList.h"
#include "link/Station.h"
#include "sim/Simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace cpuconfig;
using Steady = std::chrono::steady_clock;

namespace {

// When each port's upgrade began, and how many cards it finished.
class Watch final : public StationReporter {
public:
    void portState(std::size_t, PortState s, const std::string&) override {
        if (s == PortState::Upgrading && !started.load()) {
            std::lock_guard lock(m_mutex);
            at = Steady::now();
            started = true;
        }
    }
    bool cardFinished(const StationCard&) override {
        ++finished;
        return true;
    }
    std::atomic<bool> started{false};
    std::atomic<int> finished{0};
    Steady::time_point at;
    std::mutex m_mutex;
};

std::unique_ptr<Simulator> card(bool powered) {
    auto sim = Simulator::create({});
    if (!sim) {
        std::fprintf(stderr, "simulator: %s\n", sim.error().message.c_str());
        std::exit(1);
    }
    (*sim)->setPowered(powered);
    return std::move(*sim);
}

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void wait(const std::function<bool()>& done) {
    const auto until = Steady::now() + std::chrono::seconds(30);
    while (!done() && Steady::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

int main(int argc, char** argv) {
    const bool idleOnly = argc > 1 && std::string(argv[1]) == "idle";
    const auto dir = std::filesystem::temp_directory_path() /
                     ("cpuconfig-bench-station-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    std::vector<std::uint8_t> package(8 + 1024, 0x5A);
    package[0] = 'A';
    package.back() = 0xAA;
    if (!writeFileReplacing(dir / "RQ_CPU.cpu", package))
        return 1;

    for (const bool appears : {true, false}) {
        if (idleOnly)
            break;
        std::vector<double> ms;
        for (int n = 0; n < 10; ++n) {
            Watch watch;
            StationOptions o;
            o.package = dir / "RQ_CPU.cpu";
            const std::string name = "BENCH" + std::to_string(n);
            std::unique_ptr<Simulator> sim = card(appears);
            o.ports = {appears ? (registeredPortsFolder() / name).string() : sim->devicePath()};
            auto station = Station::create(o, watch);
            if (!station)
                return 1;
            std::jthread serve([&](std::stop_token s) { sim->run(s); });
            std::jthread run([&](std::stop_token s) { (*station)->run(s); });
            // Some time into the station's rhythm, at a different moment each time.
            std::this_thread::sleep_for(std::chrono::milliseconds(700 + 97 * n));
            const auto answering = Steady::now();
            if (appears)
                (void)sim->registerPort(name);
            else
                sim->setPowered(true);
            wait([&] { return watch.started.load(); });
            ms.push_back(std::chrono::duration<double, std::milli>(watch.at - answering).count());
            wait([&] { return watch.finished.load() > 0; });
        }
        std::sort(ms.begin(), ms.end());
        double sum = 0;
        for (double m : ms)
            sum += m;
        std::printf("card %s: answering to upgrade start, 10 cards: mean %.0f ms, median %.0f ms, "
                    "max %.0f ms\n",
                    appears ? "appears with its port" : "switched on at its port",
                    sum / static_cast<double>(ms.size()), ms[ms.size() / 2], ms.back());
        std::fflush(stdout);
    }

    {
        Watch watch;
        StationOptions o;
        o.package = dir / "RQ_CPU.cpu";
        std::vector<std::unique_ptr<Simulator>> silent;
        std::vector<std::jthread> serving;
        for (int i = 0; i < 4; ++i) {
            o.ports.push_back((dir / ("missing" + std::to_string(i))).string());
            silent.push_back(card(false));
            o.ports.push_back(silent.back()->devicePath());
        }
        auto station = Station::create(o, watch);
        if (!station)
            return 1;
        // The switched-off cards are not served: their ports just stay silent.
        std::jthread run([&](std::stop_token s) { (*station)->run(s); });
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double cpu0 = cpuSeconds();
        const auto t0 = Steady::now();
        std::this_thread::sleep_for(std::chrono::seconds(20));
        const double cpu = cpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Steady::now() - t0).count();
        std::printf("8 idle ports (4 missing, 4 silent): %.3f s CPU in %.1f s, %.2f %% of one "
                    "core\n",
                    cpu, wall, 100.0 * cpu / wall);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
