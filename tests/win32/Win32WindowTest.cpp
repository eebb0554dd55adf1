// The Win32 window as the desktop sees it: built from the stored layout,
// driven by posted messages, read back through Win32 calls.
#include "app/win32/Win32Demo.h"
#include "app/win32/Win32MainWindow.h"
#include "form/MainFormLayout.h"
#include "hid/PlainGuiLoop.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

using namespace korvalis;

namespace {

// Runs the window's messages and the HID loop's calls until pred holds.
bool Pump(TWin32MainWindow& window, THidPlainLoop& loop, const std::function<bool()>& pred,
          DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        ProcessMessages(window);
        loop.ProcessEvents(0);
        if (pred())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void Settle(TWin32MainWindow& window, THidPlainLoop& loop, DWORD milliseconds = 300) {
    Pump(
        window, loop, [] { return false; }, milliseconds);
}

RECT RectIn(HWND window, HWND parent) {
    RECT r;
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string TextOf(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return Utf8(text);
}

// Counts the paints of every window it watches, and the keyboard-cue
// updates that reveal accelerators and focus rectangles.
std::map<HWND, int> gPaints;
std::map<HWND, int> gCuesShown;
LRESULT CALLBACK CountPaints(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                             DWORD_PTR) {
    if (message == WM_PAINT)
        ++gPaints[window];
    if (message == WM_UPDATEUISTATE && LOWORD(wParam) == UIS_CLEAR &&
        (HIWORD(wParam) & (UISF_HIDEACCEL | UISF_HIDEFOCUS)) == (UISF_HIDEACCEL | UISF_HIDEFOCUS))
        ++gCuesShown[window];
    return DefSubclassProc(window, message, wParam, lParam);
}

} // namespace

// Every component of the layout lies where the layout says, at 96 dots per
// inch and scaled at any other, in the parent the layout names, with its
// caption, visibility, the window's font, fixed border and keyboard order.
TEST(Win32Window, BuildsEveryComponentOfTheStoredLayout) {
    THidPlainLoop loop;
    TWin32MainWindow window;
    window.SetQuitOnClose(false);
    window.Show();
    Settle(window, loop, 100);
    const int dpi = window.Dpi();
    const auto scale = [dpi](int value) { return ScaleForDpi(value, dpi); };

    std::vector<std::string> keyboardOrder;
    const auto tabOrderOf = [&](const auto& self, const char* parent) -> void {
        std::vector<const TComponentLayout*> children;
        for (const TComponentLayout& row : MainFormLayout())
            if (row.Parent && std::string(row.Parent) == parent && row.TabOrder >= 0)
                children.push_back(&row);
        std::stable_sort(children.begin(), children.end(),
                         [](auto* a, auto* b) { return a->TabOrder < b->TabOrder; });
        for (const TComponentLayout* row : children)
            if (row->Kind == TComponentKind::Button)
                keyboardOrder.push_back(row->Name);
            else
                self(self, row->Name);
    };
    tabOrderOf(tabOrderOf, MainFormLayout().front().Name);

    for (const TComponentLayout& row : MainFormLayout()) {
        SCOPED_TRACE(row.Name);
        HWND handle = window.ControlHandle(row.Name);
        if (row.Kind == TComponentKind::OpenDialog || row.Kind == TComponentKind::Timer) {
            EXPECT_EQ(handle, nullptr);
            continue;
        }
        ASSERT_NE(handle, nullptr);
        if (row.Kind == TComponentKind::Form) {
            RECT client;
            GetClientRect(handle, &client);
            EXPECT_EQ(client.right, scale(row.Width));
            EXPECT_EQ(client.bottom, scale(row.Height));
            EXPECT_EQ(TextOf(handle), row.Caption);
            const LONG style = GetWindowLongW(handle, GWL_STYLE);
            EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
                      WS_SYSMENU | WS_MINIMIZEBOX);
            RECT frame;
            GetWindowRect(handle, &frame);
            MONITORINFO monitor{};
            monitor.cbSize = sizeof monitor;
            GetMonitorInfoW(MonitorFromWindow(handle, MONITOR_DEFAULTTOPRIMARY), &monitor);
            EXPECT_NEAR(frame.left + frame.right, monitor.rcWork.left + monitor.rcWork.right, 1);
            EXPECT_NEAR(frame.top + frame.bottom, monitor.rcWork.top + monitor.rcWork.bottom, 1);
            continue;
        }
        HWND parent = window.ControlHandle(row.Parent);
        EXPECT_EQ(GetParent(handle), parent);
        const RECT r = RectIn(handle, parent);
        EXPECT_EQ(r.left, scale(row.Left));
        EXPECT_EQ(r.top, scale(row.Top));
        EXPECT_EQ(r.right - r.left, scale(row.Width));
        EXPECT_EQ(r.bottom - r.top, scale(row.Height));
        EXPECT_EQ(bool(IsWindowVisible(handle)), row.Visible);
        EXPECT_EQ(bool(IsWindowEnabled(handle)), row.Enabled);
        if (row.Kind == TComponentKind::Button || row.Kind == TComponentKind::GroupBox) {
            EXPECT_EQ(TextOf(handle), row.Caption);
            LOGFONTW font{};
            GetObjectW(HFONT(SendMessageW(handle, WM_GETFONT, 0, 0)), sizeof font, &font);
            EXPECT_STREQ(font.lfFaceName, L"Tahoma");
            EXPECT_EQ(font.lfHeight, -MulDiv(8, dpi, 72));
        }
        if (row.Kind == TComponentKind::StatusBar) {
            int parts[4] = {};
            ASSERT_EQ(SendMessageW(handle, SB_GETPARTS, 4, LPARAM(parts)), 1);
            EXPECT_EQ(parts[0], scale(row.Value));
            EXPECT_FALSE(GetWindowLongW(handle, GWL_STYLE) & SBARS_SIZEGRIP);
        }
        if (row.Kind == TComponentKind::ProgressBar) {
            // Above every sibling, so it shows over the status bar.
            EXPECT_EQ(GetWindow(parent, GW_CHILD), handle);
        }
    }

    std::vector<std::string> walked;
    HWND first = GetNextDlgTabItem(window.Handle(), nullptr, FALSE);
    for (HWND item = first; item && walked.size() < 20;) {
        for (const TComponentLayout& row : MainFormLayout())
            if (window.ControlHandle(row.Name) == item)
                walked.push_back(row.Name);
        item = GetNextDlgTabItem(window.Handle(), item, FALSE);
        if (item == first)
            break;
    }
    EXPECT_EQ(walked, keyboardOrder);
}

// With visual styles on, the keyboard cues stay hidden until ALT; ALT shows
// them and the keyboard-cue fix repaints the seven buttons, and nothing else
// of the window.
TEST(Win32Window, AltShowsTheCuesAndRepaintsTheButtons) {
    THidPlainLoop loop;
    TWin32MainWindow window;
    window.SetQuitOnClose(false);
    ASSERT_TRUE(TWin32VisualStyles().Active()) << "the Wine prefix has no theme active";
    window.Show();
    SetForegroundWindow(window.Handle());
    Settle(window, loop);

    std::set<HWND> buttons;
    std::map<HWND, std::string> names;
    for (const TComponentLayout& row : MainFormLayout()) {
        HWND handle = window.ControlHandle(row.Name);
        if (!handle || handle == window.Handle())
            continue;
        names[handle] = row.Name;
        if (row.Kind == TComponentKind::Button)
            buttons.insert(handle);
        SetWindowSubclass(handle, &CountPaints, 1, 0);
    }
    ASSERT_EQ(buttons.size(), 7u);
    gPaints.clear();
    gCuesShown.clear();
    HWND focus = GetFocus();
    ASSERT_TRUE(focus && IsChild(window.Handle(), focus));
    PostMessageW(focus, WM_SYSKEYDOWN, VK_MENU, 0x20380001);
    PostMessageW(focus, WM_SYSKEYUP, VK_MENU, LPARAM(0xC0380001u));
    Settle(window, loop);

    std::set<std::string> painted;
    for (const auto& [handle, count] : gPaints)
        if (count > 0)
            painted.insert(names[handle]);
    std::set<std::string> expected;
    for (HWND button : buttons) {
        expected.insert(names[button]);
        // Where the desktop keeps the state, it now says the cues show.
        EXPECT_EQ(SendMessageW(button, WM_QUERYUISTATE, 0, 0) & (UISF_HIDEACCEL | UISF_HIDEFOCUS),
                  0)
            << names[button];
        EXPECT_GT(gCuesShown[button], 0) << names[button];
    }
    EXPECT_EQ(painted, expected);
    for (const auto& [handle, name] : names)
        RemoveWindowSubclass(handle, &CountPaints, 1);
}
