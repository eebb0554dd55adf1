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

#include "hid/HidControllerClass.h"

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
    // Runs the loop through the controller's first pass, which hands every
    // device present to its OnEnumerate once; answers whether the pass came in
    // time. The pass is posted at the controller's construction: call this
    // before anything else runs the loop.
    bool RunFirstPass(THidDeviceController& controller, int timeoutMs) {
        // Shared: the handler stays on the controller until it goes.
        auto passed = std::make_shared<bool>(false);
        controller.SetOnDeviceChange(TNotifyEvent::Make(nullptr, [passed](THidDeviceController* c) {
            if (!*passed) {
                *passed = true;
                c->EnumerateDevices();
            }
        }));
        return RunUntil([&] { return *passed; }, timeoutMs);
    }

  private:
    std::unique_ptr<TCommandLoop> FOwn;
    TCommandLoop* FLoop = nullptr;
};

} // namespace korvalis::cli
