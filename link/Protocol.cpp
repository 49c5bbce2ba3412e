#include "link/Protocol.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace cpuconfig::protocol {

std::uint32_t baudFromText(const std::string& text) {
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec == std::errc{} && ptr == end && !text.empty() &&
        (value == 9600 || value == 28800 || value == 57600))
        return value;
    return 115200;
}

std::optional<long> screenFromText(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    long value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc{} || ptr != digits.data() + digits.size())
        return std::nullopt;
    return negative ? -value : value;
}

std::optional<AddressFrame> addressFrame(long screen) {
    if (screen < kFirstScreen || screen > kLastScreen)
        return std::nullopt;
    const auto address = static_cast<std::uint8_t>(screen);
    return AddressFrame{address, address};
}

bool isAcknowledge(std::span<const std::uint8_t> read) {
    return read.size() == 1 && read[0] == kAck; // 01 01 in one read is no acknowledge
}

bool isAnswer(std::span<const std::uint8_t> buffer) {
    return !buffer.empty() && buffer[0] == kAck; // 01 00 is success
}

std::string modelText(std::span<const std::uint8_t> reply) {
    if (reply.size() <= kModelTextOffset)
        return {};
    const auto first = reply.begin() + kModelTextOffset;
    const auto end = first + static_cast<std::ptrdiff_t>(
                                 std::min(kModelTextSize, reply.size() - kModelTextOffset));
    const auto last = std::find(first, end, std::uint8_t{0});
    return std::string(first, last);
}

std::uint64_t transferLength(std::uint64_t packageSize) {
    return packageSize - kHeaderSize;
}

HeaderCommand headerCommand(std::uint8_t ackByte, std::uint64_t length, const Header& header) {
    HeaderCommand command{};
    command[0] = ackByte;
    command[1] = kUpgradeCommand;
    command[2] = 0x00;
    for (int i = 0; i < 4; ++i)
        command[3 + i] = static_cast<std::uint8_t>(length >> (8 * i)); // L, LSB first
    std::copy(header.begin(), header.end(), command.begin() + 7);
    return command;
}

std::uint64_t announcedLength(std::span<const std::uint8_t> command) {
    std::uint64_t length = 0;
    for (int i = 0; i < 4 && 3u + i < command.size(); ++i)
        length |= std::uint64_t{command[3 + i]} << (8 * i);
    return length;
}

QueryFrame queryFrame(std::uint8_t ackByte) {
    return {ackByte, kQueryCommand, 0x01, 0x00, kQueryEnd};
}

std::vector<std::uint8_t> queryReply(std::uint8_t screen, const std::string& model) {
    std::vector<std::uint8_t> reply(kModelTextOffset + kModelTextSize, 0x00);
    reply[0] = kAck;
    reply[1] = screen;
    const std::string text = model.substr(0, kModelTextSize);
    std::copy(text.begin(), text.end(), reply.begin() + kModelTextOffset);
    return reply;
}

Clock::Ms pauseAfter(std::uint8_t model, std::uint8_t cardVersion, std::uint64_t sent) {
    const bool longPause =
        ((model == 'N' || model == 'n') && cardVersion != 0x03) || model == 'L' || model == 'l';
    if (longPause && sent % 0x20000 == 0)
        return Clock::Ms(3000);
    if ((model == 'T' || model == 't') && sent % 0x1000 == 0)
        return Clock::Ms(100);
    return Clock::Ms(0);
}

} // namespace cpuconfig::protocol
