#include "Win32Toolkit.h"

#include "imaging/PictureFile.h"

#include <commctrl.h>
#include <commdlg.h>
#include <uxtheme.h>

#include <windowsx.h>

#include <algorithm>
#include <iterator>
#include <map>

namespace korvalis {

int ScaleForDpi(int value, int dpi) {
    return MulDiv(value, dpi, USER_DEFAULT_SCREEN_DPI);
}

int WindowDpi(HWND window) {
    const UINT dpi = GetDpiForWindow(window);
    return dpi ? int(dpi) : USER_DEFAULT_SCREEN_DPI;
}

RECT WorkArea(HWND window) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    return monitor.rcWork;
}

void DrawRaster(HDC dc, int x, int y, int width, int height, const TRaster& raster) {
    // A DIB's rows are 24-bit and padded to whole words; top-down here.
    const TRaster* shown = &raster;
    TRaster wide;
    if (raster.PixelFormat() != TPixelFormat::pf24bit) {
        wide = raster;
        wide.SetPixelFormat(TPixelFormat::pf24bit);
        shown = &wide;
    }
    const int w = shown->Width();
    const int h = shown->Height();
    const size_t stride = (size_t(w) * 3 + 3) & ~size_t{3};
    const uint8_t* bits = shown->Bits();
    std::vector<uint8_t> padded;
    if (stride != shown->Stride()) {
        padded.resize(stride * size_t(h));
        for (int row = 0; row < h; ++row)
            std::copy_n(shown->ScanLine(row), size_t(w) * 3, padded.data() + stride * size_t(row));
        bits = padded.data();
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, x, y, width, height, 0, 0, w, h, bits, &info, DIB_RGB_COLORS, SRCCOPY);
}

namespace {

constexpr wchar_t kPictureClass[] = L"KorvalisPicture";

void RegisterPictureClass(WNDPROC proc) {
    static const bool registered = [proc] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = kPictureClass;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

} // namespace

TWin32PictureControl::TWin32PictureControl(HWND parent, int width, int height)
    : FWidth(width), FHeight(height) {
    RegisterPictureClass(&WindowProc);
    FHandle = CreateWindowExW(0, kPictureClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, width, height,
                              parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(FHandle, GWLP_USERDATA, LONG_PTR(this));
}

TWin32PictureControl::~TWin32PictureControl() {
    if (IsWindow(FHandle))
        SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
}

LRESULT CALLBACK TWin32PictureControl::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
    const auto* self =
        reinterpret_cast<TWin32PictureControl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_ERASEBKGND:
        return 1; // the paint covers every pixel
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        if (self)
            self->Paint(dc);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        if (self)
            self->Paint(HDC(wParam));
        return 0;
    case WM_NCHITTEST:
        // Clicks and the cursor belong to what lies under the picture, unless
        // the picture itself answers a right click or takes drops.
        if (!self || (!self->FOnMenu && !self->FOnDrop))
            return HTTRANSPARENT;
        return HTCLIENT;
    case WM_CONTEXTMENU:
        if (self && self->FOnMenu) {
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            // From the keyboard: under the middle of the picture.
            if (lParam == -1) {
                RECT r;
                GetWindowRect(window, &r);
                at = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
            }
            // The control may be gone once the chosen entry has run.
            const_cast<TWin32PictureControl*>(self)->ShowContextMenu(at);
            return 0;
        }
        break;
    case WM_DROPFILES:
        if (self) {
            const_cast<TWin32PictureControl*>(self)->Dropped(HDROP(wParam));
            return 0;
        }
        DragFinish(HDROP(wParam));
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void TWin32PictureControl::ShowContextMenu(POINT at) {
    if (!FOnMenu)
        return;
    // The entries live until the chosen one has run.
    const std::vector<TMenuItem> items = FOnMenu();
    const TMenuItem* chosen = TrackMenu(GetAncestor(FHandle, GA_ROOT), items, at);
    if (chosen && chosen->OnClick)
        chosen->OnClick();
}

void TWin32PictureControl::SetOnDropFile(std::function<void(const std::string&)> handler) {
    FOnDrop = std::move(handler);
    DragAcceptFiles(FHandle, bool(FOnDrop));
}

void TWin32PictureControl::Dropped(HDROP drop) {
    const std::optional<std::string> file = DroppedFile(drop);
    DragFinish(drop);
    if (!file || !FOnDrop)
        return;
    // The handler may replace the handler: call a copy.
    const auto handler = FOnDrop;
    handler(*file);
}

std::optional<std::string> DroppedFile(HDROP drop) {
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) != 1)
        return std::nullopt;
    const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    if (length == 0)
        return std::nullopt;
    std::wstring path(size_t(length) + 1, L'\0');
    if (DragQueryFileW(drop, 0, path.data(), length + 1) != length)
        return std::nullopt;
    path.resize(length);
    return Utf8(path);
}

