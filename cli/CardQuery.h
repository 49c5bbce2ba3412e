// One card query as query and scan ask it: the card's model, the system's texts, and why it
// did not answer.
#pragma once

#include "cli/CardOptions.h"
#include "cli/Console.h"
#include "link/Upgrade.h"

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace cpuconfig::cli {

struct QueryAnswer {
    int result = 0;                    // 0: the run reached its result text; 1: set-up failed
    std::vector<std::string> statuses; // the system's texts, in order
    std::optional<std::string> model;  // the model bytes, when the card answered
    // Why it did not answer: the port's fault in plain words, or what the card said instead.
    std::string why;
    bool told = false; // --verbose has printed those very words already
};

QueryAnswer queryCard(const CardOptions& o, Console& console, int screen, std::stop_token stop,
                      std::chrono::milliseconds ackWait = LinkOptions{}.ackWait);

int queryExit(const QueryAnswer& r, bool stopped);

} // namespace cpuconfig::cli
