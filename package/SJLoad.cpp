#include "package/SJLoad.h"

#include "common/FileIo.h"
#include "common/Texts.h"

#include <algorithm>
#include <fstream>

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

class ImageFile {
public:
    // Opens the image and takes its size; refuses what is not a readable file under 2 GiB.
    static Result<ImageFile> open(const std::filesystem::path& path) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            return makeError(ErrorCode::FileMissing, path.string() + ": no such file");
        }
        ImageFile f;
        f.m_in.open(path, std::ios::binary);
        if (!f.m_in) {
            return makeError(ErrorCode::FileUnreadable, path.string() + ": cannot be opened");
        }
        f.m_in.seekg(0, std::ios::end);
        const std::streamoff size = f.m_in.tellg();
        f.m_in.seekg(0, std::ios::beg);
        if (size < 0 || !f.m_in) {
            return makeError(ErrorCode::FileUnreadable, path.string() + ": size cannot be read");
        }
        f.m_size = static_cast<std::uint64_t>(size);
        if (f.m_size > kMaxImageSize) {
            return makeError(ErrorCode::FileTooLarge, path.string() + ": " +
                                                          std::to_string(f.m_size) +
                                                          " bytes; images must be under 2 GiB");
        }
        return f;
    }

    std::uint64_t size() const { return m_size; }

    // Up to want bytes; 0 means the file ended early or could not be read.
    std::uint64_t read(std::uint8_t* dst, std::uint64_t want) {
        m_in.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(want));
        return static_cast<std::uint64_t>(m_in.gcount());
    }

private:
    std::ifstream m_in;
    std::uint64_t m_size = 0;
};

// Streams the image through the nibble swap into the new package, with throttled
// progress. The package is assembled in the temporary file, never under its own name.
Result<void> streamBody(ImageFile& image, const std::filesystem::path& path, ReplacingFile& out,
                        BuildObserver& observer, std::stop_token stop) {
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
        const std::uint64_t got = image.read(buffer.data(), std::min(kChunk, n - done));
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

    auto image = ImageFile::open(request.image);
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
