#include "package/SJLoad.h"

#include "common/FileIo.h"
#include "common/Texts.h"

#include <algorithm>
#include <fstream>

namespace cpuconfig {

std::vector<std::uint8_t> assemblePackage(const Header& header,
                                          std::span<const std::uint8_t> image,
                                          const Trailer& trailer) {
    std::vector<std::uint8_t> out(image.size() + kPackageOverhead);
    std::copy(header.begin(), header.end(), out.begin());
    nibbleSwap(image.data(), out.data() + kHeaderSize, image.size());
    std::copy(trailer.begin(), trailer.end(), out.end() - kTrailerSize);
    return out;
}

namespace {

// Reads the image straight into the package buffer behind the header, swapping each
// chunk as it arrives, with throttled progress.
Result<std::vector<std::uint8_t>> readImageInto(const BuildRequest& request,
                                                const Header& header, BuildObserver& observer,
                                                std::stop_token stop) {
    const auto& path = request.image;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return makeError(ErrorCode::FileMissing, path.string() + ": no such file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return makeError(ErrorCode::FileUnreadable, path.string() + ": cannot be opened");
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0 || !in) {
        return makeError(ErrorCode::FileUnreadable, path.string() + ": size cannot be read");
    }
    const auto n = static_cast<std::uint64_t>(size);
    if (n > kMaxImageSize) {
        return makeError(ErrorCode::FileTooLarge, path.string() + ": " + std::to_string(n) +
                                                      " bytes; images must be under 2 GiB");
    }
    observer.started(n);
    if (n == 0) {
        return makeError(ErrorCode::FileEmpty, path.string() + ": the image is empty");
    }

    std::vector<std::uint8_t> out(n + kPackageOverhead);
    std::copy(header.begin(), header.end(), out.begin());
    const std::uint64_t step = std::max<std::uint64_t>(1, n / kMaxProgressSteps);
    constexpr std::uint64_t kChunk = 1u << 20;
    std::uint64_t done = 0;
    std::uint64_t reported = 0;
    while (done < n) {
        if (stop.stop_requested()) {
            return makeError(ErrorCode::Stopped, "stopped");
        }
        const std::uint64_t want = std::min(kChunk, n - done);
        std::uint8_t* dst = out.data() + kHeaderSize + done;
        in.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(want));
        const auto got = static_cast<std::uint64_t>(in.gcount());
        if (got == 0) {
            return makeError(ErrorCode::FileUnreadable,
                             path.string() + ": read failed at offset " + std::to_string(done));
        }
        nibbleSwap(dst, dst, got);
        done += got;
        if (done == n || done - reported >= step) {
            observer.progress(done, n);
            reported = done;
        }
    }
    return out;
}

} // namespace

Result<std::uint64_t> buildPackage(const BuildRequest& request, BuildObserver& observer,
                                   std::stop_token stop) {
    auto header = makeHeader(request.texts);
    if (!header) {
        return header.error();
    }
    const Trailer trailer = makeTrailer(request.when);

    auto package = readImageInto(request, *header, observer, stop);
    observer.imageDone();
    if (!package) {
        return package.error();
    }
    auto& bytes = *package;
    std::copy(trailer.begin(), trailer.end(), bytes.end() - kTrailerSize);

    auto written = writeFileReplacing(request.output, bytes);
    if (!written) {
        if (written.error().code == ErrorCode::CreateFailed) {
            observer.status(text::kCreateFileFailed);
        }
        observer.finished();
        return written.error();
    }
    observer.status(text::kPackageWritten);
    observer.finished();
    return static_cast<std::uint64_t>(bytes.size());
}

} // namespace cpuconfig
