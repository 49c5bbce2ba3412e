// Packing a 64 MiB image against copying the same file with cp, in one run on one disk.
// The work of a pack is I/O plus a nibble swap, so it should cost little more than a copy.
// Usage: bench_pack CPUCTL [MiB] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

double timeCommand(const std::string& cmd) {
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_pack CPUCTL [MiB] [rounds]\n");
        return 2;
    }
    const std::string cpuctl = argv[1];
    const int mib = argc > 2 ? std::atoi(argv[2]) : 64;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 7;

    const auto dir = std::filesystem::temp_directory_path() / "cpuconfig-bench-pack";
    std::filesystem::create_directories(dir);
    const auto image = (dir / "image.bin").string();
    {
        std::mt19937_64 gen(42);
        std::vector<std::uint64_t> buf(1 << 17);
        std::ofstream out(image, std::ios::binary);
        for (int i = 0; i < mib; ++i) {
            for (auto& w : buf) {
                w = gen();
            }
            out.write(reinterpret_cast<const char*>(buf.data()), 1 << 20);
        }
    }
    const std::string copy = "cp '" + image + "' '" + (dir / "copy.bin").string() + "'";
    const std::string copySync = copy + " && sync '" + (dir / "copy.bin").string() + "'";
    const std::string pack = "'" + cpuctl + "' pack '" + image + "' -o '" +
                             (dir / "RQ_CPU.cpu").string() + "' >/dev/null 2>&1";

    timeCommand(copy); // warm the page cache for both
    timeCommand(pack);
    std::vector<double> tCopy, tCopySync, tPack;
    for (int i = 0; i < rounds; ++i) {
        tCopy.push_back(timeCommand(copy));
        tCopySync.push_back(timeCommand(copySync));
        tPack.push_back(timeCommand(pack));
    }
    const double c = median(tCopy), cs = median(tCopySync), p = median(tPack);
    std::printf("image %d MiB, %d rounds, medians\n", mib, rounds);
    std::printf("cp                 %.3f s\n", c);
    std::printf("cp + sync          %.3f s\n", cs);
    std::printf("cpuctl pack        %.3f s (writes, flushes and renames)\n", p);
    std::printf("ratio pack / cp          %.2f\n", p / c);
    std::printf("ratio pack / (cp + sync) %.2f\n", p / cs);
    std::filesystem::remove_all(dir);
    return 0;
}
