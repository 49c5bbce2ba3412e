#include "package/SJLoad.h"

#include "common/FileIo.h"
#include "common/Texts.h"

#include <algorithm>

namespace cpuconfig {

std::vector<std::uint8_t> assemblePackage(const Header& header, std::span<const std::uint8_t> image,
                                          const Trailer& trailer) {
    std::vector<std::uint8_t> out(image.size() + kPackageOverhead);
    std::copy(header.begin(), header.end(), out.begin());
    nibbleSwap(image.data(), out.data() + kHeaderSize, image.size());
    std::copy(trailer.begin(), trailer.end(), out.end() - kTrailerSize);
    return out;
}

namespace {

// Opens the image and takes its size; refuses what is not a readable file under 2 GiB.
Result<SequentialFile> openImage(const std::filesystem::path& path) {
    auto f = SequentialFile::open(path);
    if (f && f->size() > kMaxImageSize) {
        return makeError(ErrorCode::FileTooLarge, path.string() + ": " + std::to_string(f->size()) +
                                                      " bytes; images must be under 2 GiB");
    }
    return f;
}

// Streams the image through the nibble swap into the new package, with throttled
// progress. The package is assembled in the temporary file, never under its own name.
Result<void> streamBody(SequentialFile& image, const std::filesystem::path& path,
                        ReplacingFile& out, BuildObserver& observer, std::stop_token stop) {
    const std::uint64_t n = image.size();
    const std::uint64_t step = std::max<std::uint64_t>(1, n / kMaxProgressSteps);
    constexpr std::uint64_t kChunk = 1u << 20;
    std::vector<std::uint8_t> buffer(std::min(kChunk, n));
    std::uint64_t done = 0;
    std::uint64_t reported = 0;
    while (done < n) {
        if (stop.stop_requested()) {
            return makeError(ErrorCode::Stopped, "stopped");
        }
        const std::uint64_t got =
            image.read({buffer.data(), static_cast<std::size_t>(std::min(kChunk, n - done))});
        if (got == 0) {
            return makeError(ErrorCode::FileUnreadable,
                             path.string() + ": read failed at offset " + std::to_string(done));
        }
        nibbleSwap(buffer.data(), buffer.data(), got);
        if (auto w = out.write({buffer.data(), static_cast<std::size_t>(got)}); !w) {
            return w.error();
        }
        done += got;
        if (done == n || done - reported >= step) {
            observer.progress(done, n);
            reported = done;
        }
    }
    return {};
}

} // namespace

Result<std::uint64_t> buildPackage(const BuildRequest& request, BuildObserver& observer,
                                   std::stop_token stop) {
    auto header = makeHeader(request.texts);
    if (!header) {
        return header.error();
    }
    const Trailer trailer = makeTrailer(request.when);
    // Renamed over its own image, the package would leave nothing to build it from again.
    if (sameFile(request.image, request.output)) {
        return makeError(ErrorCode::Usage, request.output.string() +
                                               ": is the image itself; the package would "
                                               "replace it");
    }

    auto image = openImage(request.image);
    if (!image) {
        observer.imageDone();
        return image.error();
    }
    const std::uint64_t n = image->size();
    observer.started(n);
    if (n == 0) {
        observer.imageDone();
        return makeError(ErrorCode::FileEmpty, request.image.string() + ": the image is empty");
    }

    auto out = ReplacingFile::create(request.output);
    if (!out) {
        observer.imageDone();
        observer.status(text::kCreateFileFailed);
        observer.finished();
        return out.error();
    }
    Result<void> body = out->write(*header);
    if (body) {
        body = streamBody(*image, request.image, *out, observer, stop);
    }
    if (body && !image->unchanged()) {
        // Written to while it was read: the body may hold parts of two images.
        body = makeError(ErrorCode::FileUnreadable,
                         request.image.string() + ": changed while it was read; try again");
    }
    if (body) {
        body = out->write(trailer);
    }
    observer.imageDone();
    if (!body) {
        // Nothing of the new package reaches the output name; the old one stays.
        if (body.error().code == ErrorCode::WriteFailed) {
            observer.finished();
        }
        return body.error();
    }
    if (auto committed = out->commit(); !committed) {
        if (committed.error().code == ErrorCode::CreateFailed) {
            observer.status(text::kCreateFileFailed);
        }
        observer.finished();
        return committed.error();
    }
    observer.status(text::kPackageWritten);
    observer.finished();
    return n + kPackageOverhead;
}

} // namespace cpuconfig
