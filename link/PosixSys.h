// The system calls the POSIX serial backend makes, as one table that a port is given when
// it is opened: the product's ports get the real calls; a test gives its own table to inject
// EINTR, EIO and short writes into a real pseudo-terminal. Internal to the link.
#pragma once

#include <functional>
#include <sys/types.h>

struct pollfd;
struct termios;

namespace cpuconfig::posix {

struct Syscalls {
    std::function<int(const char* path, int flags)> open;
    std::function<int(int fd)> close;
    std::function<ssize_t(int fd, void* buf, size_t n)> read;
    std::function<ssize_t(int fd, const void* buf, size_t n)> write;
    std::function<int(pollfd* fds, unsigned long n, int timeoutMs)> poll;
    std::function<int(int fd, unsigned long request, void* arg)> ioctl;
    std::function<int(int fd, int operation)> flock;
    std::function<int(int fd, termios* t)> tcgetattr;
    std::function<int(int fd, int action, const termios* t)> tcsetattr;
    std::function<int(int fd, int queue)> tcflush;
    std::function<int(int fd)> tcdrain;
};

// The real calls.
const Syscalls& realSyscalls();

} // namespace cpuconfig::posix
