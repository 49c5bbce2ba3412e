#include "gui/QueuedCall.h"

#include "common/ThreadHandOff.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

namespace cpuconfig {
namespace {

QEvent::Type callEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

class CallEvent final : public QEvent {
public:
    CallEvent(QObject* context, std::function<void()> call)
        : QEvent(callEventType()), m_context(context), m_call(std::move(call)) {}
    ~CallEvent() override {
        acceptHandOff(); // Qt may delete it undelivered, and it owns what the call captured
    }

    void run() {
        if (m_context) {
            m_call();
        }
    }

private:
    QPointer<QObject> m_context;
    std::function<void()> m_call;
};

// Takes the calls on the GUI thread, where every context lives.
class CallReceiver final : public QObject {
protected:
    bool event(QEvent* e) override {
        if (e->type() != callEventType()) {
            return QObject::event(e);
        }
        acceptHandOff();
        static_cast<CallEvent*>(e)->run();
        return true;
    }
};

CallReceiver* receiver() {
    // Made on whichever thread asks first and handed to the GUI thread; it lives as long as
    // the process.
    static CallReceiver* const r = [] {
        auto* made = new CallReceiver;
        made->moveToThread(QCoreApplication::instance()->thread());
        return made;
    }();
    return r;
}

} // namespace

void queueCall(QObject* context, std::function<void()> call) {
    auto* event = new CallEvent(context, std::move(call));
    CallReceiver* to = receiver();
    announceHandOff();
    QCoreApplication::postEvent(to, event);
}

} // namespace cpuconfig
