// The CPU package RQ_CPU.cpu: an 8-byte header, the body (the raw image with the two
// nibbles of every byte exchanged) and an 8-byte trailer (BCD date and time, weekday,
// end mark 0xAA). n + 16 bytes for an n-byte image; no length field, no checksum.
#pragma once

#include "common/FileIo.h"
#include "common/Result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace cpuconfig {

inline constexpr const char* kPackageFileName = "RQ_CPU.cpu";
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kTrailerSize = 8;
inline constexpr std::size_t kPackageOverhead = kHeaderSize + kTrailerSize;
inline constexpr std::uint8_t kEndMark = 0xAA; // last trailer byte
// The image size is a 32-bit signed count; images of 2 GiB or more are refused.
inline constexpr std::uint64_t kMaxImageSize = 0x7FFFFFFF;

using Header = std::array<std::uint8_t, kHeaderSize>;
using Trailer = std::array<std::uint8_t, kTrailerSize>;

// Header offsets.
inline constexpr std::size_t kModelOffset = 0;       // model letter, 0 when empty
inline constexpr std::size_t kCpuVersionOffset = 1;  // three characters, zero padded
inline constexpr std::size_t kCardVersionOffset = 7; // card version character, 0 when empty

// The three texts typed by service staff.
struct PackageTexts {
    std::string model = "N";
    std::string cardVersion = "2";
    std::string cpuVersion = "1.7";
};

// Header from the texts: the model's character, the CPU version's up to three (zero padded),
// the card version's character; an empty text gives zero bytes. A text that does not fit
// its bytes is refused (BadText) rather than cut: more characters than its field holds, or
// a character outside ASCII (one of GBK or UTF-8 takes two bytes or more and would be
// written in part).
Result<Header> makeHeader(const PackageTexts& texts);

// A broken-down local date and time as the trailer records it.
struct DateTime {
    int year = 2000; // full year
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59
    int weekday = 1; // 1 = Monday ... 7 = Sunday
};

std::uint8_t toBcd(int value); // two decimal digits packed; value 0..99
int fromBcd(std::uint8_t bcd); // the inverse for valid BCD
// Weekday 1 = Monday ... 7 = Sunday of a civil date, independent of any locale.
int weekdayOf(int year, int month, int day);
// DateTime of seconds since the epoch in the process's local time zone.
DateTime localDateTime(std::int64_t secondsSinceEpoch);
// The local time now, or SOURCE_DATE_EPOCH (shown in local time) when it is set to a
// number, so that packages can be rebuilt byte for byte.
Result<DateTime> buildTime(); // Usage error when SOURCE_DATE_EPOCH is not a number

// seconds, minutes, hours, day, month, weekday, year (BCD, last two digits), 0xAA.
Trailer makeTrailer(const DateTime& when);

// Exchanges the high and low four bits of every byte: out[i] = swap(in[i]). in and out may
// be the same buffer. Its own inverse.
void nibbleSwap(const std::uint8_t* in, std::uint8_t* out, std::size_t n);
inline std::uint8_t nibbleSwap(std::uint8_t b) {
    return static_cast<std::uint8_t>((b << 4) | (b >> 4));
}

// "20%X年%X月%X日%X时%X分%X秒" from the seven date bytes t0..t6 (seconds first, weekday t5
// unused): upper-case hex without leading zeros, so BCD reads as decimal and 0x3C as "3C".
std::string formatDateText(std::span<const std::uint8_t, 7> t);

// What the configuration panel shows of a package. Texts are the bytes as they stand in
// the file, each cut at its first zero byte (front ends decode them as GBK).
struct PackageDetails {
    std::string model;      // byte 0, then byte 7
    std::string cpuVersion; // bytes 1..3
    std::string dateText;   // formatDateText of the seven date bytes
};

// The panel's reading rule: header from offset 0; the seven date bytes from offset N - 8
// when the file holds N >= 16 bytes, else from offset 8. Fewer than 15 bytes is a read
// error (FileTooShort, with the offset in the message).
Result<PackageDetails> readPackageDetails(const std::filesystem::path& path);
PackageDetails packageDetails(std::span<const std::uint8_t> file); // file.size() >= 15

// The rules a package must meet before any of it goes to a card: more bytes than header and
// trailer (the writer never makes less than 17), no more than a package can count, and the
// end mark last. A copy cut short or still being written breaks them. FileTooShort (or
// FileTooLarge) with the reason, naming the file.
Result<void> checkPackage(const std::filesystem::path& path, std::uint64_t size,
                          std::uint8_t lastByte);
// Opens a package for reading, refused at once when its size breaks the rules (the end mark
// is checked by whoever reads the file to its end). The errors of SequentialFile::open and
// checkPackage.
Result<SequentialFile> openPackage(const std::filesystem::path& path);

// Everything cpuctl info reports.
struct PackageInfo {
    Header header{};
    Trailer trailer{};
    std::uint64_t fileSize = 0;
    std::uint64_t imageSize = 0; // fileSize - 16
    PackageDetails details;
    bool endMarkOk = false;       // trailer byte 7 == 0xAA
    std::string imageSha256;      // hex digest of the recovered image
    std::string packageSha256;    // hex digest of the whole file, as the station logs it
    std::optional<Error> problem; // why checkPackage refuses it; nothing for a sound package
};

// Reads a package as it streams by (any size, little memory). A file that holds header and
// trailer is described even when it breaks the package rules (problem says how); a shorter
// one is FileTooShort.
Result<PackageInfo> inspectPackage(const std::filesystem::path& path);

// Writes the raw image of a package (the body with the nibble swap undone) to output,
// streaming, through a ReplacingFile: output is replaced only by a whole image of a sound
// package. Usage when output is the package itself (also through a link); the errors of
// checkPackage (nothing written); Stopped. Returns the image's size.
Result<std::uint64_t> unpackPackage(const std::filesystem::path& package,
                                    const std::filesystem::path& output, std::stop_token stop = {});

} // namespace cpuconfig
