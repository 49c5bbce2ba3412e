// One card query as query and scan ask it: how it ended, and why it did not answer in plain
// words.
#pragma once

#include "cli/CardOptions.h"
#include "cli/Console.h"
#include "link/LinkOptions.h"
#include "link/Outcome.h"

#include <chrono>
#include <stop_token>
#include <string>

namespace cpuconfig::cli {

struct QueryAnswer {
    Outcome outcome;
    // Why it did not answer: the port's fault in plain words, or what the card said instead.
    std::string why;
    bool told = false; // --verbose has printed those very words already
};

QueryAnswer queryCard(const CardOptions& o, Console& console, int screen, std::stop_token stop,
                      std::chrono::milliseconds ackWait = LinkOptions{}.ackWait);

int queryExit(const QueryAnswer& r, bool stopped);

} // namespace cpuconfig::cli
