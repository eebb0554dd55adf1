// The toolkit's one-shot timer on Qt's event loop, as the window and the
// command-line tool use it.
#include "qtloop/QtTimer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace korvalis {
namespace {

TEST(QtTimer, KeepsItsScheduleWhenEnabledAgain) {
    TQtTimer timer(nullptr);
    int ticks = 0;
    timer.SetOnTimer([&] {
        ++ticks;
        timer.SetEnabled(false);
    });
    timer.SetInterval(40);
    timer.SetEnabled(true);
    QElapsedTimer watch;
    watch.start();
    // Re-enabling every few milliseconds must not push the tick back.
    while (ticks == 0 && watch.elapsed() < 2000) {
        timer.SetEnabled(true);
        timer.SetInterval(40);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_EQ(ticks, 1);
    EXPECT_LT(watch.elapsed(), 1000);
}

} // namespace
} // namespace korvalis

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
