#include "package/PackageFormat.h"

#include "common/FileIo.h"
#include "common/Sha256.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <tuple>

namespace cpuconfig {
namespace {

// A header text as the bytes it is stored in: ASCII only (one byte a character), and no
// more characters than the field's room.
Result<void> checkText(std::string_view text, std::size_t room, const char* field) {
    const std::string quoted = std::string(field) + " \"" + std::string(text) + "\"";
    for (const char ch : text) {
        if (static_cast<unsigned char>(ch) >= 0x80) {
            return makeError(ErrorCode::BadText,
                             quoted + ": only ASCII characters fit the package's one-byte fields");
        }
    }
    if (text.size() > room) {
        return makeError(ErrorCode::BadText, quoted + ": " + std::to_string(text.size()) +
                                                 " characters, the field holds " +
                                                 std::to_string(room));
    }
    return {};
}

std::string cutAtZero(std::initializer_list<std::uint8_t> bytes) {
    std::string s;
    for (std::uint8_t b : bytes) {
        if (b == 0) {
            break;
        }
        s.push_back(static_cast<char>(b));
    }
    return s;
}

} // namespace

Result<Header> makeHeader(const PackageTexts& texts) {
    for (const auto& [text, room, field] :
         {std::tuple{std::string_view(texts.model), std::size_t{1}, "card model"},
          std::tuple{std::string_view(texts.cpuVersion), std::size_t{3}, "CPU version"},
          std::tuple{std::string_view(texts.cardVersion), std::size_t{1}, "card version"}}) {
        if (auto fits = checkText(text, room, field); !fits) {
            return fits.error();
        }
    }
    Header h{};
    auto byteAt = [](const std::string& text, std::size_t i) {
        return i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{0};
    };
    h[kModelOffset] = byteAt(texts.model, 0);
    for (std::size_t i = 0; i < 3; ++i) {
        h[kCpuVersionOffset + i] = byteAt(texts.cpuVersion, i); // padded with zero bytes
    }
    h[kCardVersionOffset] = byteAt(texts.cardVersion, 0);
    return h;
}

std::uint8_t toBcd(int value) {
    value %= 100;
    return static_cast<std::uint8_t>(((value / 10) << 4) | (value % 10));
}

int fromBcd(std::uint8_t bcd) {
    return (bcd >> 4) * 10 + (bcd & 0x0F);
}

int weekdayOf(int year, int month, int day) {
    // Days since 1970-01-01 (a Thursday) of a proleptic Gregorian date.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int mp = (month + 9) % 12;
    const int doy = (153 * mp + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = static_cast<long long>(era) * 146097 + doe - 719468;
    const int fromThursday = static_cast<int>(((days % 7) + 7) % 7); // 0 = Thursday
    return (fromThursday + 3) % 7 + 1;                               // 1 = Monday
}

DateTime localDateTime(std::int64_t secondsSinceEpoch) {
    const std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    DateTime d;
    d.year = tm.tm_year + 1900;
    d.month = tm.tm_mon + 1;
    d.day = tm.tm_mday;
    d.hour = tm.tm_hour;
    d.minute = tm.tm_min;
    d.second = tm.tm_sec;
    d.weekday = weekdayOf(d.year, d.month, d.day);
    return d;
}

Result<DateTime> buildTime() {
    if (const char* env = std::getenv("SOURCE_DATE_EPOCH"); env != nullptr && *env != '\0') {
        std::int64_t seconds = 0;
        const char* end = env + std::char_traits<char>::length(env);
        auto [p, ec] = std::from_chars(env, end, seconds);
        if (ec != std::errc{} || p != end || seconds < 0) {
            return makeError(ErrorCode::Usage,
                             std::string("SOURCE_DATE_EPOCH is not a number of seconds: ") + env);
        }
        return localDateTime(seconds);
    }
    return localDateTime(static_cast<std::int64_t>(std::time(nullptr)));
}

Trailer makeTrailer(const DateTime& when) {
    return Trailer{toBcd(when.second), toBcd(when.minute),
                   toBcd(when.hour),   toBcd(when.day),
                   toBcd(when.month),  static_cast<std::uint8_t>(when.weekday),
                   toBcd(when.year),   kEndMark};
}

std::string formatDateText(std::span<const std::uint8_t, 7> t) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "20%X年%X月%X日%X时%X分%X秒", unsigned{t[6]}, unsigned{t[4]},
                  unsigned{t[3]}, unsigned{t[2]}, unsigned{t[1]}, unsigned{t[0]});
    return buf;
}

