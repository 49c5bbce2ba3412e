#include "package/PackageFormat.h"

#include "common/FileIo.h"
#include "common/Sha256.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

namespace cpuconfig {
namespace {

// The first character of text as one header byte: 0 when empty; refused when it is not
// ASCII (a GBK character takes two bytes and would be written in half).
Result<std::uint8_t> headerChar(std::string_view text, std::size_t index, const char* field) {
    if (index >= text.size()) {
        return std::uint8_t{0};
    }
    const auto c = static_cast<unsigned char>(text[index]);
    if (c >= 0x80) {
        return makeError(ErrorCode::BadText, std::string(field) + ": character " +
                                                 std::to_string(index + 1) +
                                                 " is not ASCII and does not fit one byte");
    }
    return std::uint8_t{c};
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
    Header h{};
    auto model = headerChar(texts.model, 0, "card model");
    if (!model) {
        return model.error();
    }
    h[kModelOffset] = *model;
    for (std::size_t i = 0; i < 3; ++i) {
        auto c = headerChar(texts.cpuVersion, i, "CPU version");
        if (!c) {
            return c.error();
        }
        h[kCpuVersionOffset + i] = *c;
        if (*c == 0) {
            break; // padded with zero bytes
        }
    }
    auto card = headerChar(texts.cardVersion, 0, "card version");
    if (!card) {
        return card.error();
    }
    h[kCardVersionOffset] = *card;
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

Result<PackageInfo> inspectPackage(const std::filesystem::path& path) {
    auto file = readWholeFile(path, kMaxImageSize + kPackageOverhead);
    if (!file) {
        return file.error();
    }
    const auto& bytes = *file;
    if (bytes.size() < kPackageOverhead + 1) {
        return makeError(ErrorCode::FileTooShort, path.string() + ": " +
                                                      std::to_string(bytes.size()) +
                                                      " bytes, a package holds at least 17");
    }
    PackageInfo info;
    std::copy_n(bytes.begin(), kHeaderSize, info.header.begin());
    std::copy_n(bytes.end() - kTrailerSize, kTrailerSize, info.trailer.begin());
    info.fileSize = bytes.size();
    info.imageSize = bytes.size() - kPackageOverhead;
    info.details = packageDetails(bytes);
    info.endMarkOk = info.trailer[7] == kEndMark;
    std::vector<std::uint8_t> image(bytes.begin() + kHeaderSize, bytes.end() - kTrailerSize);
    nibbleSwap(image.data(), image.data(), image.size());
    info.imageSha256 = sha256Hex(image);
    return info;
}

Result<std::vector<std::uint8_t>> recoverImage(const std::filesystem::path& path) {
    auto file = readWholeFile(path, kMaxImageSize + kPackageOverhead);
    if (!file) {
        return file.error();
    }
    auto& bytes = *file;
    if (bytes.size() < kPackageOverhead + 1) {
        return makeError(ErrorCode::FileTooShort, path.string() + ": " +
                                                      std::to_string(bytes.size()) +
                                                      " bytes, a package holds at least 17");
    }
    std::vector<std::uint8_t> image(bytes.begin() + kHeaderSize, bytes.end() - kTrailerSize);
    nibbleSwap(image.data(), image.data(), image.size());
    return image;
}

} // namespace cpuconfig
