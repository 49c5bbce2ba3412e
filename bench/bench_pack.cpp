// Packing an image against the durable copy of it that is the floor for the work: `cp
// image copy` followed by `sync copy`. Both run as programs, in alternating pairs (the one
// that goes first changes each round), on the same disk, with the page cache warm (the
// image read just before) and cold (emptied before every command).
// Usage: bench_pack CPUCTL [rounds] [MiB ...]     (defaults: 7 rounds; 1, 64 and 1024 MiB)
// The files go to $TMPDIR (or /tmp), which must be on a real disk for the flush to count.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Run {
    double seconds;
    long maxRssKiB;
};

// Runs argv with its output thrown away; the time from start to exit and its peak memory.
Run run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = 0;
    rusage usage{};
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0 ||
        ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "failed: %s\n", argv[0].c_str());
        std::exit(1);
    }
    const auto t1 = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    return {std::chrono::duration<double>(t1 - t0).count(), usage.ru_maxrss};
}

// Empties the page cache: all of it when the system lets us, otherwise the pages of the
// given files (every file here is flushed, so its pages are clean and can be dropped). The
// programs themselves are then loaded again, so that only the data starts cold.
bool g_dropAll = true;
void emptyCache(const std::vector<std::string>& files, const std::string& cpuctl) {
    if (g_dropAll) {
        ::sync();
        std::ofstream drop("/proc/sys/vm/drop_caches");
        if (drop << "3" << std::flush) {
            run({cpuctl, "--version"});
            run({"cp", "--version"});
            run({"sync", "--version"});
            return;
        }
        g_dropAll = false;
    }
    for (const auto& f : files) {
        const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void writeImage(const std::string& path, int mib) {
    std::mt19937_64 gen(42);
    std::vector<std::uint64_t> buf(1 << 17);
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < mib; ++i) {
        for (auto& w : buf) {
            w = gen();
        }
        out.write(reinterpret_cast<const char*>(buf.data()), 1 << 20);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_pack CPUCTL [rounds] [MiB ...]\n");
        return 2;
    }
    const std::string cpuctl = fs::absolute(argv[1]).string();
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    std::vector<int> sizes;
    for (int i = 3; i < argc; ++i) {
        sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {1, 64, 1024};
    }

    const fs::path dir = fs::temp_directory_path() / "cpuconfig-bench-pack";
    fs::create_directories(dir);
    const std::string image = (dir / "image.bin").string();
    const std::string copy = (dir / "copy.bin").string();
    const std::string package = (dir / "RQ_CPU.cpu").string();
    const std::vector<std::string> files = {image, copy, package};
    double load[3] = {};
    if (::getloadavg(load, 3) > 0) {
        std::printf("load average at the start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    }
    std::printf("%d alternating pairs per line, medians; files in %s\n", rounds, dir.c_str());
    std::printf("%8s %5s %12s %12s %18s %14s\n", "image", "cache", "cp + sync", "pack",
                "pack / (cp+sync)", "pack peak");
    for (const int mib : sizes) {
        writeImage(image, mib);
        for (const bool cold : {false, true}) {
            std::vector<double> tCopy, tPack, ratios;
            long peak = 0;
            const auto copyOnce = [&] {
                if (cold) {
                    emptyCache(files, cpuctl);
                }
                const double t = run({"cp", image, copy}).seconds + run({"sync", copy}).seconds;
                tCopy.push_back(t);
            };
            const auto packOnce = [&] {
                if (cold) {
                    emptyCache(files, cpuctl);
                }
                const Run r = run({cpuctl, "pack", image, "-o", package});
                tPack.push_back(r.seconds);
                peak = std::max(peak, r.maxRssKiB);
            };
            // Unmeasured: both outputs exist from here on, as they do in every round, and
            // a warm round starts with the image in the cache.
            run({"cp", image, copy});
            run({cpuctl, "pack", image, "-o", package});
            for (int i = 0; i < rounds; ++i) {
                if (i % 2 == 0) {
                    copyOnce();
                    packOnce();
                } else {
                    packOnce();
                    copyOnce();
                }
                ratios.push_back(tPack.back() / tCopy.back());
            }
            std::printf("%4d MiB %5s %10.3f s %10.3f s %18.2f %10.1f MiB\n", mib,
                        cold ? "cold" : "warm", median(tCopy), median(tPack), median(ratios),
                        peak / 1024.0);
            std::fflush(stdout);
        }
    }
    if (::getloadavg(load, 3) > 0) {
        std::printf("load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    }
    std::printf("cold cache: %s\n", g_dropAll ? "whole page cache dropped (drop_caches)"
                                              : "the files' pages dropped (posix_fadvise)");
    fs::remove_all(dir);
    return 0;
}
