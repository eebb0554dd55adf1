// The Win32 window as the desktop sees it: built from the stored layout,
// driven by posted messages, read back through Win32 calls.
#include "app/win32/Win32Demo.h"
#include "app/win32/Win32MainWindow.h"
#include "bundle/ResourceBundle.h"
#include "form/MainFormLayout.h"
#include "hid/platform/windows/WindowsGuiLoop.h"
#include "imaging/ImageSlots.h"
#include "imaging/PngWriter.h"

#include <commctrl.h>
#include <shlobj.h>
#include <uxtheme.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

// Files of one test in a folder of their own, gone with it.
class TScratch {
  public:
    TScratch() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        FFolder = std::wstring(temp) + L"korvalis-window-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(FFolder.c_str(), nullptr);
    }
    ~TScratch() {
        for (const std::wstring& file : FFiles)
            DeleteFileW(file.c_str());
        RemoveDirectoryW(FFolder.c_str());
    }
    std::wstring Write(const std::wstring& name, const std::vector<uint8_t>& bytes) {
        const std::wstring path = FFolder + L"\\" + name;
        ::HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
        CloseHandle(file);
        FFiles.push_back(path);
        return path;
    }

  private:
    std::wstring FFolder;
    std::vector<std::wstring> FFiles;
};

// Square, so each fit mode places it differently; no two neighbours alike.
std::vector<uint8_t> SquarePng() {
    TRaster picture(400, 400);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x)
            picture.SetPixel(x, y, TColor{uint8_t(x), uint8_t(y), uint8_t(x ^ y)});
    return EncodePngRgb(picture);
}

// The list of files a drop carries, as the desktop hands it to the window.
HDROP MakeDrop(const std::vector<std::wstring>& paths) {
    size_t characters = 1; // the list ends with an empty name
    for (const std::wstring& path : paths)
        characters += path.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + characters * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->pt = {10, 10};
    drop->fWide = TRUE;
    auto* names = reinterpret_cast<wchar_t*>(drop + 1);
    for (const std::wstring& path : paths)
        names = std::copy(path.begin(), path.end(), names) + 1;
    GlobalUnlock(memory);
    return HDROP(memory);
}

void Drop(TWin32MainWindow& window, const char* picture, const std::vector<std::wstring>& paths) {
    PostMessageW(window.ControlHandle(picture), WM_DROPFILES, WPARAM(MakeDrop(paths)), 0);
}

// The tooltip of a component, read from the window's tooltip control.
std::string HintOf(TWin32MainWindow& window, const char* name) {
    wchar_t text[1024] = {};
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = window.Handle();
    tool.uId = UINT_PTR(window.ControlHandle(name));
    tool.lpszText = text;
    SendMessageW(window.ToolTipHandle(), TTM_GETTEXTW, 1024, LPARAM(&tool));
    return Utf8(text);
}

bool SameRaster(const TRaster& a, const TRaster& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return false;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y))
                return false;
    return true;
}

struct TStatusText : IStatusPanel {
    std::string Value;
    void SetText(const std::string& text) override { Value = text; }
    std::string Text() const override { return Value; }
};

// What the imaging API itself makes of a file for a slot, from a status text.
struct TExpected {
    TRaster Raster;
    TStatusText Status;
    TLoadOutcome Outcome;
    TExpected(const std::wstring& file, const std::string& status,
              const TPictureOptions& options = {}) {
        Status.Value = status;
        TRasterPictureControl picture;
        TSlotSource source;
        Outcome = LoadSlotFile(picture, Utf8(file), Status, source, options);
        Raster = picture.Picture();
    }
};

void PostKey(HWND window, WORD key) {
    PostMessageW(window, WM_KEYDOWN, key, 1);
    PostMessageW(window, WM_KEYUP, key, LPARAM(0xC0000001u));
}

