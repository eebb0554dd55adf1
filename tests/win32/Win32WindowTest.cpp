// The Win32 window as the desktop sees it: built from the stored layout,
// driven by posted messages, read back through Win32 calls.
#include "app/win32/Win32Demo.h"
#include "app/win32/Win32MainWindow.h"
#include "bundle/ResourceBundle.h"
#include "form/MainFormLayout.h"
#include "hid/platform/windows/WindowsGuiLoop.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>

using namespace korvalis;

namespace {

// Runs the thread's messages, the HID loop's among them, as the programs'
// loop does, until pred holds.
bool Pump(TWin32MainWindow& window, const std::function<bool()>& pred, DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        ProcessMessages(window);
        if (pred())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

int Min(int a, int b) {
    return a < b ? a : b;
}

void Settle(TWin32MainWindow& window, DWORD milliseconds = 300) {
    Pump(
        window, [] { return false; }, milliseconds);
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
    THidWindowsLoop loop;
    TWin32MainWindow window;
    window.SetQuitOnClose(false);
    // As built, before the device controller's first pass (posted, not yet
    // run) sets the Upload button by what it finds.
    window.Show();
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
        if (row.Kind == TComponentKind::OpenDialog) {
            // Its filter offers exactly the patterns its description names.
            auto& dialog = dynamic_cast<TWin32OpenDialog&>(window.OpenDialog(row.Name));
            EXPECT_EQ(Utf8(dialog.Title()), row.Caption);
            const std::string filter = Utf8(dialog.Filter());
            const std::string description = filter.substr(0, filter.find('\0'));
            const size_t open = description.find('(');
            ASSERT_NE(open, std::string::npos) << description;
            EXPECT_EQ(filter, description + '\0' +
                                  description.substr(open + 1, description.size() - open - 2) +
                                  '\0');
            EXPECT_EQ(description, OpenImageFilter());
        }
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
            const HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
            EXPECT_NE(icon, nullptr);
            EXPECT_EQ(HICON(GetClassLongPtrW(handle, GCLP_HICON)), icon);
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

// A picture shows each raster pixel as a whole block of device pixels at the
// window's dots per inch, by nearest neighbour: no pixel of the screen is a
// blend of two of the picture's.
TEST(Win32Window, PicturesStaySharpAtTheWindowsDotsPerInch) {
    THidWindowsLoop loop;
    TWin32MainWindow window;
    window.SetQuitOnClose(false);
    window.Show();
    IPictureControl& img2 = window.PictureControl("img2");
    TRaster& picture = img2.Picture();
    // One-pixel stripes and a checkerboard: the finest detail there is.
    for (int y = 0; y < picture.Height(); ++y)
        for (int x = 0; x < picture.Width(); ++x)
            picture.SetPixel(x, y, (y < 160 ? x : x + y) % 2 ? clWhite : TColor{0, 0, 255});
    img2.PictureChanged();
    Settle(window, 100);

    HWND control = window.ControlHandle("img2");
    RECT client;
    GetClientRect(control, &client);
    const int dpi = window.Dpi();
    ASSERT_EQ(client.right, ScaleForDpi(240, dpi));
    HDC dc = GetDC(control);
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP shot = CreateCompatibleBitmap(dc, client.right, client.bottom);
    HGDIOBJ old = SelectObject(memory, shot);
    PrintWindow(control, memory, PW_CLIENTONLY);
    int wrong = 0;
    for (int y = 0; y < client.bottom; y += 3)
        for (int x = 0; x < client.right; ++x) {
            const TColor want = picture.Pixel(Min(x * 96 / dpi, 239), Min(y * 96 / dpi, 319));
            const COLORREF got = GetPixel(memory, x, y);
            wrong += got != RGB(want.r, want.g, want.b);
        }
    SelectObject(memory, old);
    DeleteObject(shot);
    DeleteDC(memory);
    ReleaseDC(control, dc);
    EXPECT_EQ(wrong, 0) << "at " << dpi << " dots per inch";
}

// With visual styles on, the keyboard cues stay hidden until ALT; ALT shows
// them and the keyboard-cue fix repaints the seven buttons, and nothing else
// of the window.
TEST(Win32Window, AltShowsTheCuesAndRepaintsTheButtons) {
    THidWindowsLoop loop;
    TWin32MainWindow window;
    window.SetQuitOnClose(false);
    ASSERT_TRUE(TWin32VisualStyles().Active()) << "the Wine prefix has no theme active";
    window.Show();
    SetForegroundWindow(window.Handle());
    Settle(window);

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
    Settle(window);

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

// The demo from start to "Upload succeeded", driven by posted clicks as a
// user's would arrive: the emulated device is plugged in, passes the
// firmware check, takes the bundle, and its device screen shows on the
// desktop the pictures the window's slots hold.
TEST(Win32Window, DemoUploadsAndItsDeviceScreenShowsThePictures) {
    THidWindowsLoop loop;
    TKorvalisDeviceModel::TOptions options; // answers at once
    TWin32Demo demo(options);
    TWin32MainWindow& window = demo.MainWindow();
    window.SetQuitOnClose(false);
    demo.Show();
    IStatusPanel& status = window.StatusPanel("stBar");
    ASSERT_TRUE(Pump(
        window, [&] { return status.Text() == "Connected"; }, 10000))
        << status.Text();

    PostMessageW(window.ControlHandle("btnUpload"), BM_CLICK, 0, 0);
    ASSERT_TRUE(Pump(
        window,
        [&] {
            return status.Text() == "Upload succeeded" &&
                   demo.Screen().Caption().find(L"upload complete") != std::wstring::npos;
        },
        30000))
        << status.Text();
    EXPECT_FALSE(IsWindowVisible(window.ControlHandle("pb1")));
    EXPECT_TRUE(IsWindowEnabled(window.ControlHandle("btnUpload")));
    Settle(window, 200);

    // What the device screen paints, read back from its window.
    HWND screen = demo.Screen().Handle();
    RECT client;
    GetClientRect(screen, &client);
    HDC dc = GetDC(screen);
    HDC memory = CreateCompatibleDC(dc);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP shot = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, shot);
    PrintWindow(screen, memory, PW_CLIENTONLY);
    const auto shown = [&](int x, int y) {
        const uint32_t p = static_cast<const uint32_t*>(bits)[y * client.right + x];
        return TColor{uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)};
    };

    const std::vector<uint8_t> received = demo.Model().ReceivedBundle();
    const auto sent = window.Form().Bundle().Data();
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), sent.begin()));
    const int dpi = int(GetDpiForWindow(screen));
    for (size_t slot = 0; slot < kSlotCount; ++slot) {
        SCOPED_TRACE(kSlots[slot].Name);
        // The slot's picture as the device holds it (RGB565), at half size:
        // each shown pixel is one of the 2 x 2 it stands for.
        const TRaster device = BundlePicture(sent, int(slot));
        const TRaster& held = demo.Screen().Picture(int(slot));
        EXPECT_EQ(held.Width(), 240);
        int matching = 0;
        int total = 0;
        for (int y = 0; y < 160; y += 7)
            for (int x = 0; x < 120; x += 5) {
                const int sx = ScaleForDpi(8 + int(slot) * 128 + x, dpi);
                const int sy = ScaleForDpi(18 + y, dpi);
                const TColor c = shown(sx, sy);
                bool any = false;
                for (int dy = 0; dy < 2; ++dy)
                    for (int dx = 0; dx < 2; ++dx)
                        any = any || device.Pixel(2 * x + dx, 2 * y + dy) == c;
                matching += any;
                ++total;
            }
        EXPECT_GE(matching * 100, total * 98) << matching << " of " << total;
    }
    SelectObject(memory, old);
    DeleteObject(shot);
    DeleteDC(memory);
    ReleaseDC(screen, dc);
}