namespace {

// An ampersand in a caption is a character, not a mnemonic.
std::wstring MenuCaption(const std::string& caption) {
    std::wstring text;
    for (const wchar_t c : Utf16(caption)) {
        if (c == L'&')
            text += L'&';
        text += c;
    }
    return text;
}

HMENU BuildMenu(const std::vector<TMenuItem>& items, std::vector<const TMenuItem*>& commands) {
    HMENU menu = CreatePopupMenu();
    for (const TMenuItem& item : items) {
        if (item.Caption.empty()) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            continue;
        }
        const std::wstring caption = MenuCaption(item.Caption);
        const UINT state =
            (item.Enabled ? MF_ENABLED : MF_GRAYED) | (item.Checked ? MF_CHECKED : MF_UNCHECKED);
        if (!item.Items.empty()) {
            HMENU sub = BuildMenu(item.Items, commands);
            AppendMenuW(menu, MF_STRING | MF_POPUP | state, UINT_PTR(sub), caption.c_str());
            continue;
        }
        // Command 0 means "none chosen": entries count from 1.
        commands.push_back(&item);
        AppendMenuW(menu, MF_STRING | state, UINT_PTR(commands.size()), caption.c_str());
    }
    return menu;
}

} // namespace

const TMenuItem* TrackMenu(HWND owner, const std::vector<TMenuItem>& items, POINT at) {
    if (items.empty())
        return nullptr;
    std::vector<const TMenuItem*> commands;
    HMENU menu = BuildMenu(items, commands);
    // The owner must be in front, or the menu would not close when the user
    // clicks elsewhere.
    SetForegroundWindow(owner);
    const UINT flags = TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY |
                       (GetSystemMetrics(SM_MENUDROPALIGNMENT) ? TPM_RIGHTALIGN : TPM_LEFTALIGN);
    const BOOL command = TrackPopupMenu(menu, flags, at.x, at.y, 0, owner, nullptr);
    DestroyMenu(menu); // and its submenus
    PostMessageW(owner, WM_NULL, 0, 0);
    if (command <= 0 || size_t(command) > commands.size())
        return nullptr;
    const TMenuItem* chosen = commands[size_t(command) - 1];
    return chosen->Enabled ? chosen : nullptr;
}

std::optional<uint32_t> TWin32ColourDialog::Execute(uint32_t initial) {
    static COLORREF custom[16] = {};
    static const bool blank = [] {
        std::fill(std::begin(custom), std::end(custom), RGB(255, 255, 255));
        return true;
    }();
    (void)blank;
    CHOOSECOLORW choose{};
    choose.lStructSize = sizeof choose;
    choose.hwndOwner = FOwner;
    choose.rgbResult = RGB((initial >> 16) & 0xFF, (initial >> 8) & 0xFF, initial & 0xFF);
    choose.lpCustColors = custom;
    choose.Flags = CC_RGBINIT | CC_FULLOPEN | CC_ANYCOLOR;
    if (!ChooseColorW(&choose))
        return std::nullopt;
    const COLORREF c = choose.rgbResult;
    return uint32_t(GetRValue(c)) << 16 | uint32_t(GetGValue(c)) << 8 | GetBValue(c);
}

TRaster& TWin32PictureControl::Picture() {
    if (!FPicture)
        FPicture = std::make_unique<TRaster>(FWidth, FHeight);
    return *FPicture;
}

void TWin32PictureControl::DiscardPicture() {
    FPicture.reset();
    PictureChanged();
}

void TWin32PictureControl::PictureChanged() {
    InvalidateRect(FHandle, nullptr, FALSE);
}

