// The card's side of the line, in one place: how a card is addressed, the commands and
// their frames, what counts as an answer, and the pacing of a transfer. The upgrade, the
// query and anything that plays a card speak through it. The tests spell every frame out as
// literal bytes, so what is written here is checked by something that does not share it.
#pragma once

#include "common/Clock.h"
#include "package/PackageFormat.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cpuconfig::protocol {

inline constexpr std::uint8_t kAck = 0x01;            // the card's acknowledge and its "yes"
inline constexpr std::uint8_t kNak = 0x00;            // a card's refusal of a transfer
inline constexpr std::uint8_t kUpgradeCommand = 0xDE; // header command: the transfer follows
inline constexpr std::uint8_t kQueryCommand = 0xCF;   // configuration query
inline constexpr std::uint8_t kQueryEnd = 0xAA;       // last byte of the query frame

inline constexpr std::size_t kAddressFrameSize = 2;    // the screen number twice, mark parity
inline constexpr std::size_t kHeaderCommandSize = 15;  // ack, command, 00, length, header
inline constexpr std::size_t kQueryFrameSize = 5;      // ack, command, 01 00, end
inline constexpr std::size_t kBlockSize = 128;         // one write per block of the transfer
inline constexpr std::size_t kModelTextOffset = 3;     // where the query reply's model begins
inline constexpr std::size_t kModelTextSize = 12;      // its longest, cut at a zero byte
inline constexpr std::size_t kReceiveBufferSize = 100; // the longest answer read

inline constexpr std::chrono::milliseconds kReplyWait{2000};    // silence that ends a wait
inline constexpr std::chrono::milliseconds kReplyReadWait{100}; // a query reply's read

// The screen numbers the panel offers. A card is addressed by its number itself: a number
// outside them is refused, never cut to a byte that another card answers to.
inline constexpr int kFirstScreen = 1;
inline constexpr int kLastScreen = 80;

using AddressFrame = std::array<std::uint8_t, kAddressFrameSize>;
using HeaderCommand = std::array<std::uint8_t, kHeaderCommandSize>;
using QueryFrame = std::array<std::uint8_t, kQueryFrameSize>;

// 9600, 28800 or 57600 when the text is exactly that whole number, 115200 otherwise.
std::uint32_t baudFromText(const std::string& text);
// The screen number as a whole number (decimal digits only, optional sign); nullopt when
// the text is not one.
std::optional<long> screenFromText(const std::string& text);
// The address frame of a screen number, nullopt for a number the panel does not offer.
std::optional<AddressFrame> addressFrame(long screen);

// The acknowledge: one read that took exactly the byte 01 (01 01 in one read is none).
bool isAcknowledge(std::span<const std::uint8_t> read);
// The card's answer to a transfer or a query: its first byte is 01, whatever follows
// (01 00 confirms a transfer).
bool isAnswer(std::span<const std::uint8_t> buffer);
// The model text of a query reply: twelve bytes from offset 3, cut at the first zero.
std::string modelText(std::span<const std::uint8_t> reply);

// The transfer is everything after the package header.
std::uint64_t transferLength(std::uint64_t packageSize);
// The upgrade's first data: the acknowledge byte as received, the command, the transfer's
// length least significant byte first, and the package header.
HeaderCommand headerCommand(std::uint8_t ackByte, std::uint64_t length, const Header& header);
// The length a header command announces.
std::uint64_t announcedLength(std::span<const std::uint8_t> command);
// The query: the acknowledge byte as received, the command, 01 00, the end byte.
QueryFrame queryFrame(std::uint8_t ackByte);
// A card's reply to the query: 01, its screen, 00, the model in twelve bytes (zero padded).
std::vector<std::uint8_t> queryReply(std::uint8_t screen, const std::string& model);

// The pause after a block that is not the last, by the package's model letter and card
// version and the transfer bytes sent so far.
Clock::Ms pauseAfter(std::uint8_t model, std::uint8_t cardVersion, std::uint64_t sent);

} // namespace cpuconfig::protocol
