// Time for the engine: pacing pauses and reply timeouts run on this, so tests can drive
// them on fake time and shutdown can end any pause at once through the stop token.
#pragma once

#include <chrono>
#include <stop_token>

namespace cpuconfig {

class Clock {
public:
    using Ms = std::chrono::milliseconds;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    // Sleeps for d, or less when a stop is requested. Returns false when stopped.
    virtual bool sleepFor(Ms d, std::stop_token stop) = 0;
};

// The real steady clock; the sleep wakes on a stop request.
Clock& systemClock();

} // namespace cpuconfig
