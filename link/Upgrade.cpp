#include "link/Upgrade.h"

#include "link/Exchange.h"

namespace cpuconfig {

using namespace protocol;

Outcome runUpgrade(const SelectionProvider& selection, std::stop_token stop,
                   const UpgradeOptions& options, UpgradeObserver* observer) {
    UpgradeObserver unobserved;
    UpgradeObserver& watch = observer ? *observer : unobserved;
    Outcome outcome;
    outcome.operation = Operation::Upgrade;
    auto ended = [&outcome](CardEnd end) {
        outcome.end = end;
        return outcome;
    };

    watch.begun();
    // Taken and checked before the port is touched: a package that is missing, no file, cut
    // short or without its end mark is refused, and the card hears nothing.
    std::shared_ptr<const PackageSnapshot> package = options.snapshot;
    if (!package) {
        auto taken = PackageSnapshot::take(options.package);
        if (!taken) {
            outcome.packageError = taken.error();
            return ended(CardEnd::NoPackage);
        }
        package = *taken;
    }

    Exchange exchange(selection, options, stop, outcome);
    switch (exchange.open()) {
    case Exchange::Opening::SetupFailed:
        return ended(CardEnd::PortFailed);
    case Exchange::Opening::Stopped:
        return ended(CardEnd::Stopped);
    case Exchange::Opening::NoAcknowledge:
        exchange.close();
        return ended(CardEnd::NotConfirmed);
    case Exchange::Opening::Acknowledged:
        break;
    }
    outcome.stage = Stage::Transfer;
    const std::uint8_t ackByte = exchange.buffer()[0];

    auto release = [&](CardEnd end) {
        exchange.close();
        return ended(end);
    };
    // The transfer comes from the snapshot: the file itself may have changed since.
    const std::uint64_t size = package->size();
    const Header header = package->header();
    const std::uint64_t length = transferLength(size);
    const HeaderCommand command = headerCommand(ackByte, length, header);

    if (!exchange.enterDataPhase()) {
        exchange.note("data-phase line settings refused");
        return release(CardEnd::PortFailed);
    }
    outcome.bytesTotal = length;
    watch.transferBegins(length);

    // A transfer that cannot go on (the device is gone) broke off: the card got part of a
    // firmware at best, so this is never a success.
    if (auto r = exchange.write(command); !r)
        return release(r.error().code == ErrorCode::Stopped ? CardEnd::Stopped
                                                            : CardEnd::NotConfirmed);
    std::uint64_t sent = 0;
    watch.progress(sent, length);

    const std::uint8_t model = header[kModelOffset];
    const std::uint8_t cardVersion = header[kCardVersionOffset];
    std::array<std::uint8_t, kBlockSize> block{};
    while (sent < length) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, length - sent));
        const std::size_t got = package->read(kHeaderSize + sent, std::span(block.data(), want));
        if (got != want) {
            // Only a private copy on a failing disk gets here: the card never gets the rest.
            outcome.packageError =
                makeError(ErrorCode::FileUnreadable,
                          options.package.string() + ": its copy could not be read after " +
                              std::to_string(sent) + " of " + std::to_string(length) + " bytes");
            return release(CardEnd::NoPackage);
        }
        if (sent + got == length) {
            // The card can only answer the transfer once it has its last byte: anything it
            // said before (an echo, line noise, a late second acknowledge) is no answer,
            // and a stray 01 among it would pass for a confirmation.
            [[maybe_unused]] auto purged = exchange.port().discardInput();
        }
        if (auto r = exchange.write(std::span(block.data(), got)); !r)
            return release(r.error().code == ErrorCode::Stopped ? CardEnd::Stopped
                                                                : CardEnd::NotConfirmed);
        sent += got;
        outcome.bytesSent = sent;
        watch.progress(sent, length);
        if (sent == length)
            break;
        if (const auto pause = pauseAfter(model, cardVersion, sent); pause.count() > 0) {
            if (!exchange.clock().sleepFor(pause, stop))
                return release(CardEnd::Stopped);
        }
    }

    outcome.stage = Stage::Answer;
    if (auto r = exchange.port().expect(Awaiting::Answer); !r) {
        exchange.note(r.error().message);
        return release(CardEnd::PortFailed);
    }
    switch (exchange.receive(
        [](std::span<const std::uint8_t> b, std::size_t) { return isAnswer(b); })) {
    case Exchange::Answer::Stopped:
        return release(CardEnd::Stopped);
    case Exchange::Answer::RearmRefused:
        exchange.note(exchange.lastError().message);
        return release(CardEnd::PortFailed);
    case Exchange::Answer::None:
        exchange.note("the card did not confirm the transfer: " + exchange.unanswered("01"));
        return release(CardEnd::NotConfirmed);
    case Exchange::Answer::Passed:
        break;
    }
    return release(CardEnd::Confirmed);
}

} // namespace cpuconfig
