#include "link/PosixSys.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace cpuconfig::posix {

namespace {

Syscalls makeRealSyscalls() {
    Syscalls s;
    s.open = [](const char* path, int flags) { return ::open(path, flags); };
    s.close = [](int fd) { return ::close(fd); };
    s.read = [](int fd, void* buf, size_t n) { return ::read(fd, buf, n); };
    s.write = [](int fd, const void* buf, size_t n) { return ::write(fd, buf, n); };
    s.poll = [](pollfd* fds, unsigned long n, int timeoutMs) {
        return ::poll(fds, static_cast<nfds_t>(n), timeoutMs);
    };
    s.ioctl = [](int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); };
    s.flock = [](int fd, int operation) { return ::flock(fd, operation); };
    s.tcgetattr = [](int fd, termios* t) { return ::tcgetattr(fd, t); };
    s.tcsetattr = [](int fd, int action, const termios* t) { return ::tcsetattr(fd, action, t); };
    s.tcflush = [](int fd, int queue) { return ::tcflush(fd, queue); };
    s.tcdrain = [](int fd) { return ::tcdrain(fd); };
    return s;
}

} // namespace

const Syscalls& realSyscalls() {
    static const Syscalls table = makeRealSyscalls();
    return table;
}

} // namespace cpuconfig::posix
