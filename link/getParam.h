// The card configuration query: asks the card for its model text.
#pragma once

#include "link/Selection.h"
#include "link/Upgrade.h"

#include <stop_token>

namespace cpuconfig {

// The query worker's routine. Reports status texts and the card's model bytes through
// reporter. Returns 0 when the run reached its final result text, 1 when a set-up step
// failed ("发送失败").
int getParam(QueryReporter& reporter, const SelectionProvider& selection, std::stop_token stop,
             const LinkOptions& options = {});

} // namespace cpuconfig
