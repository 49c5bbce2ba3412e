#include "sim/MemoryPort.h"

#include "link/SerialPortBase.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>

namespace cpuconfig {

struct MemoryCard::Line {
    explicit Line(SimulatorOptions options) : card(std::move(options)) {}

    // The card's writes go into the port's input; each one that waits for the one before to
    // be taken starts a read of its own.
    void take(const std::vector<SimReply>& replies) {
        for (const auto& reply : replies) {
            if (reply.afterTaken || input.empty())
                input.emplace_back();
            input.back().insert(input.back().end(), reply.bytes.begin(), reply.bytes.end());
        }
    }

    mutable std::mutex mutex;
    CardModel card;
    std::deque<std::vector<std::uint8_t>> input; // the reads waiting, in order
    bool open = false;
    bool hungUp = false; // the open port's line dropped
};

namespace {

class MemoryPort final : public SerialPortBase {
public:
    MemoryPort(std::string name, std::shared_ptr<MemoryCard::Line> line)
        : SerialPortBase(std::move(name)), m_line(std::move(line)) {}
    ~MemoryPort() override { close(); }

    void close() override {
        if (!m_open)
            return;
        m_open = false;
        std::lock_guard lock(m_line->mutex);
        m_line->open = false;
        m_line->hungUp = false;
        m_line->input.clear();
    }

protected:
    bool isOpen() const override { return m_open; }
    Result<void> doApplyLineSettings(const LineSettings& settings) override {
        m_settings = SimLine{};
        m_settings.mark = settings.parity == Parity::Mark;
        m_settings.space = settings.parity == Parity::Space;
        m_settings.raw = true;
        m_settings.baud = settings.baud;
        return {};
    }
    Result<bool> doWaitReadable(std::chrono::milliseconds, std::stop_token) override {
        std::lock_guard lock(m_line->mutex);
        if (m_line->hungUp)
            return hungUp();
        return !m_line->input.empty();
    }
    Result<std::size_t> doBytesWaiting() override {
        std::lock_guard lock(m_line->mutex);
        return m_line->input.empty() ? std::size_t{0} : m_line->input.front().size();
    }
    Result<std::size_t> doRead(std::span<std::uint8_t> buffer, std::chrono::milliseconds,
                               std::stop_token) override {
        std::lock_guard lock(m_line->mutex);
        if (m_line->hungUp)
            return hungUp();
        if (m_line->input.empty())
            return std::size_t{0};
        auto& front = m_line->input.front();
        const std::size_t n = std::min(buffer.size(), front.size());
        std::memcpy(buffer.data(), front.data(), n);
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
        if (front.empty())
            m_line->input.pop_front();
        return n;
    }
    Result<void> doWrite(std::span<const std::uint8_t> data, std::stop_token) override {
        std::lock_guard lock(m_line->mutex);
        if (m_line->hungUp)
            return hungUp();
        SimLine line = m_settings;
        line.bytes = data.size();
        const SimAction action = m_line->card.feed(data, line);
        m_line->take(action.replies);
        m_line->hungUp = action.hangUp;
        return {};
    }
    Result<void> doDiscardInput() override {
        std::lock_guard lock(m_line->mutex);
        m_line->input.clear();
        return {};
    }
    Result<void> doDiscardOutput() override { return {}; }

private:
    Error hungUp() const { return makeError(ErrorCode::PortIo, name() + " hung up", EIO); }

    std::shared_ptr<MemoryCard::Line> m_line;
    SimLine m_settings;
    bool m_open = true;
};

} // namespace

MemoryCard::MemoryCard(SimulatorOptions options, std::string name)
    : m_name(std::move(name)), m_line(std::make_shared<Line>(std::move(options))) {}

MemoryCard::~MemoryCard() = default;

Result<std::unique_ptr<SerialPort>> MemoryCard::open(const std::string& name) {
    if (name != m_name)
        return makeError(ErrorCode::PortOpen, "open " + name + ": no such port", ENOENT);
    std::lock_guard lock(m_line->mutex);
    if (m_line->open)
        return makeError(ErrorCode::PortOpen, "open " + name + ": in use", EBUSY);
    m_line->open = true;
    m_line->input.clear();
    return std::unique_ptr<SerialPort>(std::make_unique<MemoryPort>(name, m_line));
}

SimRecord MemoryCard::record() const {
    std::lock_guard lock(m_line->mutex);
    return m_line->card.record();
}

bool MemoryCard::inUse() const {
    std::lock_guard lock(m_line->mutex);
    return m_line->open;
}

void MemoryCard::answer(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(m_line->mutex);
    m_line->take(m_line->card.writesOf(bytes));
}

} // namespace cpuconfig
