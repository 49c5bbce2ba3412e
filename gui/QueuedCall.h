// Runs a piece of work on the GUI thread, from any thread: the queued call a worker makes to
// show what it has done.
#pragma once

#include <QObject>

#include <functional>

namespace cpuconfig {

// Queues `call` to run on the GUI thread, where `context` (a window or qApp) lives, as a queued
// QMetaObject::invokeMethod would; dropped if `context` is gone by then. Unlike
// invokeMethod, everything the call carries is built before it is handed over, so the
// hand-off is one that ThreadSanitizer can see (common/ThreadHandOff.h).
void queueCall(QObject* context, std::function<void()> call);

} // namespace cpuconfig
