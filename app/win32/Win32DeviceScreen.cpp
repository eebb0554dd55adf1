#include "Win32DeviceScreen.h"

#include "Win32Toolkit.h"
#include "bundle/ResourceBundle.h"

namespace korvalis {

namespace {
constexpr wchar_t kClass[] = L"KorvalisDeviceScreen";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kScale = 2; // half size
constexpr int kGap = 8;
constexpr int kTitle = 18;
constexpr int kSpacing = 12;
constexpr int kWidth = int(kSlotCount) * 240 / kScale + int(kSlotCount + 1) * kGap;
constexpr int kHeight = 320 / kScale + 2 * kGap + 2 * kTitle;
} // namespace

TWin32DeviceScreen::TWin32DeviceScreen() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &WindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
        wc.lpszClassName = kClass;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
    for (auto& picture : FPictures)
        picture.SetSize(240, 320);
    FHandle = CreateWindowExW(0, kClass, L"Korvalis device screen (emulated)", kStyle,
                              CW_USEDEFAULT, CW_USEDEFAULT, kWidth, kHeight, nullptr, nullptr,
                              GetModuleHandleW(nullptr), this);
}

TWin32DeviceScreen::~TWin32DeviceScreen() {
    if (IsWindow(FHandle))
        DestroyWindow(FHandle);
}

void TWin32DeviceScreen::ShowBeside(HWND main) {
    const UINT dpi = GetDpiForWindow(FHandle);
    RECT frame{0, 0, ScaleForDpi(kWidth, int(dpi)), ScaleForDpi(kHeight, int(dpi))};
    AdjustWindowRectExForDpi(&frame, kStyle, FALSE, 0, dpi);
    const int w = frame.right - frame.left;
    const int h = frame.bottom - frame.top;
    RECT mainFrame;
    GetWindowRect(main, &mainFrame);
    const RECT work = WorkArea(main);
    int x = mainFrame.right + kSpacing;
    int y = mainFrame.top;
    if (x + w > work.right) {
        x = mainFrame.left - kSpacing - w;
        if (x < work.left) {
            x = mainFrame.left;
            y = mainFrame.bottom + kSpacing;
        }
    }
    SetWindowPos(FHandle, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(FHandle, SW_SHOWNOACTIVATE);
    UpdateWindow(FHandle);
}

void TWin32DeviceScreen::ShowBundle(std::span<const uint8_t> bundle, const std::wstring& caption) {
    for (size_t i = 0; i < kSlotCount; ++i)
        FPictures[i] = BundlePicture(bundle, int(i));
    FCaption = caption;
    InvalidateRect(FHandle, nullptr, FALSE);
}

LRESULT CALLBACK TWin32DeviceScreen::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          LONG_PTR(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    const auto* self =
        reinterpret_cast<const TWin32DeviceScreen*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        if (self)
            self->Paint(dc);
        EndPaint(window, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        // Screenshots and window previews.
        if (self)
            self->Paint(HDC(wParam));
        return 0;
    case WM_CLOSE:
        // Closing the main window ends the demo; this one only hides.
        ShowWindow(window, SW_HIDE);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void TWin32DeviceScreen::Paint(HDC dc) const {
    const int dpi = int(GetDpiForWindow(FHandle));
    const auto scale = [dpi](int value) { return ScaleForDpi(value, dpi); };
    RECT client;
    GetClientRect(FHandle, &client);
    HBRUSH background = CreateSolidBrush(RGB(0x20, 0x24, 0x2c));
    FillRect(dc, &client, background);
    DeleteObject(background);
    HFONT font = CreateFontW(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                             DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
    HGDIOBJ oldFont = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    for (size_t i = 0; i < kSlotCount; ++i) {
        const int x = kGap + int(i) * (240 / kScale + kGap);
        RECT title{scale(x), 0, scale(x + 240 / kScale), scale(kTitle)};
        const std::wstring name = Utf16(kSlots[i].Name);
        DrawTextW(dc, name.c_str(), int(name.size()), &title,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        DrawRaster(dc, scale(x), scale(kTitle), scale(240 / kScale), scale(320 / kScale),
                   FPictures[i]);
    }
    RECT caption{scale(kGap), scale(kTitle + 320 / kScale + kGap), client.right - scale(kGap),
                 scale(kTitle + 320 / kScale + kGap + kTitle)};
    DrawTextW(dc, FCaption.c_str(), int(FCaption.size()), &caption,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, oldFont);
    DeleteObject(font);
}

} // namespace korvalis
