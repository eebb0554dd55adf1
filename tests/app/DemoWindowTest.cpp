// The demo's two windows: the device screen beside the main window, never
// over it, and the demo ending with the main window.
#include "app/DeviceScreen.h"
#include "app/MainWindow.h"

#include <QApplication>
#include <QTimer>
#include <gtest/gtest.h>

namespace korvalis {
namespace {

TEST(DemoWindows, DeviceScreenGoesBesideTheMainWindowOnTheScreen) {
    const QSize companion(408, 256); // the device screen with its frame
    const QSize main(790, 474);      // the main window with its frame
    struct Row {
        const char* name;
        QRect available;
        QPoint mainAt;
        bool mainStays;
    };
    for (const Row& row : {
             Row{"wide screen, room on the right", {0, 0, 1920, 1048}, {565, 287}, true},
             Row{"main at the right edge: left", {0, 0, 1920, 1048}, {1130, 100}, true},
             Row{"no side has room: the main moves", {0, 0, 1280, 1024}, {245, 275}, false},
             Row{"narrow screen: below", {0, 0, 1024, 768}, {117, 147}, false},
             Row{"second monitor with a top panel", {1920, 32, 1600, 868}, {1950, 40}, true},
         }) {
        const QRect mainFrame(row.mainAt, main);
        const TCompanionPlacement place = PlaceBeside(mainFrame, companion, row.available);
        const QRect placedMain(place.Main, main);
        const QRect placedCompanion(place.Companion, companion);
        EXPECT_FALSE(placedMain.intersects(placedCompanion)) << row.name;
        EXPECT_TRUE(row.available.contains(placedMain)) << row.name;
        EXPECT_TRUE(row.available.contains(placedCompanion)) << row.name;
        EXPECT_EQ(place.Main == row.mainAt, row.mainStays) << row.name;
        // Beside means side by side whenever the area is wide enough for both.
        if (main.width() + companion.width() < row.available.width()) {
            EXPECT_TRUE(placedCompanion.top() < placedMain.bottom() &&
                        placedMain.top() < placedCompanion.bottom())
                << row.name;
        }
    }
}

TEST(DemoWindows, ClosingTheMainWindowEndsTheDemo) {
    TQtMainWindow main;
    main.show();
    TDeviceScreen screen;
    screen.ShowBeside(main);
    EXPECT_TRUE(screen.isVisible());
    EXPECT_FALSE(main.frameGeometry().intersects(screen.frameGeometry()));
    // The demo's own loop: closing the main window must end it.
    QTimer::singleShot(0, &main, [&] { main.close(); });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(3000);
    EXPECT_EQ(QApplication::exec(), 0) << "the device screen keeps the demo running";
}

} // namespace
} // namespace korvalis
