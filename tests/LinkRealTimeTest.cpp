// The few link tests on the real clock: the 2000 ms limit as a technician waits for it,
// and how fast a stop ends an exchange. Generous bounds; the rest of the suite runs on
// fake time.
#include "LinkTestSupport.h"
#include "TestSupport.h"

#include "common/Texts.h"
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

// Upgrade and query give a silent card its 2000 ms, and not much more.
TEST(LinkRealTime, silentCardFailsAfterTwoSeconds) {
    TempDir dir;
    writeBytes(dir / "RQ_CPU.cpu", packageBytes(100));
    SimCard card(silent());
    RecordingWindow window;
    RecordingReporter reporter;
    FixedSelection sel(card.port(), "115200", "1");
    UpgradeOptions options;
    options.package = dir / "RQ_CPU.cpu";
    for (const bool upgrade : {true, false}) {
        const auto start = Steady::now();
        if (upgrade)
            runUpgrade(window, sel, {}, options);
        else
            EXPECT_EQ(getParam(reporter, sel, {}), 0);
        const auto took = Steady::now() - start;
        EXPECT_GE(took, milliseconds(2000)) << upgrade;
        EXPECT_LE(took, milliseconds(2500)) << upgrade;
    }
    EXPECT_EQ(window.sent(), (std::vector<Message>{kHide, kSendFailed, msgResult(1)}));
    EXPECT_EQ(reporter.statuses.back(), text::kQueryFailed);
}

// A stop ends the upgrade within 100 ms, with no result and the port free: while it waits
// for a silent card's acknowledge, and half way through a transfer at the line's speed.
TEST(LinkRealTime, stopEndsTheUpgradeAtOnceWithoutAResult) {
    for (const bool transferring : {false, true}) {
        SCOPED_TRACE(transferring ? "transfer" : "acknowledge wait");
        TempDir dir;
        writeBytes(dir / "RQ_CPU.cpu", packageBytes(transferring ? 8 + 200000 : 100));
        SimCard card(transferring ? simWith([](SimulatorOptions& o) { o.baudLimit = true; })
                                  : silent());
        RecordingWindow window;
        FixedSelection sel(card.port(), transferring ? "9600" : "115200", "1");
        UpgradeOptions options;
        options.package = dir / "RQ_CPU.cpu";
        std::stop_source stop;
        Steady::time_point requested;
        std::jthread stopper([&] {
            if (!transferring)
                std::this_thread::sleep_for(milliseconds(300));
            while (transferring && card.record().transfer.size() < 500)
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
        if (!transferring) {
            EXPECT_EQ(window.sent().size(), 1u); // only the hidden progress bar
        }
        EXPECT_TRUE(portFree(card.port()));
    }
}

} // namespace
} // namespace cpuconfig::test
