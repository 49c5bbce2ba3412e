// The card configuration query: asks the card for its model text.
#pragma once

#include "link/LinkOptions.h"
#include "link/Outcome.h"
#include "link/Selection.h"

#include <stop_token>

namespace cpuconfig {

// The query worker's routine. Confirmed with the card's model bytes when the card replied;
// NotConfirmed when it did not acknowledge (Stage::Acknowledge) or did not reply;
// PortFailed when a set-up step failed.
Outcome getParam(const SelectionProvider& selection, std::stop_token stop,
                 const LinkOptions& options = {});

} // namespace cpuconfig
