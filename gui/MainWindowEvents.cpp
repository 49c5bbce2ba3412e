#include "gui/MainWindowEvents.h"

#include "common/ThreadHandOff.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>

namespace cpuconfig {

namespace {
constexpr unsigned kMessages[] = {WM_CPU_PROGRESS, WM_CPU_SEND_FAILED, WM_CPU_NO_FILE,
                                  WM_CPU_RESULT, WM_CPU_START};
}

void SendCompletion::complete() {
    {
        std::lock_guard lock(m_mutex);
        m_done = true;
    }
    m_cv.notify_all();
}

bool SendCompletion::wait(std::stop_token stop) {
    // The stop wakes the wait at once. The slices only bound how long a wake-up lost by the
    // platform's condition variable could keep a worker from a stop at shutdown: a CI run
    // under Wine once saw a worker miss it for good.
    constexpr std::chrono::milliseconds kSlice{50};
    std::unique_lock lock(m_mutex);
    while (!m_done) {
        if (stop.stop_requested())
            return false;
        m_cv.wait_for(lock, stop, kSlice, [this] { return m_done; });
    }
    return true;
}

CpuMessageEvent::CpuMessageEvent(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                 std::shared_ptr<SendCompletion> completion)
    : QEvent(static_cast<QEvent::Type>(message)), m_wParam(wParam), m_lParam(lParam),
      m_completion(std::move(completion)) {}

CpuMessageEvent::CpuMessageEvent(unsigned message, std::shared_ptr<CoalescedValue> value,
                                 std::intptr_t lParam)
    : QEvent(static_cast<QEvent::Type>(message)), m_wParam(0), m_lParam(lParam),
      m_value(std::move(value)) {}

bool CoalescedValue::store(std::uintptr_t value) {
    m_value.store(value);
    return !m_pending.exchange(true);
}

std::uintptr_t CoalescedValue::take() {
    // Cleared before the read: a store racing with us either lands in this read or posts
    // a new event, never neither.
    m_pending.store(false);
    return m_value.load();
}

CpuMessageEvent::~CpuMessageEvent() {
    acceptHandOff(); // may be deleted by Qt without having been delivered
    if (m_completion)
        m_completion->complete();
}

bool isCpuMessage(QEvent::Type type) {
    for (unsigned m : kMessages)
        if (static_cast<unsigned>(type) == m)
            return true;
    return false;
}

void registerCpuMessages() {
    static const bool once = [] {
        for (unsigned m : kMessages)
            QEvent::registerEventType(static_cast<int>(m));
        return true;
    }();
    (void)once;
}

void MessageTarget::close() {
    std::lock_guard lock(m_mutex);
    m_receiver = nullptr;
}

bool MessageTarget::post(QEvent* event) {
    std::lock_guard lock(m_mutex);
    if (!m_receiver) {
        delete event;
        return false;
    }
    announceHandOff();
    QCoreApplication::postEvent(m_receiver, event);
    return true;
}

bool MessageTarget::onReceiverThread() const {
    std::lock_guard lock(m_mutex);
    return m_receiver && m_receiver->thread() == QThread::currentThread();
}

void EventLink::send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (m_target->onReceiverThread()) {
        // Waiting for our own thread would never end.
        post(message, wParam, lParam);
        return;
    }
    auto completion = std::make_shared<SendCompletion>();
    if (m_target->post(new CpuMessageEvent(message, wParam, lParam, completion)))
        completion->wait(m_stop);
}

void EventLink::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (message == WM_CPU_PROGRESS && lParam == kProgressPosition) {
        if (m_position->store(wParam))
            m_target->post(new CpuMessageEvent(message, m_position, lParam));
        return;
    }
    m_target->post(new CpuMessageEvent(message, wParam, lParam));
}

} // namespace cpuconfig
