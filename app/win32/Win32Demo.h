#pragma once

// The demo: the real window on the simulated HID platform with one emulated
// Korvalis device, plugged in a second after the windows appear, and a
// second window that shows what the device received.

#include "Win32DeviceScreen.h"
#include "Win32MainWindow.h"
#include "emulator/KorvalisSimModel.h"

#include <memory>

namespace korvalis {

class TWin32Demo {
  public:
    // Selects the simulated platform before the window makes its controller;
    // a HID GUI loop must be installed on this thread.
    explicit TWin32Demo(const TKorvalisDeviceModel::TOptions& options);
    ~TWin32Demo();
    TWin32Demo(const TWin32Demo&) = delete;
    TWin32Demo& operator=(const TWin32Demo&) = delete;

    // Shows both windows and starts the clock of the plug-in.
    void Show(int showCommand = SW_SHOWNORMAL);
    TWin32MainWindow& MainWindow() { return *FMain; }
    TWin32DeviceScreen& Screen() { return FScreen; }
    sim::TKorvalisSimModel& Model() { return *FModel; }

  private:
    // Shows each upload the device completes.
    void Poll();

    std::shared_ptr<sim::TKorvalisSimModel> FModel;
    std::unique_ptr<TWin32MainWindow> FMain;
    TWin32DeviceScreen FScreen;
    TWin32Timer FPlug;
    TWin32Timer FPoll;
    uint64_t FShown = 0;
};

} // namespace korvalis