PackageDetails packageDetails(std::span<const std::uint8_t> file) {
    const std::size_t n = file.size();
    const std::size_t dateAt = n >= 16 ? n - 8 : 8;
    PackageDetails d;
    d.model = cutAtZero({file[kModelOffset], file[kCardVersionOffset]});
    d.cpuVersion = cutAtZero({file[1], file[2], file[3]});
    d.dateText = formatDateText(std::span<const std::uint8_t, 7>(file.data() + dateAt, 7));
    return d;
}

Result<PackageDetails> readPackageDetails(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return makeError(isRegularFile(path) ? ErrorCode::FileUnreadable : ErrorCode::FileMissing,
                         path.string() + ": cannot be opened");
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 15) {
        return makeError(ErrorCode::FileTooShort,
                         path.string() + ": read past the end of the file at offset " +
                             std::to_string(size < 0 ? 0 : size) + " (at least 15 bytes needed)");
    }
    // Only the header and the seven date bytes are read, whatever the package's size.
    std::vector<std::uint8_t> bytes(16, 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), 8);
    const std::streamoff dateAt = size >= 16 ? size - 8 : 8;
    in.seekg(dateAt);
    in.read(reinterpret_cast<char*>(bytes.data() + 8), 7);
    if (!in) {
        return makeError(ErrorCode::FileUnreadable,
                         path.string() + ": read failed near offset " + std::to_string(dateAt));
    }
    // Bytes 0..7 header, 8..14 the date: the same layout as a 15-byte file.
    return packageDetails(std::span<const std::uint8_t>(bytes.data(), 15));
}

Result<void> checkPackage(const std::filesystem::path& path, std::uint64_t size,
                          std::uint8_t lastByte) {
    if (size <= kPackageOverhead) {
        return makeError(ErrorCode::FileTooShort,
                         path.string() + ": " + std::to_string(size) +
                             " bytes, too short for a package (header, image, trailer)");
    }
    if (size > kMaxImageSize + kPackageOverhead) {
        return makeError(ErrorCode::FileTooLarge, path.string() + ": " + std::to_string(size) +
                                                      " bytes, more than a package can hold");
    }
    // A copy still being written or cut short ends anywhere but at the trailer's mark.
    if (lastByte != kEndMark) {
        return makeError(ErrorCode::FileTooShort,
                         path.string() + ": does not end with the package's end mark 0xAA "
                                         "(cut short, or still being written)");
    }
    return {};
}

Result<SequentialFile> openPackage(const std::filesystem::path& path) {
    auto file = SequentialFile::open(path);
    if (!file) {
        return file.error();
    }
    // The size now; the end mark once the file has been read to it.
    if (auto sound = checkPackage(path, file->size(), kEndMark); !sound) {
        return sound.error();
    }
    return file;
}

namespace {

constexpr std::size_t kChunk = 1u << 20; // what a streaming read takes at a time

// Streams the body of package (at the start of the body, n bytes) through the nibble swap,
// handing each piece as read and as swapped to `take`. False when a read comes up short.
template <class Take>
Result<void> streamBody(SequentialFile& file, const std::filesystem::path& path, std::uint64_t n,
                        std::stop_token stop, Take&& take) {
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, n)));
    std::vector<std::uint8_t> swapped(raw.size());
    for (std::uint64_t done = 0; done < n;) {
        if (stop.stop_requested()) {
            return makeError(ErrorCode::Stopped, "stopped");
        }
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, n - done));
        if (file.read({raw.data(), want}) != want) {
            return makeError(ErrorCode::FileUnreadable, path.string() + ": read failed at offset " +
                                                            std::to_string(kHeaderSize + done));
        }
        nibbleSwap(raw.data(), swapped.data(), want);
        if (auto r = take(std::span<const std::uint8_t>(raw.data(), want),
                          std::span<const std::uint8_t>(swapped.data(), want));
            !r) {
            return r;
        }
        done += want;
    }
    return {};
}

