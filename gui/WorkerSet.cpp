#include "gui/WorkerSet.h"

#include <algorithm>

namespace cpuconfig {

Worker::Worker(Routine routine) {
    m_thread = std::jthread([state = m_state, routine = std::move(routine)](std::stop_token stop) {
        routine(stop);
        {
            std::lock_guard lock(state->mutex);
            state->done = true;
        }
        state->cv.notify_all();
    });
}

Worker::~Worker() {
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

bool Worker::finished() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->done;
}

bool Worker::waitFinished(Deadline deadline) const {
    std::unique_lock lock(m_state->mutex);
    return m_state->cv.wait_until(lock, deadline, [this] { return m_state->done; });
}

void Worker::detach() {
    if (m_thread.joinable())
        m_thread.detach();
}

WorkerSet::~WorkerSet() {
    stopAll(std::chrono::steady_clock::now() + kShutdownBudget);
}

WorkerHandle WorkerSet::start(Worker::Routine routine) {
    reap();
    auto worker = std::make_shared<Worker>(std::move(routine));
    m_workers.push_back(worker);
    return worker;
}

std::size_t WorkerSet::running() const {
    return static_cast<std::size_t>(std::count_if(
        m_workers.begin(), m_workers.end(), [](const WorkerHandle& w) { return !w->finished(); }));
}

void WorkerSet::requestStopAll() {
    for (const WorkerHandle& w : m_workers)
        w->requestStop();
}

bool WorkerSet::stopAll(Worker::Deadline deadline) {
    requestStopAll();
    bool allEnded = true;
    for (const WorkerHandle& w : m_workers) {
        if (!w->waitFinished(deadline)) {
            w->detach();
            allEnded = false;
        }
    }
    m_workers.clear(); // joins the finished ones
    return allEnded;
}

void WorkerSet::reap() {
    std::erase_if(m_workers, [](const WorkerHandle& w) { return w->finished(); });
}

} // namespace cpuconfig
