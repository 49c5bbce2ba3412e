// The package reader on arbitrary bytes: the panel's details, the date text, and the
// streaming paths of cpuctl info and unpack.
#include "package/PackageFormat.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace cpuconfig;
    if (size >= 7) {
        const std::string text = formatDateText(std::span<const std::uint8_t, 7>(data, 7));
        if (text.size() < 8 || text.compare(0, 2, "20") != 0) {
            __builtin_trap();
        }
    }
    if (size >= 15) {
        (void)packageDetails({data, size});
    }
    static const std::string path = "/dev/shm/cpuconfig-fuzz-" + std::to_string(::getpid());
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        auto details = readPackageDetails(path);
        if (details.ok() != (size >= 15)) {
            __builtin_trap();
        }
        const bool sound = size >= 17 && data[size - 1] == 0xAA;
        auto info = inspectPackage(path);
        if (info.ok() != (size >= 16) || (info.ok() && info->problem.has_value() == sound)) {
            __builtin_trap();
        }
        static const std::string imagePath = path + ".bin";
        auto image = unpackPackage(path, imagePath);
        if (image.ok() != sound || (image.ok() && *image + 16 != size)) {
            __builtin_trap();
        }
    }
    return 0;
}
