// The package builder: raw image + three texts -> RQ_CPU.cpu.
#pragma once

#include "common/Result.h"
#include "package/PackageFormat.h"

#include <cstdint>
#include <filesystem>
#include <stop_token>

namespace cpuconfig {

// What a build reports, in this order: started, progress..., imageDone, then (only when
// the package is written) status and finished. Called on the building thread.
class BuildObserver {
public:
    virtual ~BuildObserver() = default;
    // The image is open: its progress runs from 0 to total.
    virtual void started(std::uint64_t total) { (void)total; }
    // Throttled: at most a few hundred calls whatever the size, always ending with total.
    virtual void progress(std::uint64_t done, std::uint64_t total) {
        (void)done;
        (void)total;
    }
    // The image has been read (or failed to be); the build's own progress is over.
    virtual void imageDone() {}
    // "创建文件失败" or "输出加密文件成功".
    virtual void status(const char* text) { (void)text; }
    // The output step is over (written or not).
    virtual void finished() {}
};

struct BuildRequest {
    std::filesystem::path image;
    PackageTexts texts;
    std::filesystem::path output = kPackageFileName;
    DateTime when; // captured once, before the build
};

// At most this many progress calls per build.
inline constexpr std::uint64_t kMaxProgressSteps = 256;

// Builds and writes the package. On success returns the package size. Failures:
// FileMissing/FileUnreadable/FileEmpty/FileTooLarge (image), BadText (a header text),
// Usage (the output is the image itself, also through a link), CreateFailed ("创建文件失败"),
// WriteFailed, Stopped. On every failure the output file (and the image) is as it was.
Result<std::uint64_t> buildPackage(const BuildRequest& request, BuildObserver& observer,
                                   std::stop_token stop = {});

// The package bytes for an image in memory (no I/O): header, swapped body, trailer.
std::vector<std::uint8_t> assemblePackage(const Header& header, std::span<const std::uint8_t> image,
                                          const Trailer& trailer);

} // namespace cpuconfig
