#include "link/getParam.h"

#include "common/Texts.h"
#include "link/Exchange.h"

namespace cpuconfig {
using namespace protocol;

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

    const QueryFrame frame = queryFrame(exchange.buffer()[0]);
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
        [](std::span<const std::uint8_t> b, std::size_t) { return isAnswer(b); }, kReplyReadWait);
    switch (answer) {
    case Exchange::Answer::Stopped:
        exchange.close();
        return 1;
    case Exchange::Answer::RearmRefused:
        return fail();
    case Exchange::Answer::Passed: {
        // The whole buffer counts, including what earlier reads of this run left in it.
        reporter.cardModel(modelText(exchange.buffer()));
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
