// Runs in the test VM: the HID device controller on the Linux platform, with
// one line per device-change pass it reports and the HID interfaces it then
// keeps, so the scenario sees every plug and unplug as the application does.
#include "hid/HidControllerClass.h"
#include "hid/platform/qt/QtGuiLoop.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>

using namespace korvalis;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    UseQtHidGuiLoop();
    THidDeviceController controller;
    if (!controller.Active()) {
        std::fprintf(stderr, "hotplug-watch: no HID device layer (libudev.so.1)\n");
        return 1;
    }
    std::string listed;
    int korvalis = 0;
    controller.SetOnEnumerate(THidEnumerateEvent::Make(nullptr, [&](THidDevice* d, int) {
        listed += " " + d->PnPInfo()->DevicePath;
        korvalis += d->Identity().VendorID == 0x0416 && d->Identity().ProductID == 0x5020;
        return true;
    }));
    int pass = 0;
    controller.SetOnDeviceChange(TNotifyEvent::Make(nullptr, [&](THidDeviceController* c) {
        listed.clear();
        korvalis = 0;
        c->EnumerateDevices();
        std::printf("change %d: %d korvalis:%s\n", ++pass, korvalis, listed.c_str());
        std::fflush(stdout);
    }));
    return QCoreApplication::exec();
}
