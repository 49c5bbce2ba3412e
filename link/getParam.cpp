#include "link/getParam.h"

#include "link/Exchange.h"

namespace cpuconfig {

using namespace protocol;

Outcome getParam(const SelectionProvider& selection, std::stop_token stop,
                 const LinkOptions& options) {
    Outcome outcome;
    outcome.operation = Operation::Query;
    outcome.stage = Stage::Opening;
    Exchange exchange(selection, options, stop, outcome);
    auto release = [&](CardEnd end) {
        exchange.close();
        outcome.end = end;
        return outcome;
    };
    switch (exchange.open()) {
    case Exchange::Opening::SetupFailed:
        outcome.end = CardEnd::PortFailed;
        return outcome;
    case Exchange::Opening::Stopped:
        outcome.end = CardEnd::Stopped;
        return outcome;
    case Exchange::Opening::NoAcknowledge:
        return release(CardEnd::NotConfirmed);
    case Exchange::Opening::Acknowledged:
        break;
    }
    outcome.stage = Stage::Transfer;

    const QueryFrame frame = queryFrame(exchange.buffer()[0]);
    if (!exchange.enterDataPhase())
        return release(CardEnd::PortFailed);
    if (auto r = exchange.write(frame); !r && r.error().code == ErrorCode::Stopped)
        return release(CardEnd::Stopped);
    // A write that failed otherwise shows as the missing reply.

    outcome.stage = Stage::Answer;
    if (!exchange.port().expect(Awaiting::Reply))
        return release(CardEnd::PortFailed);

    switch (exchange.receive(
        [](std::span<const std::uint8_t> b, std::size_t) { return isAnswer(b); }, kReplyReadWait)) {
    case Exchange::Answer::Stopped:
        return release(CardEnd::Stopped);
    case Exchange::Answer::RearmRefused:
        return release(CardEnd::PortFailed);
    case Exchange::Answer::Passed:
        // The whole buffer counts, including what earlier reads of this run left in it.
        outcome.model = modelText(exchange.buffer());
        return release(CardEnd::Confirmed);
    case Exchange::Answer::None:
        exchange.note("no reply to the query: " + exchange.unanswered("a reply beginning with 01"));
        break;
    }
    return release(CardEnd::NotConfirmed);
}

} // namespace cpuconfig
