// The connection's timer in the device commands: it ticks on the plain loop
// while enabled, and a stop, a restart or a new interval drops every tick
// scheduled before it.
#include "cli/HeadlessView.h"
#include "hid/PlainGuiLoop.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace korvalis::testing {
extern THidPlainLoop* gLoop;
}

namespace korvalis {
namespace {

TEST(LoopTimer, TicksOnlyForTheCurrentSchedule) {
    enum TWhat { Enable, Disable, Interval, Run, Destroy };
    struct TStep {
        TWhat What;
        int Ms = 0;
    };
    struct TRow {
        const char* Name;
        std::vector<TStep> Steps;
        int MinTicks, MaxTicks;
        bool StopInHandler = false;
    };
    // Interval 120 ms unless a step changes it; a timer never ticks early, so
    // a run shorter than the interval since the last (re)start sees no tick.
    const TRow rows[] = {
        {"repeats while enabled", {{Enable}, {Run, 750}}, 2, 7},
        {"a stop cancels the tick", {{Enable}, {Run, 10}, {Disable}, {Run, 360}}, 0, 0},
        {"a restart counts from the restart",
         {{Enable}, {Run, 75}, {Disable}, {Enable}, {Run, 90}},
         0,
         0},
        {"a new interval restarts a running timer",
         {{Enable}, {Run, 75}, {Interval, 240}, {Run, 180}},
         0,
         0},
        {"an idle timer given an interval stays idle", {{Interval, 60}, {Run, 240}}, 0, 0},
        {"the handler's stop ends it", {{Enable}, {Run, 600}}, 1, 1, true},
        {"a tick queued for a timer gone does nothing", {{Enable}, {Destroy}, {Run, 300}}, 0, 0},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        auto timer = std::make_unique<cli::TLoopTimer>();
        int ticks = 0;
        timer->SetInterval(120);
        timer->SetOnTimer([&] {
            ++ticks;
            if (row.StopInHandler)
                timer->SetEnabled(false);
        });
        for (const TStep& step : row.Steps) {
            switch (step.What) {
            case Enable:
                timer->SetEnabled(true);
                break;
            case Disable:
                timer->SetEnabled(false);
                break;
            case Interval:
                timer->SetInterval(uint32_t(step.Ms));
                break;
            case Run:
                testing::gLoop->RunFor(step.Ms);
                break;
            case Destroy:
                timer.reset();
                break;
            }
        }
        EXPECT_GE(ticks, row.MinTicks);
        EXPECT_LE(ticks, row.MaxTicks);
        timer.reset();
        testing::gLoop->RunFor(100);
    }
}

} // namespace
} // namespace korvalis
