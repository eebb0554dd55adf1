#include "WindowsGuiLoop.h"

#include <windows.h>

#include <algorithm>
#include <chrono>

namespace korvalis {

namespace {

// Each posted call sends one wake; its lParam is the call's sequence number,
// so a turn of ProcessEvents can tell the calls posted during it.
constexpr UINT kWake = WM_APP + 0x4B;
constexpr wchar_t kClassName[] = L"KorvalisHidGuiLoop";

uint64_t NowMs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

} // namespace

intptr_t __stdcall THidWindowsLoop::WindowProc(HWND__* window, unsigned message, uintptr_t wParam,
                                               intptr_t lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<THidWindowsLoop*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == kWake) {
        self->RunPosted();
        return 0;
    }
    if (self && message == WM_TIMER) {
        self->RunTimer(wParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

THidWindowsLoop::THidWindowsLoop() : FThread(GetCurrentThreadId()) {
    static const ATOM windowClass [[maybe_unused]] = [] {
        WNDCLASSEXW c{};
        c.cbSize = sizeof c;
        c.lpfnWndProc = &THidWindowsLoop::WindowProc;
        c.hInstance = GetModuleHandleW(nullptr);
        c.lpszClassName = kClassName;
        return RegisterClassExW(&c);
    }();
    FWindow = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), this);
    InstallHidGuiLoop(this);
}

THidWindowsLoop::~THidWindowsLoop() {
    ReleaseHidGuiLoop(this);
    for (const auto& timer : FTimers)
        KillTimer(FWindow, timer.first);
    if (FWindow) {
        SetWindowLongPtrW(FWindow, GWLP_USERDATA, 0);
        DestroyWindow(FWindow);
    }
}

void THidWindowsLoop::Post(std::function<void()> call) {
    std::lock_guard lock(FLock);
    FPosted.push_back(std::move(call));
    // A wake that cannot be posted (a full queue) is made up for by the next
    // wake or turn, which runs what is left over.
    if (PostMessageW(FWindow, kWake, 0, LPARAM(FPostSequence)))
        ++FWakesPending;
    ++FPostSequence;
}

void THidWindowsLoop::RunPosted() {
    // One call per wake, from the front: a nested loop run by the call goes
    // on with the next in order, and what it posts comes after.
    std::function<void()> call;
    {
        std::lock_guard lock(FLock);
        if (FWakesPending > 0)
            --FWakesPending;
        if (FPosted.empty())
            return;
        call = std::move(FPosted.front());
        FPosted.pop_front();
    }
    call();
    for (;;) {
        {
            std::lock_guard lock(FLock);
            if (FPosted.size() <= FWakesPending)
                return;
            call = std::move(FPosted.front());
            FPosted.pop_front();
        }
        call();
    }
}

void THidWindowsLoop::PostDelayed(int milliseconds, std::function<void()> call) {
    if (!OnGuiThread()) {
        // A window's timers can be set only by its own thread.
        Post([this, milliseconds, call = std::move(call)]() mutable {
            PostDelayed(milliseconds, std::move(call));
        });
        return;
    }
    const uint64_t wait = uint64_t(std::max(milliseconds, 0));
    const uintptr_t id = FNextTimer++;
    FTimers[id] = TTimer{NowMs() + wait, std::move(call)};
    SetTimer(FWindow, id, UINT(std::max<uint64_t>(wait, USER_TIMER_MINIMUM)), nullptr);
}

void THidWindowsLoop::RunTimer(uintptr_t id) {
    auto timer = FTimers.find(id);
    if (timer == FTimers.end()) {
        KillTimer(FWindow, id);
        return;
    }
    // The system's timers may fire a tick early; such a one waits out the rest.
    const uint64_t now = NowMs();
    if (now < timer->second.Due) {
        SetTimer(FWindow, id, UINT(std::max<uint64_t>(timer->second.Due - now, USER_TIMER_MINIMUM)),
                 nullptr);
        return;
    }
    KillTimer(FWindow, id);
    std::function<void()> call = std::move(timer->second.Call);
    FTimers.erase(timer);
    call();
}

bool THidWindowsLoop::OnGuiThread() const {
    return GetCurrentThreadId() == FThread;
}

bool THidWindowsLoop::DispatchTurn(uint64_t limit) {
    bool ran = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        // Calls posted during this turn wait for the next one, so a call that
        // posts itself again cannot keep the turn going for ever; WM_QUIT is
        // the program's own loop's to take.
        if (msg.message == WM_QUIT ||
            (msg.hwnd == FWindow && msg.message == kWake && uint64_t(msg.lParam) >= limit))
            break;
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        ran = true;
    }
    std::unique_lock lock(FLock);
    // Calls whose wake could not be posted.
    while (FPosted.size() > FWakesPending) {
        std::function<void()> call = std::move(FPosted.front());
        FPosted.pop_front();
        lock.unlock();
        call();
        ran = true;
        lock.lock();
    }
    return ran;
}

bool THidWindowsLoop::ProcessEvents(int milliseconds) {
    const uint64_t end = NowMs() + uint64_t(std::max(milliseconds, 0));
    for (;;) {
        uint64_t limit;
        {
            std::lock_guard lock(FLock);
            limit = FPostSequence;
        }
        if (DispatchTurn(limit))
            return true;
        MSG msg;
        if (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE))
            return false;
        const uint64_t now = NowMs();
        if (now >= end)
            return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(end - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

bool THidWindowsLoop::RunUntil(const std::function<bool()>& pred, int milliseconds) {
    const uint64_t end = NowMs() + uint64_t(std::max(milliseconds, 0));
    while (!pred() && NowMs() < end)
        ProcessEvents(5);
    return pred();
}

void THidWindowsLoop::RunFor(int milliseconds) {
    const uint64_t end = NowMs() + uint64_t(std::max(milliseconds, 0));
    for (uint64_t now = NowMs(); now < end; now = NowMs())
        ProcessEvents(int(end - now));
}

} // namespace korvalis
