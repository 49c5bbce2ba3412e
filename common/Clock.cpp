#include "common/Clock.h"

#include <condition_variable>
#include <mutex>

namespace cpuconfig {
namespace {

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }

    bool sleepFor(Ms d, std::stop_token stop) override {
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock lock(m);
        // wait_for with a stop token returns true only when the stop was requested.
        return !cv.wait_for(lock, stop, d, [] { return false; });
    }
};

} // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

} // namespace cpuconfig
