// Claim, stop and give back a device a thousand times while reports keep
// coming, also from inside its own report handler, to let ThreadSanitizer
// watch the reader, the hand-off and the close path. Finishing at all shows
// there is no deadlock; the counters at the end show nothing stays open.
#include "HidTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace korvalis {
namespace {

using namespace korvalis::testing;

TEST(HidStress, ThousandClaimStopDestroyCyclesWithReportsFlowing) {
    TSimFixture fixture;
    sim::TSimPlatform& simulated = fixture.Sim;
    std::atomic<uint32_t> inst{simulated.Plug(Interface())};
    THidDeviceController con;
    con.SetDevThreadSleepTime(10);
    std::atomic<uint64_t> delivered{0};
    bool giveBack = false; // the next report's handler gives its device back
    const auto onData = [&](THidDevice* d, uint8_t, const uint8_t*, uint16_t size) {
        EXPECT_EQ(size, 64);
        ++delivered;
        if (giveBack) {
            giveBack = false;
            delete d;
        }
    };
    con.SetOnDeviceData(THidDataEvent::Make(nullptr, onData));
    int changes = 0;
    con.SetOnDeviceChange(TNotifyEvent::Make(nullptr, [&](THidDeviceController*) { ++changes; }));
    ASSERT_TRUE(RunUntil([&] { return changes > 0; }));

    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<uint8_t> report(65, 0x42);
        report[0] = 0;
        while (!stop) {
            simulated.QueueInputReport(inst, report);
            std::this_thread::yield();
        }
    });

    THidDevice* claimed = nullptr;
    con.SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
        if (d->Claim())
            claimed = d;
        return false;
    }));
    constexpr int kCycles = 1000;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        claimed = nullptr;
        con.EnumerateDevices();
        ASSERT_NE(claimed, nullptr) << cycle;
        const uint64_t before = delivered;
        if (cycle % 5 < 3) {
            ASSERT_TRUE(RunUntil([&] { return delivered > before; }, 5000)) << cycle;
        }
        switch (cycle % 5) {
        case 0: // give it back with the reader running
            delete claimed;
            break;
        case 1: // stop the reader first
            claimed->StopReader();
            delete claimed;
            break;
        case 2: // the handler goes away and comes back, then the device
            con.SetOnDeviceData({});
            EXPECT_EQ(claimed->Reader(), nullptr);
            con.SetOnDeviceData(THidDataEvent::Make(nullptr, onData));
            delete claimed;
            break;
        case 3: { // unplugged under the reader, back under a new DevInst
            const uint32_t next = simulated.Replug(inst);
            ASSERT_NE(next, 0u);
            inst = next;
            ASSERT_TRUE(RunUntil([&] { return !claimed->Plugged(); }));
            RunUntil([&] { return false; }, 15);
            delete claimed;
            ASSERT_TRUE(RunUntil(
                [&] { return con.DeviceList().size() == 1 && con.DeviceList()[0]->Plugged(); }));
            break;
        }
        case 4: // given back from its own report handler, the reader still in the hand-off
            giveBack = true;
            ASSERT_TRUE(RunUntil([&] { return !giveBack; }, 5000)) << cycle;
            break;
        }
        ASSERT_EQ(con.DeviceList().size(), 1u) << cycle;
    }
    stop = true;
    producer.join();
    EXPECT_GT(delivered.load(), uint64_t(kCycles / 2));
    // Only the list's one closed device is left, holding nothing open.
    EXPECT_EQ(simulated.OpenHandles(), 0u);
}

} // namespace
} // namespace korvalis