// While the upload runs no other handler does (a due timer, a call the HID
// layer posts) and a click the user makes is thrown away, not run after it;
// the same click on an idle window runs at once.
TEST(Win32Window, TheUploadRunsNoOtherHandlerAndDropsInput) {
    THidWindowsLoop loop;
    TKorvalisDeviceModel::TOptions options;
    options.ReportDelayMicroseconds = 50; // long enough to click into
    TWin32Demo demo(options);
    TWin32MainWindow& window = demo.MainWindow();
    window.SetQuitOnClose(false);
    demo.Show();
    IStatusPanel& status = window.StatusPanel("stBar");
    ASSERT_TRUE(Pump(
        window, [&] { return status.Text() == "Connected"; }, 10000))
        << status.Text();

    int clicks = 0;
    window.Button("btn3Clr").SetOnClick([&] { ++clicks; });
    HWND target = window.ControlHandle("btn3Clr");
    const auto click = [target] {
        PostMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
        PostMessageW(target, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    };
    click();
    Settle(window, 200);
    ASSERT_EQ(clicks, 1) << "a click on the idle window";

    // Handlers that note whether they ran in the middle of the upload.
    int ranDuring = 0;
    int ran = 0;
    const auto handler = [&] {
        ++ran;
        ranDuring += status.Text() == "Uploading resources...";
    };
    TWin32Timer timer;
    timer.SetInterval(1);
    timer.SetOnTimer([&] {
        timer.SetEnabled(false);
        handler();
    });

    std::atomic<bool> clicked{false};
    std::thread user([&] {
        while (demo.Model().BundleReports() < 500)
            Sleep(1);
        click();
        loop.Post(handler);
        clicked = true;
    });
    timer.SetEnabled(true);
    PostMessageW(window.ControlHandle("btnUpload"), BM_CLICK, 0, 0);
    const bool done = Pump(
        window, [&] { return status.Text() == "Upload succeeded"; }, 30000);
    user.join();
    ASSERT_TRUE(done) << status.Text();
    ASSERT_TRUE(clicked);
    EXPECT_TRUE(demo.Model().BundleComplete());
    Settle(window, 300);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(ranDuring, 0);
}
