// What an exchange with a card runs on besides the panel's selections.
#pragma once

#include "common/Clock.h"

#include <chrono>
#include <functional>
#include <string>

namespace cpuconfig {

class SerialPortFactory;

struct LinkOptions {
    Clock* clock = &systemClock();
    SerialPortFactory* ports = nullptr; // nullptr: the platform's serial backend
    // The longest one wait blocks on the port in real time; when nothing arrives within it,
    // the rest of the wait passes on the clock. Left at its default, waits are real; tests
    // on a fake clock set it short so that silence costs no real seconds.
    std::chrono::milliseconds realWaitCap = std::chrono::milliseconds::max();
    // The silence after the address frame that means no acknowledge: 2000 ms. A station
    // that keeps asking a port where a card may not be yet asks with a shorter one (a card
    // acknowledges within milliseconds), so that a card is found soon after it is there.
    std::chrono::milliseconds ackWait{2000};
    // Gets one line for each failed step, with the system's reason (for --verbose and logs),
    // on the worker's thread. The last one is also the outcome's lastWord.
    std::function<void(const std::string&)> log;
};

} // namespace cpuconfig
