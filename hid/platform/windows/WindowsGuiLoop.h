#pragma once

// The GUI loop on Windows: a message-only window made by the thread that
// constructs the loop. Posted calls wake it with a window message, delayed
// calls are one-shot window timers, so whatever pumps the thread's messages
// runs them: a program with a message loop of its own (a window's
// GetMessage/DispatchMessage loop) needs nothing more than to dispatch
// messages; the command-line tool and the tests run RunUntil, RunFor or
// ProcessEvents instead. It installs itself for its lifetime.

#include "hid/HidGuiLoop.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

struct HWND__; // the window handle type of <windows.h>, without including it here

namespace korvalis {

class THidWindowsLoop final : public IHidGuiLoop {
  public:
    // The calling thread becomes the GUI thread and owns the window.
    THidWindowsLoop();
    ~THidWindowsLoop() override;
    THidWindowsLoop(const THidWindowsLoop&) = delete;
    THidWindowsLoop& operator=(const THidWindowsLoop&) = delete;

    void Post(std::function<void()> call) override;
    void PostDelayed(int milliseconds, std::function<void()> call) override;
    bool OnGuiThread() const override;

    // GUI thread: dispatches every message of the thread (the loop's own and
    // any other window's) until pred holds or the time is up; answers pred.
    // Handlers may run it again inside a call.
    bool RunUntil(const std::function<bool()>& pred, int milliseconds);
    void RunFor(int milliseconds);
    // GUI thread: dispatches what is queued now, waiting at most milliseconds
    // for something to arrive; answers whether anything was dispatched. A
    // WM_QUIT is left in the queue for the program's own loop.
    bool ProcessEvents(int milliseconds = 0);

    // The message-only window the posted calls and timers arrive at.
    HWND__* Window() const { return FWindow; }

  private:
    struct TTimer {
        uint64_t Due; // milliseconds of the steady clock
        std::function<void()> Call;
    };
    static intptr_t __stdcall WindowProc(HWND__* window, unsigned message, uintptr_t wParam,
                                         intptr_t lParam);
    void RunPosted();
    void RunTimer(uintptr_t id);
    bool DispatchTurn(uint64_t limit);

    const uint32_t FThread;
    HWND__* FWindow = nullptr;
    std::mutex FLock;
    std::deque<std::function<void()>> FPosted;
    uint64_t FPostSequence = 0; // guarded by FLock
    size_t FWakesPending = 0;   // guarded by FLock: wake messages in the queue
    std::map<uintptr_t, TTimer> FTimers;
    uintptr_t FNextTimer = 1;
};

} // namespace korvalis
