#pragma once

// The event loop the device commands run, no toolkit: the HID layer's plain
// loop, on Windows its loop on a message-only window, so every window message
// of the thread is dispatched too. The controller's device changes, the
// readers' hand-offs and the view's timer all arrive through it.

#ifdef _WIN32
#include "hid/platform/windows/WindowsGuiLoop.h"
#else
#include "hid/PlainGuiLoop.h"
#endif

#include <functional>
#include <memory>

namespace korvalis::cli {

#ifdef _WIN32
using TCommandLoop = THidWindowsLoop;
#else
using TCommandLoop = THidPlainLoop;
#endif

// What the device layer binds on this system, for "no HID device layer" errors.
#ifdef _WIN32
inline constexpr const char* kDeviceLibraries = "hid.dll and setupapi.dll";
#else
inline constexpr const char* kDeviceLibraries = "libudev.so.1";
#endif

// The command loop installed on this thread (a test's, or one made for an
// earlier command), else a new one, installed for the session's lifetime.
class TLoopSession {
  public:
    TLoopSession() {
        FLoop = dynamic_cast<TCommandLoop*>(HidGuiLoop());
        if (!FLoop || !FLoop->OnGuiThread()) {
            FOwn = std::make_unique<TCommandLoop>();
            FLoop = FOwn.get();
        }
    }
    TCommandLoop& Loop() { return *FLoop; }
    // Runs the loop until done() holds or the time is up; answers done().
    bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
        return done() || FLoop->RunUntil(done, timeoutMs);
    }

  private:
    std::unique_ptr<TCommandLoop> FOwn;
    TCommandLoop* FLoop = nullptr;
};

} // namespace korvalis::cli
