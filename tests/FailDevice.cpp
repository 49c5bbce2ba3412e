#include "tests/FailDevice.h"

#include "common/FileDevice.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace cpuconfig {
namespace {

class FailDevice final : public FileDevice {
public:
    void failWritesAfter(std::optional<std::uint64_t> limit, int osError) {
        const std::lock_guard lock(m_mutex);
        m_writeLimit = limit;
        m_writeError = osError;
    }
    void failFlushes(std::optional<int> osError) {
        const std::lock_guard lock(m_mutex);
        m_flushError = osError;
    }

    FileHandle createTemporary(const std::string& name, const ReplacedFile& replaced,
                               int& error) override {
        return m_system.createTemporary(name, replaced, error);
    }
    IoCount writeSome(FileHandle file, const std::uint8_t* data, std::size_t size) override {
        std::unique_lock lock(m_mutex);
        std::uint64_t& written = m_written[file];
        if (m_writeLimit) {
            if (written >= *m_writeLimit)
                return {0, m_writeError};
            size = static_cast<std::size_t>(std::min<std::uint64_t>(size, *m_writeLimit - written));
        }
        lock.unlock();
        const IoCount n = m_system.writeSome(file, data, size);
        lock.lock();
        m_written[file] += n.bytes;
        return n;
    }
    int startWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t size) override {
        return m_system.startWriteBack(file, offset, size);
    }
    int awaitWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t size) override {
        if (const auto err = flushError())
            return *err;
        return m_system.awaitWriteBack(file, offset, size);
    }
    int flush(FileHandle file) override {
        if (const auto err = flushError())
            return *err;
        return m_system.flush(file);
    }
    int replace(FileHandle file, const std::string& temporary, const std::string& target) override {
        forget(file);
        return m_system.replace(file, temporary, target);
    }
    void drop(FileHandle file, const std::string& temporary) override {
        forget(file);
        m_system.drop(file, temporary);
    }

private:
    std::optional<int> flushError() {
        const std::lock_guard lock(m_mutex);
        return m_flushError;
    }
    void forget(FileHandle file) {
        const std::lock_guard lock(m_mutex);
        m_written.erase(file);
    }

    FileDevice& m_system = systemFileDevice();
    std::mutex m_mutex;
    std::optional<std::uint64_t> m_writeLimit;
    int m_writeError = 0;
    std::optional<int> m_flushError;
    std::map<FileHandle, std::uint64_t> m_written; // bytes written to each open file
};

FailDevice& failDevice() {
    static FailDevice device;
    return device;
}

} // namespace

// In place of the system's: the library's own choice is left out of this binary.
FileDevice& fileDevice() {
    return failDevice();
}

void test::failWritesAfter(std::optional<std::uint64_t> limit, int osError) {
    failDevice().failWritesAfter(limit, osError);
}

void test::failFlushes(std::optional<int> osError) {
    failDevice().failFlushes(osError);
}

} // namespace cpuconfig
