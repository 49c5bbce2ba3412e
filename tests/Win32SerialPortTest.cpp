// The Win32 serial port against a real port: a simulated card (screen 1) whose
// pseudo-terminal tools/test-windows.sh maps onto CPUCONFIG_TEST_PORT of the Wine prefix,
// and a line whose far end reads nothing on CPUCONFIG_STALLED_PORT.
#include "link/Win32SerialPort.h"

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace cpuconfig {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr const char* kPort = CPUCONFIG_TEST_PORT;

std::unique_ptr<SerialPort> openPort() {
    auto port = platformSerialPorts().open(kPort);
    EXPECT_TRUE(port.ok()) << (port.ok() ? "" : port.error().message);
    return port.ok() ? std::move(*port) : nullptr;
}

// A port with nothing waiting, ready for a card's acknowledge.
std::unique_ptr<SerialPort> openQuietPort() {
    auto port = openPort();
    if (port && !(port->discardInput().ok() && port->expect(Awaiting::Acknowledge).ok())) {
        ADD_FAILURE() << "the port was not made ready";
        return nullptr;
    }
    return port;
}

Steady::duration since(Steady::time_point t0) {
    return Steady::now() - t0;
}

TEST(Win32SerialPort, secondOpenFailsUntilTheFirstCloses) {
    auto first = openPort();
    ASSERT_TRUE(first);
    auto second = platformSerialPorts().open(kPort);
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().code, ErrorCode::PortOpen);
    // Another spelling of the same device is the same port.
    auto prefixed = platformSerialPorts().open(win32DeviceName(kPort));
    EXPECT_FALSE(prefixed.ok());
    first->close();
    EXPECT_TRUE(openPort());
}

TEST(Win32SerialPort, addressAcknowledgeAndQueryRoundTrip) {
    auto port = openPort();
    ASSERT_TRUE(port);
    std::stop_source never;
    auto mark = port->applyLineSettings({115200, 8, Parity::Mark});
    ASSERT_TRUE(mark.ok()) << mark.error().message;
    const std::array<std::uint8_t, 2> address{1, 1};
    ASSERT_TRUE(port->write(address, never.get_token()).ok());
    ASSERT_TRUE(port->expect(Awaiting::Acknowledge).ok());

    auto arrived = port->waitReadable(2000ms, never.get_token());
    ASSERT_TRUE(arrived.ok() && *arrived);
    auto waiting = port->bytesWaiting();
    ASSERT_TRUE(waiting.ok());
    ASSERT_EQ(*waiting, 1u);
    std::array<std::uint8_t, 100> buffer{};
    auto got = port->read(std::span(buffer.data(), *waiting), 2000ms, never.get_token());
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(*got, 1u);
    EXPECT_EQ(buffer[0], 0x01);

    // The data phase, and the query's reply.
    ASSERT_TRUE(port->expect(Awaiting::Nothing).ok());
    ASSERT_TRUE(port->applyLineSettings({115200, 8, Parity::Space}).ok());
    const std::array<std::uint8_t, 5> query{0x01, 0xCF, 0x01, 0x00, 0xAA};
    ASSERT_TRUE(port->write(query, never.get_token()).ok());
    ASSERT_TRUE(port->expect(Awaiting::Reply).ok());
    std::size_t total = 0;
    const auto t0 = Steady::now();
    while (total < 15 && since(t0) < 5s) {
        auto more = port->waitReadable(2000ms, never.get_token());
        ASSERT_TRUE(more.ok());
        waiting = port->bytesWaiting();
        ASSERT_TRUE(waiting.ok());
        ASSERT_TRUE(port->expect(Awaiting::More).ok());
        got = port->read(
            std::span(buffer.data() + total, std::min<std::size_t>(*waiting, 100 - total)), 100ms,
            never.get_token());
        ASSERT_TRUE(got.ok());
        total += *got;
    }
    ASSERT_GE(total, 15u);
    EXPECT_EQ(buffer[0], 0x01);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data() + 3), "A8-SIM");
}

