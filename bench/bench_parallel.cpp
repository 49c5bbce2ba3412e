// Several cards at once against simulated cards held to the line's speed (115200 baud, 11
// bits a byte), in one run: the time for 1, 4 and 8 cards in parallel, each port with its
// own card and worker; then how long a stop takes to end four transfers in flight.
//   build/bench/bench_parallel [KIB]   (default 48 KiB packages)
#include "link/ParallelUpgrade.h"
#include "sim/Simulator.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace cpuconfig;
using Steady = std::chrono::steady_clock;

namespace {

struct Cards {
    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<std::jthread> threads;
    explicit Cards(int n) {
        SimulatorOptions o;
        o.baudLimit = true;
        for (int i = 0; i < n; ++i) {
            auto sim = Simulator::create(o);
            if (!sim) {
                std::fprintf(stderr, "simulator: %s\n", sim.error().message.c_str());
                std::exit(1);
            }
            sims.push_back(std::move(*sim));
            threads.emplace_back([s = sims.back().get()](std::stop_token stop) { s->run(stop); });
        }
    }
    std::vector<PortJob> jobs() const {
        std::vector<PortJob> j;
        for (const auto& s : sims)
            j.push_back({s->devicePath(), {"1"}});
        return j;
    }
};

double loadAverage() {
    double load[1] = {0};
    return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 48;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("cpuconfig-bench-parallel-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    UpgradeOptions options;
    options.package = dir / "RQ_CPU.cpu";
    {
        std::vector<char> bytes(kib * 1024 + 16);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 31 + 7);
        bytes[0] = 'A'; // no pacing pauses: the line alone sets the pace
        bytes.back() = static_cast<char>(0xAA);
        std::ofstream(options.package, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::printf("load average before: %.2f\n", loadAverage());
    const double wire = static_cast<double>(kib * 1024 + 8 + 2 + 1 + 15 + 1) * 11.0 / 115200.0;
    std::printf("%zu KiB \"A\" package at 115200 baud; line time of one card %.3f s\n", kib, wire);

    bool allOk = true;
    double one = 0;
    for (int n : {1, 4, 8}) {
        Cards cards(n);
        const auto start = Steady::now();
        const auto results = runParallelUpgrade(cards.jobs(), "115200", options, {}, {});
        const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
        int ok = 0;
        for (const auto& r : results)
            ok += r.end == CardEnd::Confirmed;
        allOk = allOk && ok == n;
        if (n == 1)
            one = seconds;
        std::printf("%d card(s) in parallel: %.3f s, %.3f x one card, %d of %d confirmed\n", n,
                    seconds, seconds / one, ok, n);
    }

    // A stop while four transfers run: from the request to the runner's return.
    double worst = 0;
    for (int round = 0; round < 5; ++round) {
        Cards cards(4);
        std::stop_source stop;
        Steady::time_point requested;
        std::jthread stopper([&] {
            for (const auto& s : cards.sims)
                while (s->record().transfer.size() < 2000)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            requested = Steady::now();
            stop.request_stop();
        });
        runParallelUpgrade(cards.jobs(), "115200", options, {}, stop.get_token());
        const auto ended = Steady::now();
        stopper.join();
        worst =
            std::max(worst, std::chrono::duration<double, std::milli>(ended - requested).count());
    }
    std::printf("stop of 4 transfers in flight, worst of 5: %.1f ms\n", worst);
    std::printf("load average after: %.2f\n", loadAverage());
    std::filesystem::remove_all(dir);
    return allOk ? 0 : 1;
}
