// Arbitrary answers from a card, fed to the upgrade and the query through a scripted port:
// no crash, no hang, at most one result, and never a success before the whole package
// went out.
#include "common/Clock.h"
#include "link/SerialPort.h"
#include "link/Upgrade.h"
#include "link/getParam.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <vector>

using namespace cpuconfig;

namespace {

constexpr std::size_t kPackageSize = 8 + 700;

// Input: chunks of [length][bytes], each arriving as one read; a length byte of 0xFF makes
// the next write fail as a vanished device would.
class ScriptedPort final : public SerialPort {
public:
    ScriptedPort(const std::uint8_t* data, std::size_t size) {
        std::size_t i = 0;
        while (i < size) {
            const std::size_t n = data[i++];
            if (n == 0xFF) {
                m_failWrites.push_back(m_chunks.size());
                continue;
            }
            const std::size_t take = std::min(n, size - i);
            if (take > 0) // a real port never reports a character that is not there
                m_chunks.emplace_back(data + i, data + i + take);
            i += take;
        }
        m_total = m_chunks.size();
    }
    const std::string& name() const override { return m_name; }
    Result<void> applyLineSettings(const LineSettings&) override { return {}; }
    Result<void> expect(Awaiting) override { return {}; }
    Result<bool> waitReadable(std::chrono::milliseconds, std::stop_token) override {
        return !m_chunks.empty();
    }
    Result<std::size_t> bytesWaiting() override {
        return m_chunks.empty() ? std::size_t{0} : m_chunks.front().size();
    }
    Result<std::size_t> read(std::span<std::uint8_t> buffer, std::chrono::milliseconds,
                             std::stop_token) override {
        if (m_chunks.empty())
            return std::size_t{0};
        auto chunk = std::move(m_chunks.front());
        m_chunks.pop_front();
        const std::size_t n = std::min(buffer.size(), chunk.size());
        std::memcpy(buffer.data(), chunk.data(), n);
        return n;
    }
    Result<void> write(std::span<const std::uint8_t> data, std::stop_token) override {
        if (!m_failWrites.empty() && m_failWrites.front() <= m_total - m_chunks.size()) {
            m_failWrites.pop_front();
            return makeError(ErrorCode::PortIo, "gone", 5);
        }
        written += data.size();
        return {};
    }
    Result<void> discardInput() override { return {}; }
    Result<void> discardOutput() override { return {}; }
    void close() override {}
    std::size_t written = 0;

private:
    std::string m_name = "scripted";
    std::deque<std::vector<std::uint8_t>> m_chunks;
    std::deque<std::size_t> m_failWrites;
    std::size_t m_total = 0;
};

class OnePortFactory final : public SerialPortFactory {
public:
    explicit OnePortFactory(std::unique_ptr<ScriptedPort> port) : m_port(std::move(port)) {}
    Result<std::unique_ptr<SerialPort>> open(const std::string&) override {
        if (!m_port)
            return makeError(ErrorCode::PortOpen, "taken");
        return std::unique_ptr<SerialPort>(std::move(m_port));
    }

private:
    std::unique_ptr<ScriptedPort> m_port;
};

// Fake time that refuses to run on for ever: every wait of a run ends with a chunk taken or
// 2000 ms of silence, so a run that sleeps past its bound is a hang on a real line.
class InstantClock final : public Clock {
public:
    explicit InstantClock(Ms bound) : m_bound(bound) {}
    TimePoint now() const override { return m_now; }
    bool sleepFor(Ms d, std::stop_token) override {
        m_now += d;
        if (m_now - TimePoint{} > m_bound)
            std::abort();
        return true;
    }

private:
    TimePoint m_now{};
    Ms m_bound;
};

class CheckingObserver final : public UpgradeObserver {
public:
    void progress(std::uint64_t s, std::uint64_t) override {
        if (s < sent)
            std::abort(); // progress never goes back
        sent = s;
    }
    std::uint64_t sent = 0;
};

std::filesystem::path g_package;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_package = std::filesystem::temp_directory_path() / "cpuconfig-fuzz-link.cpu";
    std::vector<char> bytes(kPackageSize, 0x5A);
    bytes[0] = 'T';
    bytes.back() = static_cast<char>(0xAA);
    std::ofstream(g_package, std::ios::binary).write(bytes.data(), kPackageSize);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Each of the four receive loops (acknowledge and answer, upgrade and query) ends with at
    // most one 2000 ms silence; the package is too short for a pacing pause.
    InstantClock clock(std::chrono::milliseconds(4 * 2000));
    FixedSelection selection("scripted", "115200", "1");
    {
        OnePortFactory ports(std::make_unique<ScriptedPort>(data, size));
        UpgradeOptions options;
        options.clock = &clock;
        options.ports = &ports;
        options.package = g_package;
        CheckingObserver observer;
        const Outcome o = runUpgrade(selection, {}, options, &observer);
        if (o.end == CardEnd::Confirmed && observer.sent != kPackageSize - 8)
            std::abort(); // a success before the whole package went out
        // Every run ends with something the technician can read.
        if (o.end == CardEnd::Stopped || statusTexts(o).empty())
            std::abort();
    }
    {
        OnePortFactory ports(std::make_unique<ScriptedPort>(data, size));
        LinkOptions options;
        options.clock = &clock;
        options.ports = &ports;
        const Outcome o = getParam(selection, {}, options);
        if (o.model && (o.model->size() > 12 || o.model->find('\0') != std::string::npos))
            std::abort();
        if (o.model.has_value() != (o.end == CardEnd::Confirmed) || o.end == CardEnd::Stopped)
            std::abort();
    }
    return 0;
}
