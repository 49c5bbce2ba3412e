// The few link tests on the real clock: the 2000 ms limit as a technician waits for it,
// and how fast a stop ends an exchange. Generous bounds; the rest of the suite runs on
// fake time.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "common/Texts.h"
#include "link/PosixSerialPort.h"
#include "link/Upgrade.h"
#include "link/getParam.h"

#include <gtest/gtest.h>

namespace cpuconfig::test {
namespace {

using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

SimulatorOptions silent() {
    SimulatorOptions o;
    o.fault = SimFault::Silent;
    return o;
}

TEST(LinkRealTime, silentCardFailsTheUpgradeAfterTwoSeconds) {
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(100));
    SimCard card(silent());
    RecordingWindow window;
    FixedSelection sel(card.port(), "115200", "1");
    UpgradeOptions options;
    options.package = dir / "RQ_CPU.cpu";
    const auto start = Steady::now();
    runUpgrade(window, sel, {}, options);
    const auto took = Steady::now() - start;
    EXPECT_GE(took, milliseconds(2000));
    EXPECT_LE(took, milliseconds(2500));
    const auto sent = window.sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].message, WM_CPU_SEND_FAILED);
    EXPECT_EQ(sent[2].message, WM_CPU_RESULT);
    EXPECT_EQ(sent[2].wParam, 1u);
}

TEST(LinkRealTime, silentCardFailsTheQueryAfterTwoSeconds) {
    SimCard card(silent());
    RecordingReporter reporter;
    FixedSelection sel(card.port(), "115200", "1");
    const auto start = Steady::now();
    EXPECT_EQ(getParam(reporter, sel, {}), 0);
    const auto took = Steady::now() - start;
    EXPECT_GE(took, milliseconds(2000));
    EXPECT_LE(took, milliseconds(2500));
    EXPECT_EQ(reporter.statuses.back(), text::kQueryFailed);
}

TEST(LinkRealTime, stopEndsTheAcknowledgeWaitAtOnceWithoutAResult) {
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(100));
    SimCard card(silent());
    RecordingWindow window;
    FixedSelection sel(card.port(), "115200", "1");
    UpgradeOptions options;
    options.package = dir / "RQ_CPU.cpu";
    std::stop_source stop;
    Steady::time_point requested;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(milliseconds(300));
        requested = Steady::now();
        stop.request_stop();
    });
    runUpgrade(window, sel, stop.get_token(), options);
    const auto ended = Steady::now();
    stopper.join();
    EXPECT_LT(ended - requested, milliseconds(100));
    EXPECT_EQ(window.sent().size(), 1u); // only the hidden progress bar
    EXPECT_TRUE(PosixSerialPort::open(card.port()));
}

TEST(LinkRealTime, stopEndsAThrottledTransferAtOnce) {
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(8 + 200000));
    SimulatorOptions o;
    o.baudLimit = true;
    SimCard card(o);
    RecordingWindow window;
    FixedSelection sel(card.port(), "9600", "1");
    UpgradeOptions options;
    options.package = dir / "RQ_CPU.cpu";
    std::stop_source stop;
    Steady::time_point requested;
    std::jthread stopper([&] {
        while (card.record().transfer.size() < 500)
            std::this_thread::sleep_for(milliseconds(5));
        requested = Steady::now();
        stop.request_stop();
    });
    runUpgrade(window, sel, stop.get_token(), options);
    const auto ended = Steady::now();
    stopper.join();
    EXPECT_LT(ended - requested, milliseconds(100));
    for (const auto& m : window.messages())
        EXPECT_NE(m.message, WM_CPU_RESULT);
    EXPECT_TRUE(PosixSerialPort::open(card.port()));
}

} // namespace
} // namespace cpuconfig::test
