#pragma once

namespace cpuconfig {

// A base for an object that holds something only it may release (a hash context, a signal
// handler, a sound, a folder on disk): it stays where it was made and is never copied.
class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};

} // namespace cpuconfig
