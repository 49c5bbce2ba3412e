// Tells ThreadSanitizer about hand-offs between threads that it cannot see by itself: a
// worker posts an event or a queued call, and the GUI thread takes it from Qt's event
// queue. Qt guards that queue with its own mutex; in a Qt not built for the sanitizer
// that lock is invisible, and everything the event carries would look like a race.
//
// announceHandOff() on the posting thread just before the post, acceptHandOff() on the
// receiving thread before the first look at what was posted. Both compile to nothing
// unless the build is made with -fsanitize=thread.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define CPUCONFIG_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CPUCONFIG_TSAN 1
#endif
#endif

#ifdef CPUCONFIG_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace cpuconfig {

#ifdef CPUCONFIG_TSAN
namespace detail {
inline char g_handOff; // one synchronisation point for every hand-off through the queue
} // namespace detail
inline void announceHandOff() {
    __tsan_release(&detail::g_handOff);
}
inline void acceptHandOff() {
    __tsan_acquire(&detail::g_handOff);
}
#else
inline void announceHandOff() {}
inline void acceptHandOff() {}
#endif

} // namespace cpuconfig
