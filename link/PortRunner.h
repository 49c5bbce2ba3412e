// One worker per port, all at the same time: the production line's several adapters, each
// with its own card. The runner knows nothing of what a worker does; the parallel upgrade
// (link/ParallelUpgrade.h) and any other per-port loop are built on it.
//
// Thread-safety: start(), requestStop(), wait() and the destructor belong to the thread
// that owns the runner; requestStop() and finished() may also be called from any other
// thread. Each worker gets only its index and the stop token: whatever it touches must be
// its own (its port, its reporter, its slot of a result array), so workers share nothing
// mutable through the runner.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace cpuconfig {

class PortRunner {
public:
    using Work = std::function<void(std::size_t index, std::stop_token stop)>;

    PortRunner() = default;
    ~PortRunner(); // requests a stop and waits for every worker
    PortRunner(const PortRunner&) = delete;
    PortRunner& operator=(const PortRunner&) = delete;

    // Starts count workers at once, worker i running work(i, token). The token is stopped
    // by requestStop() and, within about 10 ms, by a stop of outer. Once per runner.
    void start(std::size_t count, Work work, std::stop_token outer = {});
    void requestStop();
    // True once every worker has returned.
    bool finished() const;
    // Returns when every worker has returned.
    void wait();

private:
    std::stop_source m_stop;
    Work m_work;
    std::atomic<std::size_t> m_running{0};
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::vector<std::thread> m_workers;
    std::thread m_watcher;
};

} // namespace cpuconfig
