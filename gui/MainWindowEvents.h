// The main-window messages as Qt events, and the link through which an upgrade worker
// sends or posts them to the main window from its own thread.
#pragma once

#include "gui/MainWindowMessages.h"

#include <QEvent>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>

namespace cpuconfig {

// Lets a sender wait until the receiver is done with its event.
class SendCompletion {
public:
    void complete();
    // False when the stop came first; the event may then still be handled later.
    bool wait(std::stop_token stop);

private:
    std::mutex m_mutex;
    std::condition_variable_any m_cv;
    bool m_done = false;
};

// The newest of a stream of posted values. A fast line posts a position every 128 bytes;
// the window only needs the newest, so at most one such event waits in the queue and it
// carries whatever arrived last by the time it is handled.
class CoalescedValue {
public:
    // True when the caller must post an event: none is waiting to carry the value.
    bool store(std::uintptr_t value);
    // Called by the handler: the newest value, and the next store posts again.
    std::uintptr_t take();

private:
    std::atomic<std::uintptr_t> m_value{0};
    std::atomic<bool> m_pending{false};
};

// WM_CPU_* with its two parameters. The event type is the message number itself.
class CpuMessageEvent final : public QEvent {
public:
    CpuMessageEvent(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                    std::shared_ptr<SendCompletion> completion = {});
    // A posted value read only when the event is handled.
    CpuMessageEvent(unsigned message, std::shared_ptr<CoalescedValue> value, std::intptr_t lParam);
    // Completes a waiting send even when the event is dropped unhandled (receiver gone).
    ~CpuMessageEvent() override;

    unsigned message() const { return static_cast<unsigned>(type()); }
    // For a coalesced event: the newest value, taken once.
    std::uintptr_t wParam() const { return m_value ? m_value->take() : m_wParam; }
    std::intptr_t lParam() const { return m_lParam; }

private:
    std::uintptr_t m_wParam;
    std::intptr_t m_lParam;
    std::shared_ptr<SendCompletion> m_completion;
    std::shared_ptr<CoalescedValue> m_value;
};

bool isCpuMessage(QEvent::Type type);
// Registers the message numbers with Qt so that no other part of the program takes them.
void registerCpuMessages();

// The receiver of a window's messages, shared with the workers. Closed when the window goes
// away, after which events are dropped instead of being delivered to a dead object.
class MessageTarget {
public:
    explicit MessageTarget(QObject* receiver) : m_receiver(receiver) {}
    void close();
    // Takes ownership of the event; false when the target is closed.
    bool post(QEvent* event);
    bool onReceiverThread() const;

private:
    mutable std::mutex m_mutex;
    QObject* m_receiver;
};

// MainWindowLink for one upgrade worker. send() waits for the main window's handler, but
// gives up when the worker is asked to stop: at shutdown the GUI thread waits for the
// worker and cannot handle the message, and neither must wait for the other.
class EventLink final : public MainWindowLink {
public:
    EventLink(std::shared_ptr<MessageTarget> target, std::stop_token stop)
        : m_target(std::move(target)), m_stop(std::move(stop)) {}
    void send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    std::shared_ptr<MessageTarget> m_target;
    std::stop_token m_stop;
    std::shared_ptr<CoalescedValue> m_position = std::make_shared<CoalescedValue>();
};

} // namespace cpuconfig