void TWin32PictureControl::Paint(HDC dc) const {
    RECT client;
    GetClientRect(FHandle, &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    if (!FPicture || FPicture->Empty())
        return;
    const int dpi = WindowDpi(FHandle);
    DrawRaster(dc, 0, 0, ScaleForDpi(FPicture->Width(), dpi), ScaleForDpi(FPicture->Height(), dpi),
               *FPicture);
}

void TWin32StatusBar::SetText(const std::string& text) {
    const std::wstring wide = Utf16(text);
    SendMessageW(FHandle, SB_SETTEXTW, 0, LPARAM(wide.c_str()));
    UpdateWindow(FHandle);
}

std::string TWin32StatusBar::Text() const {
    const auto length = LOWORD(SendMessageW(FHandle, SB_GETTEXTLENGTHW, 0, 0));
    std::wstring wide(size_t(length) + 1, L'\0');
    SendMessageW(FHandle, SB_GETTEXTW, 0, LPARAM(wide.data()));
    wide.resize(length);
    return Utf8(wide);
}

void TWin32StatusBar::Rescale(int dpi) const {
    int right = ScaleForDpi(FPanelWidth, dpi);
    SendMessageW(FHandle, SB_SETPARTS, 1, LPARAM(&right));
}

void TWin32Button::Clicked() const {
    if (FOnClick && IsWindowEnabled(FHandle))
        FOnClick();
}

void TWin32ProgressBar::SetMax(int max) {
    SendMessageW(FHandle, PBM_SETRANGE32, 0, max);
}
void TWin32ProgressBar::SetPosition(int position) {
    SendMessageW(FHandle, PBM_SETPOS, WPARAM(position), 0);
}
void TWin32ProgressBar::SetVisible(bool visible) {
    ShowWindow(FHandle, visible ? SW_SHOWNA : SW_HIDE);
}
void TWin32ProgressBar::RepaintNow() {
    RedrawWindow(FHandle, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

std::wstring OpenDialogFilter(const std::string& description) {
    std::wstring patterns;
    for (const TPictureFormat& format : PictureFormats())
        for (const std::string_view ending : format.Endings) {
            if (!patterns.empty())
                patterns += L';';
            patterns += L'*' + Utf16(std::string(ending));
        }
    std::wstring filter = Utf16(description);
    filter += L'\0';
    filter += patterns;
    filter += L'\0';
    return filter; // the string's own terminator is the last NUL
}

TWin32OpenDialog::TWin32OpenDialog(HWND owner, std::wstring title, std::wstring filter)
    : FOwner(owner), FTitle(std::move(title)), FFilter(std::move(filter)) {}

std::optional<std::string> TWin32OpenDialog::Execute() {
    std::wstring file(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = FOwner;
    ofn.lpstrFilter = FFilter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = DWORD(file.size());
    ofn.lpstrTitle = FTitle.c_str();
    ofn.lpstrDefExt = L"bmp";
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
                OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&ofn))
        return std::nullopt;
    file.resize(wcslen(file.c_str()));
    return Utf8(file);
}

namespace {
std::map<UINT_PTR, TWin32Timer*>& Timers() {
    static std::map<UINT_PTR, TWin32Timer*> timers;
    return timers;
}
} // namespace

TWin32Timer::~TWin32Timer() {
    Stop();
}

void CALLBACK TWin32Timer::TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
    const auto found = Timers().find(id);
    if (found != Timers().end() && found->second->FOnTimer)
        found->second->FOnTimer();
}

void TWin32Timer::Start() {
    FId = SetTimer(nullptr, FId, FInterval, &TimerProc);
    if (FId)
        Timers()[FId] = this;
}

void TWin32Timer::Stop() {
    if (!FId)
        return;
    KillTimer(nullptr, FId);
    Timers().erase(FId);
    FId = 0;
}

void TWin32Timer::SetEnabled(bool enabled) {
    if (enabled == Enabled())
        return;
    if (enabled)
        Start();
    else
        Stop();
}

void TWin32Timer::SetInterval(uint32_t milliseconds) {
    if (milliseconds == FInterval)
        return;
    FInterval = milliseconds;
    if (Enabled()) {
        Stop();
        Start();
    }
}

// Only the buttons of common controls 6 (which only the manifest brings)
// know their ideal size; the library's own version number cannot tell, as
// some builds number both editions 5.x.
static bool CommonControls6() {
    static const bool v6 = [] {
        HWND button = CreateWindowExW(0, WC_BUTTONW, L"", WS_CHILD | BS_PUSHBUTTON, 0, 0, 10, 10,
                                      HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
        SIZE ideal{};
        const bool knows = button && SendMessageW(button, BCM_GETIDEALSIZE, 0, LPARAM(&ideal));
        if (button)
            DestroyWindow(button);
        return knows;
    }();
    return v6;
}

bool TWin32VisualStyles::Active() const {
    return IsThemeActive() && IsAppThemed() && CommonControls6();
}

bool TWin32Control::IsButton() const {
    wchar_t name[16] = {};
    GetClassNameW(FHandle, name, 16);
    if (lstrcmpiW(name, WC_BUTTONW) != 0)
        return false;
    return (GetWindowLongW(FHandle, GWL_STYLE) & BS_TYPEMASK) != BS_GROUPBOX;
}

void TWin32Control::RepaintNow() {
    RedrawWindow(FHandle, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
}

} // namespace korvalis
