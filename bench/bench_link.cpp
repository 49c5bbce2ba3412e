// Upgrade timing against the simulated card:
//  1. with the card's 115200-baud line limit, a 48 KiB "A" package against the line's own
//     time (bytes x 11 / 115200);
//  2. over an unthrottled pty, a 4 MiB "A" package: bytes per second, and the time from
//     the card's final 0x01 to the upgrade's outcome.
#include "link/Upgrade.h"
#include "sim/Simulator.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

using namespace cpuconfig;
using Steady = std::chrono::steady_clock;

namespace {

struct Run {
    double seconds = 0;
    double answerToResultMs = 0;
    int result = -1;
    std::uint64_t packageSize = 0;
};

Run upgradeOnce(std::size_t imageSize, bool baudLimit) {
    const auto dir = std::filesystem::temp_directory_path() / "cpuconfig-bench-link";
    std::filesystem::create_directories(dir);
    const auto package = dir / "RQ_CPU.cpu";
    {
        std::vector<char> bytes(imageSize + 16);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 31 + 7);
        bytes[0] = 'A';
        bytes.back() = static_cast<char>(0xAA);
        std::ofstream(package, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::mutex m;
    Steady::time_point answeredAt;
    SimulatorOptions o;
    o.baudLimit = baudLimit;
    o.log = [&](const std::string& line) {
        if (line.rfind("answered 01", 0) == 0) {
            std::lock_guard lock(m);
            answeredAt = Steady::now();
        }
    };
    auto sim = Simulator::create(o);
    if (!sim) {
        std::fprintf(stderr, "simulator: %s\n", sim.error().message.c_str());
        std::exit(1);
    }
    std::jthread card([&](std::stop_token stop) { (*sim)->run(stop); });

    FixedSelection sel((*sim)->devicePath(), "115200", "1");
    UpgradeOptions options;
    options.package = package;
    const auto start = Steady::now();
    const Outcome outcome = runUpgrade(sel, {}, options);
    const auto resultAt = Steady::now();
    Run r;
    r.seconds = std::chrono::duration<double>(resultAt - start).count();
    {
        std::lock_guard lock(m);
        r.answerToResultMs =
            std::chrono::duration<double, std::milli>(resultAt - answeredAt).count();
    }
    r.result = outcome.end == CardEnd::Confirmed ? 0 : 1;
    r.packageSize = imageSize + 16;
    card.request_stop();
    card.join();
    std::filesystem::remove_all(dir);
    return r;
}

} // namespace

int main() {
    const auto lined = upgradeOnce(48 * 1024, true);
    // On the wire: address 2, acknowledge 1, header command 15, transfer, final answer 1.
    const double wireBytes = static_cast<double>(lined.packageSize - 8 + 2 + 1 + 15 + 1);
    const double lineSeconds = wireBytes * 11.0 / 115200.0;
    std::printf("48 KiB A package at 115200 baud (line-limited card): %.3f s, line time %.3f s, "
                "ratio %.4f, result %d\n",
                lined.seconds, lineSeconds, lined.seconds / lineSeconds, lined.result);

    const auto fast = upgradeOnce(4 * 1024 * 1024, false);
    std::printf("4 MiB A package over an unthrottled pty: %.3f s, %.1f MiB/s, final 0x01 to "
                "result %.3f ms, result %d\n",
                fast.seconds,
                static_cast<double>(fast.packageSize) / fast.seconds / (1024.0 * 1024.0),
                fast.answerToResultMs, fast.result);
    return lined.result == 0 && fast.result == 0 ? 0 : 1;
}
