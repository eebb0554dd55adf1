// GoogleTest main for window tests: one QApplication for the whole run.
#include "hid/platform/qt/QtGuiLoop.h"
#include "hid/platform/sim/SimPlatform.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    korvalis::UseQtHidGuiLoop();
    // Window tests never touch the machine's real HID devices.
    korvalis::sim::TSimPlatform::Select();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
