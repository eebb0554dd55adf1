#pragma once

// The window kept alive through the upload, on the thread's message queue.

#include "toolkit/Toolkit.h"

#include "Win32Api.h"

namespace korvalis {

// While busy, KeepAlive takes the user's input (keys, mouse in and around the
// windows, files dropped on them) out of the thread's queue and throws it away, and paints what is
// due. Everything else stays queued: timers, the HID layer's posted calls and
// the window's private messages, so no other handler runs until the upload
// has returned. Looking at the queue is what tells the desktop the program
// still answers, so the window is never marked "Not Responding"; messages
// other threads send (SendMessage) are answered there too.
class TWin32BusyWindow : public IBusyWindow {
  public:
    void BeginBusy() override;
    void KeepAlive() override;
    void EndBusy() override;
    bool Busy() const { return FDepth > 0; }

  private:
    int FDepth = 0;
};

} // namespace korvalis
