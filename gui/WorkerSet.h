// Worker threads of the windows (upgrades, card queries). Every worker gets a stop token;
// the windows keep a handle so that shutdown can stop and join what is still running,
// with a deadline, instead of killing a thread that holds the port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace cpuconfig {

class SelectionProvider;

// What a window runs on a worker for the port, screen and baud rate chosen: an upgrade or a
// card query, reporting to its window through Reporter.
template <class Reporter>
using SelectionRoutine = std::function<void(Reporter&, const SelectionProvider&, std::stop_token)>;

class Worker {
public:
    using Routine = std::function<void(std::stop_token)>;
    using Deadline = std::chrono::steady_clock::time_point;

    explicit Worker(Routine routine);
    // Requests a stop and joins, unless the worker was given up by detach().
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void requestStop() { m_thread.request_stop(); }
    bool finished() const;
    // True once the routine has returned; false when the deadline passed first.
    bool waitFinished(Deadline deadline) const;
    // Lets a worker that overran its deadline end on its own; its state stays alive with it.
    void detach();

private:
    struct State {
        mutable std::mutex mutex;
        mutable std::condition_variable cv;
        bool done = false;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    std::jthread m_thread;
};

using WorkerHandle = std::shared_ptr<Worker>;

// All workers of one owner. Finished workers are dropped when the next one starts.
class WorkerSet {
public:
    WorkerSet() = default;
    ~WorkerSet();
    WorkerSet(const WorkerSet&) = delete;
    WorkerSet& operator=(const WorkerSet&) = delete;

    WorkerHandle start(Worker::Routine routine);
    std::size_t running() const;
    void requestStopAll();
    // Requests a stop of every worker and joins those that end before the deadline.
    // Returns false when one overran; it is detached so that closing never hangs.
    bool stopAll(Worker::Deadline deadline);

private:
    void reap();
    std::vector<WorkerHandle> m_workers;
};

// How long shutdown waits for the workers before it closes anyway.
inline constexpr std::chrono::milliseconds kShutdownBudget{2500};

} // namespace cpuconfig
