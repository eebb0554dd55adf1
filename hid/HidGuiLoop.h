#pragma once

// The GUI-loop seam: what the HID layer needs of the thread that runs the
// program's event loop. Every event of the layer runs there. A program
// installs one loop before it makes a controller: the Qt adapter
// (hid/platform/qt) for the window and the command-line tool, the plain loop
// (PlainGuiLoop.h) for tests, a message-only window on Windows.

#include <functional>

namespace korvalis {

class IHidGuiLoop {
  public:
    virtual ~IHidGuiLoop() = default;
    // Any thread: call runs later on the GUI thread, after every call posted
    // before it, also from inside a nested loop run by a handler.
    virtual void Post(std::function<void()> call) = 0;
    // GUI thread: a one-shot timer; call runs on the GUI thread once, no
    // sooner than milliseconds from now.
    virtual void PostDelayed(int milliseconds, std::function<void()> call) = 0;
    // Whether the calling thread is the one that runs this loop.
    virtual bool OnGuiThread() const = 0;
};

// Makes loop the one the HID layer uses from now on (none: nullptr). The
// loop must outlive every controller made while it is installed.
void InstallHidGuiLoop(IHidGuiLoop* loop);
IHidGuiLoop* HidGuiLoop();
// For a loop that goes away: ends every reader that was let go from inside
// its own hand-off (no hand-off can run any more), then uninstalls loop if it
// is the installed one. GUI thread.
void ReleaseHidGuiLoop(IHidGuiLoop* loop);

} // namespace korvalis
