#include "common/Clock.h"

#include <algorithm>
#include <thread>

namespace cpuconfig {
namespace {

// How often a sleep looks at the stop token. Short naps rather than a condition variable
// woken through std::stop_callback: with MinGW's libstdc++ a callback that runs on the
// stopping thread while the sleeper leaves its wait can block the sleeper for good.
constexpr Clock::Ms kStopPoll{10};

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }

    bool sleepFor(Ms d, std::stop_token stop) override {
        const TimePoint deadline = now() + d;
        while (!stop.stop_requested()) {
            const auto left = deadline - now();
            if (left <= TimePoint::duration::zero()) {
                return true;
            }
            std::this_thread::sleep_for(std::min<TimePoint::duration>(left, kStopPoll));
        }
        return false;
    }
};

} // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

} // namespace cpuconfig
