#include "link/Upgrade.h"

#include "link/Exchange.h"

#include <cstdio>

namespace cpuconfig {
using namespace protocol;

void runUpgrade(MainWindowLink& window, const SelectionProvider& selection, std::stop_token stop,
                const UpgradeOptions& options) {
    auto log = [&](const std::string& line) {
        if (options.log)
            options.log(line);
    };
    auto packageFault = [&](const Error& e) {
        if (options.packageFault)
            options.packageFault(e);
        else
            log(e.message);
    };
    window.send(WM_CPU_PROGRESS, 0, kProgressVisible);
    // Taken and checked before the port is touched: a package that is missing, no file, cut
    // short or without its end mark is refused as missing, and the card hears nothing.
    std::shared_ptr<const PackageSnapshot> package = options.snapshot;
    if (!package) {
        auto taken = PackageSnapshot::take(options.package);
        if (!taken) {
            packageFault(taken.error());
            window.send(WM_CPU_NO_FILE, 0, 0);
            return;
        }
        package = *taken;
    }

    Exchange exchange(selection, options, stop);
    switch (exchange.open()) {
    case Exchange::Opening::SetupFailed:
        window.send(WM_CPU_SEND_FAILED, 0, 0);
        return;
    case Exchange::Opening::Stopped:
        return;
    case Exchange::Opening::NoAcknowledge:
        window.send(WM_CPU_SEND_FAILED, 0, 0);
        exchange.close();
        window.send(WM_CPU_RESULT, 1, 0);
        return;
    case Exchange::Opening::Acknowledged:
        break;
    }
    const std::uint8_t ackByte = exchange.buffer()[0];

    auto failAndRelease = [&](const std::string& why) {
        log(why);
        window.send(WM_CPU_SEND_FAILED, 0, 0);
        exchange.close();
    };
    // The transfer comes from the snapshot: the file itself may have changed since.
    const std::uint64_t size = package->size();
    const Header header = package->header();
    const std::uint64_t length = transferLength(size);
    const HeaderCommand command = headerCommand(ackByte, length, header);

    if (!exchange.enterDataPhase())
        return failAndRelease("data-phase line settings refused");

    window.send(WM_CPU_PROGRESS, 1, kProgressVisible);
    window.send(WM_CPU_PROGRESS, 0, kProgressMinimum);
    window.send(WM_CPU_PROGRESS, static_cast<std::uintptr_t>(size + 7), kProgressMaximum);

    // Ends a transfer that cannot go on: the device is gone or the package cannot be read.
    // The card got part of a firmware at best, so this is never a success.
    auto abandon = [&] {
        window.send(WM_CPU_SEND_FAILED, 0, 0);
        exchange.close();
        window.send(WM_CPU_RESULT, 1, 0);
    };
    if (auto r = exchange.write(command); !r) {
        if (r.error().code == ErrorCode::Stopped)
            return exchange.close();
        return abandon();
    }
    std::uint64_t sent = 0;
    std::uint64_t position = kHeaderCommandSize;
    window.send(WM_CPU_PROGRESS, static_cast<std::uintptr_t>(position), kProgressPosition);

    const std::uint8_t model = header[kModelOffset];
    const std::uint8_t cardVersion = header[kCardVersionOffset];
    std::array<std::uint8_t, kBlockSize> block{};
    while (sent < length) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, length - sent));
        const std::size_t got = package->read(kHeaderSize + sent, std::span(block.data(), want));
        if (got != want) {
            // Only a private copy on a failing disk gets here: the card never gets the rest.
            packageFault(
                makeError(ErrorCode::FileUnreadable,
                          options.package.string() + ": its copy could not be read after " +
                              std::to_string(sent) + " of " + std::to_string(length) + " bytes"));
            return abandon();
        }
        if (sent + got == length) {
            // The card can only answer the transfer once it has its last byte: anything it
            // said before (an echo, line noise, a late second acknowledge) is no answer,
            // and a stray 01 among it would pass for a confirmation.
            [[maybe_unused]] auto purged = exchange.port().purgeInput();
        }
        if (auto r = exchange.write(std::span(block.data(), got)); !r) {
            if (r.error().code == ErrorCode::Stopped)
                return exchange.close();
            return abandon();
        }
        sent += got;
        position += got;
        window.post(WM_CPU_PROGRESS, static_cast<std::uintptr_t>(position), kProgressPosition);
        if (sent == length)
            break;
        if (const auto pause = pauseAfter(model, cardVersion, sent); pause.count() > 0) {
            if (!exchange.clock().sleepFor(pause, stop))
                return exchange.close();
        }
    }

    [[maybe_unused]] auto cleared = exchange.port().clearErrors();
    if (auto r = exchange.port().armReceiveWait(); !r)
        return failAndRelease(r.error().message);
    const auto answer =
        exchange.receive([](std::span<const std::uint8_t> b, std::size_t) { return isAnswer(b); });
    switch (answer) {
    case Exchange::Answer::Stopped:
        return exchange.close();
    case Exchange::Answer::RearmRefused:
        return failAndRelease(exchange.lastError().message);
    case Exchange::Answer::None:
        log("the card did not confirm the transfer: " + exchange.unanswered("01"));
        break;
    case Exchange::Answer::Passed:
        break;
    }
    exchange.close();
    window.send(WM_CPU_RESULT, answer == Exchange::Answer::Passed ? 0 : 1, 0);
}

} // namespace cpuconfig
