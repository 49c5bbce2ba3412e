#include "link/getParam.h"

#include "common/Texts.h"
#include "link/Exchange.h"

#include <algorithm>

namespace cpuconfig {
namespace {

inline constexpr std::uint8_t kQueryCommand = 0xCF; // configuration query
inline constexpr std::size_t kModelTextOffset = 3;
inline constexpr std::size_t kModelTextSize = 12;
inline constexpr std::chrono::milliseconds kReplyReadWait{100};

} // namespace

int getParam(QueryReporter& reporter, const SelectionProvider& selection, std::stop_token stop,
             const LinkOptions& options) {
    Exchange exchange(selection, options, stop);
    switch (exchange.open()) {
    case Exchange::Opening::SetupFailed:
        reporter.status(text::kSendFailed);
        return 1;
    case Exchange::Opening::Stopped:
        return 1;
    case Exchange::Opening::NoAcknowledge:
        reporter.status(text::kCommFailed);
        exchange.close();
        reporter.status(text::kQueryFailed);
        return 0;
    case Exchange::Opening::Acknowledged:
        break;
    }
    auto fail = [&] {
        reporter.status(text::kSendFailed);
        exchange.close();
        return 1;
    };

    const std::array<std::uint8_t, 5> frame{exchange.buffer()[0], kQueryCommand, 0x01, 0x00,
                                            0xAA}; // ack byte, command, 01 00, end mark
    if (!exchange.enterDataPhase())
        return fail();
    if (auto r = exchange.write(frame); !r && r.error().code == ErrorCode::Stopped) {
        exchange.close();
        return 1;
    }
    // A write that failed otherwise shows as the missing reply.

    [[maybe_unused]] auto cleared = exchange.port().clearErrors();
    if (!exchange.port().setTimeouts(kQueryReplyTimeouts))
        return fail();
    if (!exchange.port().armReceiveWait())
        return fail();

    const auto answer = exchange.receive(
        [](const std::uint8_t* b, std::size_t) { return b[0] == kAck; }, kReplyReadWait);
    switch (answer) {
    case Exchange::Answer::Stopped:
        exchange.close();
        return 1;
    case Exchange::Answer::RearmRefused:
        return fail();
    case Exchange::Answer::Passed: {
        // The whole buffer counts, including what earlier reads of this run left in it.
        const auto& b = exchange.buffer();
        const auto first = b.begin() + kModelTextOffset;
        const auto last = std::find(first, first + kModelTextSize, std::uint8_t{0});
        reporter.cardModel(std::string(first, last));
        break;
    }
    case Exchange::Answer::None:
        if (options.log)
            options.log("no reply to the query: " +
                        exchange.unanswered("a reply beginning with 01"));
        break;
    }
    exchange.close();
    reporter.status(answer == Exchange::Answer::Passed ? text::kQueryOk : text::kQueryFailed);
    return 0;
}

} // namespace cpuconfig