// Presses the keys together as the keyboard would, the first ones held.
void Press(const std::vector<WORD>& keys) {
    std::vector<INPUT> inputs;
    for (const WORD key : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = *key;
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(UINT(inputs.size()), inputs.data(), sizeof(INPUT));
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
// layer posts) and a click or a file drop the user makes is thrown away, not
// run after it;
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

    TScratch scratch;
    const std::wstring file = scratch.Write(L"square.png", SquarePng());
    const TRaster img3 = window.PictureControl("img3").Picture();

    std::atomic<bool> clicked{false};
    std::thread user([&] {
        while (demo.Model().BundleReports() < 500)
            Sleep(1);
        click();
        Drop(window, "img3", {file});
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
    EXPECT_TRUE(SameRaster(window.PictureControl("img3").Picture(), img3)) << "a dropped file";
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(ranDuring, 0);
}

// A file dropped on a picture loads into that slot as Open... loads it (the
// name arrives in UTF-16); a file that does not read leaves the slot, says
// "Error loading image" and the status bar's tooltip names the file and the
// reader's reason; a drop of several files loads none. The desktop finds
// the picture under the cursor and sees that it takes drops.
TEST(Win32Window, AFileDroppedOnAPictureLoadsIntoThatSlot) {
    THidWindowsLoop loop;
    TWin32MainWindow window;
    window.SetQuitOnClose(false);
    window.Show();
    Settle(window, 100);
    TScratch scratch;
    const std::wstring good = scratch.Write(L"bild-\u00e4\u2713.png", SquarePng());
    const std::wstring bad = scratch.Write(L"kaputt.png", {'n', 'o', ' ', 'P', 'N', 'G'});
    struct TRow {
        const char* Picture;
        std::vector<std::wstring> Files;
        bool Loads;
    };
    const TRow rows[] = {
        {"img2", {good}, true},
        {"img3", {bad}, false},
        {"img1", {good, good}, false},
    };
    IStatusPanel& status = window.StatusPanel("stBar");
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Picture);
        HWND picture = window.ControlHandle(row.Picture);
        RECT r;
        GetWindowRect(picture, &r);
        EXPECT_EQ(WindowFromPoint({(r.left + r.right) / 2, (r.top + r.bottom) / 2}), picture);
        EXPECT_TRUE(GetWindowLongW(picture, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);

        const TRaster before = window.PictureControl(row.Picture).Picture();
        status.SetText("idle");
        Drop(window, row.Picture, row.Files);
        Settle(window, 200);

        const TRaster& after = window.PictureControl(row.Picture).Picture();
        if (row.Files.size() > 1) {
            EXPECT_TRUE(SameRaster(after, before));
            EXPECT_EQ(status.Text(), "idle");
            continue;
        }
        const TExpected expected(row.Files.front(), "idle");
        ASSERT_EQ(expected.Outcome.Failed, !row.Loads);
        EXPECT_EQ(status.Text(), expected.Status.Value);
        EXPECT_TRUE(SameRaster(after, row.Loads ? expected.Raster : before));
        EXPECT_EQ(HintOf(window, "stBar"),
                  row.Loads ? "" : expected.Outcome.FileName + ": " + expected.Outcome.Reason);
        if (!row.Loads) {
            EXPECT_EQ(status.Text(), kErrorLoadingImage);
            EXPECT_NE(expected.Outcome.Reason, "");
        }
    }
}

// A picture's menu, asked for by a right click on it or by the menu key or
// Shift+F10 on a button of its group, and walked with the keyboard:
// Fit > Contain draws that slot again as the imaging API draws it, and
// leaves the other slots alone.
TEST(Win32Window, APicturesMenuFitsOnlyItsSlot) {
    THidWindowsLoop loop;
    TWin32MainWindow window;
    window.SetQuitOnClose(false);
    window.Show();
    SetForegroundWindow(window.Handle());
    TScratch scratch;
    const std::wstring file = scratch.Write(L"square.png", SquarePng());
    const char* const pictures[] = {"img1", "img2", "img3"};
    for (const char* picture : pictures)
        Drop(window, picture, {file});
    Settle(window, 200);
    TPictureOptions contain;
    contain.Fit = TFitMode::Contain;
    const TExpected fitted(file, "");
    const TExpected contained(file, "", contain);
    ASSERT_FALSE(SameRaster(fitted.Raster, contained.Raster));
    const size_t containAt = size_t(
        std::find(FitModes().begin(), FitModes().end(), TFitMode::Contain) - FitModes().begin());

    enum class TAsk { RightClick, MenuKey, ShiftF10 };
    struct TRow {
        const char* Picture;
        TAsk Ask;
        // The button that has the focus when the keyboard asks.
        const char* Focus;
    };
    const TRow rows[] = {
        {"img2", TAsk::RightClick, nullptr},
        {"img3", TAsk::MenuKey, "btn3Open"},
        {"img1", TAsk::ShiftF10, "btn1Def"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Picture);
        std::map<std::string, TRaster> before;
        for (const char* picture : pictures)
            before.emplace(picture, window.PictureControl(picture).Picture());
        ASSERT_TRUE(SameRaster(before.at(row.Picture), fitted.Raster));

        // Down to Fit, into it, down to Contain, choose. Queued behind the
        // request, they reach the menu once it is open.
        std::vector<WORD> walk{VK_DOWN, VK_DOWN, VK_RIGHT};
        walk.insert(walk.end(), containAt, VK_DOWN);
        walk.push_back(VK_RETURN);
        if (row.Focus)
            SetFocus(window.ControlHandle(row.Focus));
        if (row.Ask == TAsk::ShiftF10) {
            // Typed: Shift must be down as the window reads the key.
            Press({VK_SHIFT, VK_F10});
            for (const WORD key : walk)
                Press({key});
        } else {
            if (row.Ask == TAsk::MenuKey) {
                PostKey(window.ControlHandle(row.Focus), VK_APPS);
            } else {
                HWND picture = window.ControlHandle(row.Picture);
                PostMessageW(picture, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(20, 20));
                PostMessageW(picture, WM_RBUTTONUP, 0, MAKELPARAM(20, 20));
            }
            for (const WORD key : walk)
                PostKey(window.Handle(), key);
        }
        Settle(window, 300);

        for (const char* picture : pictures) {
            SCOPED_TRACE(picture);
            const TRaster& now = window.PictureControl(picture).Picture();
            EXPECT_TRUE(SameRaster(now, picture == std::string(row.Picture) ? contained.Raster
                                                                            : before.at(picture)));
        }
    }
}

// Ctrl with a slot's digit runs that slot's Open... and Ctrl+U the upload,
// from wherever the focus is in the active window; the digit alone, or with
// Ctrl and Alt (AltGr), does nothing.
TEST(Win32Window, CtrlDigitOpensForItsSlotAndCtrlUUploads) {
    THidWindowsLoop loop;
    TKorvalisDeviceModel::TOptions options;
    TWin32Demo demo(options);
    TWin32MainWindow& window = demo.MainWindow();
    window.SetQuitOnClose(false);
    demo.Show();
    SetForegroundWindow(window.Handle());
    IStatusPanel& status = window.StatusPanel("stBar");
    ASSERT_TRUE(Pump(
        window, [&] { return status.Text() == "Connected"; }, 10000))
        << status.Text();
    TScratch scratch;
    struct TDialog : IOpenDialog {
        int Runs = 0;
        std::string File;
        std::optional<std::string> Execute() override {
            ++Runs;
            return File;
        }
    } dialog;
    dialog.File = Utf8(scratch.Write(L"square.png", SquarePng()));
    window.Form().SetOpenDialog(&dialog);
    const TExpected loaded(Utf16(dialog.File), "");

    struct TRow {
        std::vector<WORD> Keys;
        const char* Loads; // the slot's picture, or none
        bool Uploads;
    };
    const TRow rows[] = {
        {{VK_CONTROL, '3'}, "img3", false},           {{'2'}, nullptr, false},
        {{VK_CONTROL, VK_MENU, '2'}, nullptr, false}, {{VK_CONTROL, '1'}, "img1", false},
        {{VK_CONTROL, 'U'}, nullptr, true},
    };
    const char* const pictures[] = {"img1", "img2", "img3"};
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::string(1, char(row.Keys.back())) + " after " +
                     std::to_string(row.Keys.size() - 1) + " modifiers");
        std::map<std::string, TRaster> before;
        for (const char* picture : pictures)
            before.emplace(picture, window.PictureControl(picture).Picture());
        const int runs = dialog.Runs;
        status.SetText("idle");
        Press(row.Keys);
        if (row.Uploads)
            EXPECT_TRUE(Pump(
                window, [&] { return status.Text() == "Upload succeeded"; }, 30000))
                << status.Text();
        else
            Settle(window, 300);
        EXPECT_EQ(dialog.Runs, runs + (row.Loads ? 1 : 0));
        for (const char* picture : pictures) {
            SCOPED_TRACE(picture);
            const bool loads = row.Loads && picture == std::string(row.Loads);
            EXPECT_TRUE(SameRaster(window.PictureControl(picture).Picture(),
                                   loads ? loaded.Raster : before.at(picture)));
        }
        if (!row.Uploads && !row.Loads) {
            EXPECT_EQ(status.Text(), "idle");
        }
    }
    window.Form().SetOpenDialog(nullptr);
}