Error readFailed(const std::filesystem::path& path, const char* what) {
    return makeError(ErrorCode::FileUnreadable, path.string() + ": " + what);
}

} // namespace

Result<PackageInfo> inspectPackage(const std::filesystem::path& path) {
    auto file = SequentialFile::open(path);
    if (!file) {
        return file.error();
    }
    const std::uint64_t size = file->size();
    if (size < kPackageOverhead) {
        return makeError(ErrorCode::FileTooShort,
                         path.string() + ": " + std::to_string(size) +
                             " bytes, not even a package's header and trailer (a package "
                             "holds at least 17)");
    }
    PackageInfo info;
    info.fileSize = size;
    info.imageSize = size - kPackageOverhead;
    Sha256 whole, image;
    if (file->read(info.header) != kHeaderSize) {
        return readFailed(path, "the header cannot be read");
    }
    whole.update(info.header);
    auto body = streamBody(*file, path, info.imageSize, {},
                           [&](std::span<const std::uint8_t> raw,
                               std::span<const std::uint8_t> swapped) -> Result<void> {
                               whole.update(raw);
                               image.update(swapped);
                               return {};
                           });
    if (!body) {
        return body.error();
    }
    if (file->read(info.trailer) != kTrailerSize || !file->unchanged()) {
        return readFailed(path, "changed while it was read (or the read failed); try again");
    }
    whole.update(info.trailer);
    std::array<std::uint8_t, kHeaderSize + kTrailerSize> ends{};
    std::copy(info.header.begin(), info.header.end(), ends.begin());
    std::copy(info.trailer.begin(), info.trailer.end(), ends.begin() + kHeaderSize);
    info.details = packageDetails(ends);
    info.endMarkOk = info.trailer[7] == kEndMark;
    info.imageSha256 = image.finishHex();
    info.packageSha256 = whole.finishHex();
    if (auto sound = checkPackage(path, size, info.trailer[7]); !sound) {
        info.problem = sound.error();
    }
    return info;
}

Result<std::uint64_t> unpackPackage(const std::filesystem::path& package,
                                    const std::filesystem::path& output, std::stop_token stop) {
    if (sameFile(package, output)) {
        return makeError(ErrorCode::Usage, output.string() +
                                               ": is the package itself; the image would "
                                               "replace it");
    }
    auto file = openPackage(package);
    if (!file) {
        return file.error();
    }
    const std::uint64_t size = file->size();
    Header header{};
    if (file->read(header) != kHeaderSize) {
        return readFailed(package, "the header cannot be read");
    }
    auto out = ReplacingFile::create(output);
    if (!out) {
        return out.error();
    }
    const std::uint64_t n = size - kPackageOverhead;
    auto body =
        streamBody(*file, package, n, stop,
                   [&](std::span<const std::uint8_t>, std::span<const std::uint8_t> swapped) {
                       return out->write(swapped);
                   });
    if (!body) {
        return body.error();
    }
    Trailer trailer{};
    if (file->read(trailer) != kTrailerSize || !file->unchanged()) {
        return readFailed(package, "changed while it was read (or the read failed); try again");
    }
    if (auto sound = checkPackage(package, size, trailer[7]); !sound) {
        return sound.error(); // nothing of it reaches the output
    }
    if (auto committed = out->commit(); !committed) {
        return committed.error();
    }
    return n;
}

} // namespace cpuconfig
