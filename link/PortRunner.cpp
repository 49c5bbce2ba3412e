#include "link/PortRunner.h"

namespace cpuconfig {

namespace {
// How often the outer stop token is looked at. Polled rather than chained with a
// std::stop_callback, which MinGW's libstdc++ can deadlock on when the callback runs while
// its owner goes away.
constexpr std::chrono::milliseconds kStopPoll{10};
} // namespace

PortRunner::~PortRunner() {
    requestStop();
    wait();
}

void PortRunner::start(std::size_t count, Work work, std::stop_token outer) {
    m_work = std::move(work);
    m_running = count;
    for (std::size_t i = 0; i < count; ++i) {
        m_workers.emplace_back([this, i, token = m_stop.get_token()] {
            m_work(i, token);
            std::lock_guard lock(m_mutex);
            if (--m_running == 0)
                m_done.notify_all();
        });
    }
    if (outer.stop_possible()) {
        m_watcher = std::thread([this, outer] {
            for (;;) {
                {
                    std::unique_lock lock(m_mutex);
                    if (m_running == 0)
                        return;
                    if (!outer.stop_requested()) {
                        m_done.wait_for(lock, kStopPoll);
                        continue;
                    }
                }
                m_stop.request_stop(); // outside the lock: it runs the workers' callbacks
                return;
            }
        });
    }
}

void PortRunner::requestStop() {
    m_stop.request_stop();
}

bool PortRunner::finished() const {
    return m_running == 0;
}

void PortRunner::wait() {
    for (auto& w : m_workers)
        if (w.joinable())
            w.join();
    if (m_watcher.joinable())
        m_watcher.join();
}

} // namespace cpuconfig