TEST(Win32SerialPort, silentLineWaitsTheWholeLimit) {
    auto port = openQuietPort();
    ASSERT_TRUE(port);
    std::stop_source never;
    const auto t0 = Steady::now();
    auto arrived = port->waitReadable(300ms, never.get_token());
    ASSERT_TRUE(arrived.ok()) << arrived.error().message;
    EXPECT_FALSE(*arrived);
    // Not before the limit: a driver that gives the wait up early must not shorten it.
    EXPECT_GE(since(t0), 300ms);
    // Nothing waiting: a read takes nothing, at once or (where the driver lets it wait,
    // as Wine does) when its limit ends it.
    std::array<std::uint8_t, 8> buffer{};
    const auto t1 = Steady::now();
    auto got = port->read(buffer, 200ms, never.get_token());
    ASSERT_TRUE(got.ok()) << got.error().message;
    EXPECT_EQ(*got, 0u);
    EXPECT_LT(since(t1), 2s);
}

TEST(Win32SerialPort, stopEndsAWaitPromptly) {
    auto port = openQuietPort();
    ASSERT_TRUE(port);
    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop.request_stop();
    });
    const auto t0 = Steady::now();
    auto arrived = port->waitReadable(10s, stop.get_token());
    ASSERT_FALSE(arrived.ok());
    EXPECT_EQ(arrived.error().code, ErrorCode::Stopped);
    EXPECT_LT(since(t0), 2s); // generous; the wait itself would last 10 s

    // Once stopped, nothing more goes out, and the closing steps still run.
    const std::array<std::uint8_t, 2> address{1, 1};
    auto wrote = port->write(address, stop.get_token());
    ASSERT_FALSE(wrote.ok());
    EXPECT_EQ(wrote.error().code, ErrorCode::Stopped);
    port->close();
    EXPECT_TRUE(openPort());
}

// What a stopped transfer leaves in the driver is dropped, not sent on: once the line is
// full, a write has room again only after discardOutput.
TEST(Win32SerialPort, discardOutputDropsWhatAStoppedTransferLeft) {
    if (std::string(CPUCONFIG_STALLED_PORT).empty()) {
        GTEST_SKIP() << "no stalled line in this Wine prefix";
    }
    auto opened = platformSerialPorts().open(CPUCONFIG_STALLED_PORT);
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    SerialPort& port = **opened;
    ASSERT_TRUE(port.applyLineSettings({115200, 8, Parity::Space}).ok());
    // A write that has not ended after 2 s is stopped, as shutdown stops a transfer.
    const auto writeOrStop = [&](std::span<const std::uint8_t> data) {
        std::stop_source stop;
        std::jthread stopper([&](std::stop_token done) {
            std::mutex m;
            std::unique_lock lock(m);
            std::condition_variable_any().wait_for(lock, done, 2s, [] { return false; });
            stop.request_stop();
        });
        return port.write(data, stop.get_token());
    };
    const std::vector<std::uint8_t> block(64 * 1024, 0x55);
    bool full = false;
    for (int i = 0; i < 8 && !full; ++i) {
        auto wrote = writeOrStop(block);
        full = !wrote.ok() && wrote.error().code == ErrorCode::Stopped;
    }
    ASSERT_TRUE(full) << "the far end took 512 KiB";
    ASSERT_TRUE(port.discardOutput().ok());
    const std::vector<std::uint8_t> next(1024, 0xAA);
    auto wrote = writeOrStop(next);
    EXPECT_TRUE(wrote.ok()) << "the line is still full of the stopped transfer";
}

TEST(Win32SerialPort, closedPortRefusesEverything) {
    auto port = openPort();
    ASSERT_TRUE(port);
    port->close();
    port->close(); // twice is fine
    std::stop_source never;
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(port->expect(Awaiting::More).error().code, ErrorCode::PortIo);
    EXPECT_EQ(port->waitReadable(10ms, never.get_token()).error().code, ErrorCode::PortIo);
    EXPECT_EQ(port->read(buffer, 10ms, never.get_token()).error().code, ErrorCode::PortIo);
    EXPECT_EQ(port->write(buffer, never.get_token()).error().code, ErrorCode::PortIo);
    EXPECT_EQ(port->bytesWaiting().error().code, ErrorCode::PortIo);
    EXPECT_EQ(port->discardOutput().error().code, ErrorCode::PortIo);
}

} // namespace
} // namespace cpuconfig
