// The GUI loop on Windows: a message-only window runs the posted calls, the
// one-shot timers and the reader's hand-offs, whoever pumps the messages.
#include "hid/HidControllerClass.h"
#include "hid/platform/windows/WindowsGuiLoop.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvalis::testing {
namespace {

using TClock = std::chrono::steady_clock;

TEST(WindowsGuiLoop, PostedCallsRunInOrderAlsoInsideANestedRun) {
    THidWindowsLoop loop;
    ASSERT_NE(loop.Window(), nullptr);
    std::vector<std::string> log;
    const auto add = [&](const char* s) { return [&log, s] { log.push_back(s); }; };
    loop.Post(add("1"));
    std::thread([&] { loop.Post(add("2")); }).join();
    loop.Post([&] {
        log.push_back("3<");
        loop.Post(add("5"));
        // A handler that runs the loop: what was posted before goes on in order.
        loop.RunUntil([&] { return log.back() == "5"; }, 2000);
        log.push_back("3>");
    });
    std::thread([&] { loop.Post(add("4")); }).join();
    EXPECT_TRUE(loop.RunUntil([&] { return !log.empty() && log.back() == "3>"; }, 3000));
    EXPECT_EQ(log, (std::vector<std::string>{"1", "2", "3<", "4", "5", "3>"}));
    // What a call posts waits for the next turn: one that posts itself again
    // cannot keep a turn going.
    int runs = 0;
    std::function<void()> again = [&] {
        if (++runs < 100)
            loop.Post(again);
    };
    loop.Post(again);
    EXPECT_TRUE(loop.ProcessEvents(0));
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(loop.RunUntil([&] { return runs == 100; }, 3000));
    EXPECT_TRUE(loop.OnGuiThread());
    bool other = true;
    std::thread([&] { other = loop.OnGuiThread(); }).join();
    EXPECT_FALSE(other);
}

TEST(WindowsGuiLoop, TimersRunOnceAndNeverEarly) {
    THidWindowsLoop loop;
    for (const int ms : {0, 25, 120}) {
        SCOPED_TRACE(ms);
        int runs = 0;
        const auto start = TClock::now();
        TClock::duration took{};
        loop.PostDelayed(ms, [&] {
            ++runs;
            took = TClock::now() - start;
        });
        loop.RunFor(ms + 250);
        EXPECT_EQ(runs, 1);
        EXPECT_GE(took, std::chrono::milliseconds(ms));
    }
}

TEST(WindowsGuiLoop, ReaderHandOffWaitsForTheGuiThreadAndRaisesItsErrorThere) {
    THidWindowsLoop loop;
    const DWORD gui = GetCurrentThreadId();
    DWORD ranOn = 0;
    std::string caught;
    bool done = false;
    std::thread reader([&] {
        TCustomThread::Synchronize([&] { ranOn = GetCurrentThreadId(); });
        try {
            TCustomThread::Synchronize([] { throw std::runtime_error("from the handler"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        loop.Post([&] { done = true; });
    });
    EXPECT_TRUE(loop.RunUntil([&] { return done; }, 3000));
    reader.join();
    EXPECT_EQ(ranOn, gui);
    EXPECT_EQ(caught, "from the handler");
}

struct TForeignWindow {
    static inline std::vector<UINT> Seen;
    static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        if (m >= WM_APP)
            Seen.push_back(m);
        return DefWindowProcW(w, m, wp, lp);
    }
    HWND Window = nullptr;
    TForeignWindow() {
        WNDCLASSW c{};
        c.lpfnWndProc = &Proc;
        c.hInstance = GetModuleHandleW(nullptr);
        c.lpszClassName = L"KorvalisTestForeignWindow";
        RegisterClassW(&c);
        Window = CreateWindowExW(0, c.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 c.hInstance, nullptr);
    }
    ~TForeignWindow() { DestroyWindow(Window); }
};

TEST(WindowsGuiLoop, SharesTheThreadsMessagesWithTheProgramsOwnWindowsAndLoop) {
    THidWindowsLoop loop;
    TForeignWindow foreign;
    ASSERT_NE(foreign.Window, nullptr);
    TForeignWindow::Seen.clear();

    // Our runs dispatch the program's window messages too.
    PostMessageW(foreign.Window, WM_APP + 1, 0, 0);
    EXPECT_TRUE(loop.RunUntil([&] { return !TForeignWindow::Seen.empty(); }, 1000));

    // A program's own GetMessage loop runs our calls and timers by dispatching.
    std::vector<std::string> log;
    loop.Post([&] { log.push_back("posted"); });
    loop.PostDelayed(20, [&] {
        log.push_back("timer");
        PostQuitMessage(7);
    });
    const UINT_PTR watchdog = SetTimer(nullptr, 0, 3000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr)
            break;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    KillTimer(nullptr, watchdog);
    EXPECT_EQ(msg.message, UINT(WM_QUIT));
    EXPECT_EQ(log, (std::vector<std::string>{"posted", "timer"}));

    // A WM_QUIT stays for the program's loop to see.
    PostQuitMessage(3);
    loop.ProcessEvents(50);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, WPARAM(3));
}

} // namespace
} // namespace korvalis::testing
