#include "Win32MainWindow.h"

#include "form/MainFormLayout.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <stdexcept>

namespace korvalis {

namespace {

constexpr wchar_t kWindowClass[] = L"KorvalisUploaderWindow";
// Fixed single border: caption, system menu and minimise; no maximise, no sizing.
constexpr DWORD kWindowStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
// The application icon in the programs' resources.
constexpr int kIconResource = 1;

std::wstring Wide(const char* text) {
    return Utf16(text ? text : "");
}

// Buttons lie in group boxes, whose own window procedure would swallow the
// buttons' notifications: they go on to the top-level window.
LRESULT CALLBACK ForwardToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                 DWORD_PTR) {
    if (message == WM_COMMAND || message == WM_NOTIFY)
        return SendMessageW(GetAncestor(window, GA_ROOT), message, wParam, lParam);
    // A group box leaves its inside to whatever lies below it, and the window
    // below does not paint under its children.
    if (message == WM_ERASEBKGND) {
        RECT client;
        GetClientRect(window, &client);
        FillRect(HDC(wParam), &client, GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

void RegisterWindowClass(WNDPROC proc) {
    static const bool registered = [proc] {
        INITCOMMONCONTROLSEX controls{sizeof controls,
                                      ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        wc.lpszClassName = kWindowClass;
        wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(kIconResource));
        if (!wc.hIcon)
            wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

} // namespace

TWin32MainWindow::TWin32MainWindow() {
    RegisterWindowClass(&WindowProc);
    Build(MainFormLayout());
    FForm = std::make_unique<TfrmMain>(*this);
}

TWin32MainWindow::~TWin32MainWindow() {
    FForm.reset();
    FQuitOnClose = false;
    if (IsWindow(FHandle))
        DestroyWindow(FHandle);
    if (FFont)
        DeleteObject(FFont);
}

void TWin32MainWindow::Build(std::span<const TComponentLayout> layout) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    std::map<std::string_view, HWND> windows;
    std::map<HWND, TWin32Control*> controls;
    for (const TComponentLayout& row : layout) {
        const std::wstring caption = Wide(row.Caption);
        HWND parent = row.Parent ? windows.at(row.Parent) : FHandle;
        HWND handle = nullptr;
        const DWORD shown = (row.Visible ? WS_VISIBLE : 0) | (row.Enabled ? 0 : WS_DISABLED);
        switch (row.Kind) {
        case TComponentKind::Form:
            FFormRow = &row;
            FHandle = CreateWindowExW(kWindowExStyle, kWindowClass, caption.c_str(), kWindowStyle,
                                      CW_USEDEFAULT, CW_USEDEFAULT, row.Width, row.Height, nullptr,
                                      nullptr, instance, this);
            if (!FHandle)
                throw std::runtime_error("the main window cannot be created");
            handle = FHandle;
            break;
        case TComponentKind::GroupBox:
            handle = CreateWindowExW(WS_EX_CONTROLPARENT, WC_BUTTONW, caption.c_str(),
                                     WS_CHILD | BS_GROUPBOX | WS_CLIPCHILDREN | shown, 0, 0, 0, 0,
                                     parent, nullptr, instance, nullptr);
            SetWindowSubclass(handle, &ForwardToWindow, 0, 0);
            break;
        case TComponentKind::PictureControl: {
            auto& picture = FPictureObjects.emplace_back(
                std::make_unique<TWin32PictureControl>(parent, row.Width, row.Height));
            FPictures.emplace(row.Name, picture.get());
            handle = picture->Handle();
            break;
        }
        case TComponentKind::Button: {
            handle = CreateWindowExW(0, WC_BUTTONW, caption.c_str(),
                                     WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON | shown, 0, 0, 0, 0,
                                     parent, nullptr, instance, nullptr);
            auto& button = FButtonObjects.emplace_back(std::make_unique<TWin32Button>(handle));
            FButtons.emplace(row.Name, button.get());
            break;
        }
        case TComponentKind::StatusBar: {
            handle = CreateWindowExW(0, STATUSCLASSNAMEW, L"",
                                     WS_CHILD | WS_CLIPSIBLINGS | CCS_NOPARENTALIGN | CCS_NORESIZE |
                                         CCS_NODIVIDER | shown,
                                     0, 0, 0, 0, parent, nullptr, instance, nullptr);
            auto& status =
                FStatusObjects.emplace_back(std::make_unique<TWin32StatusBar>(handle, row.Value));
            FStatusPanels.emplace(row.Name, status.get());
            break;
        }
        case TComponentKind::ProgressBar: {
            handle = CreateWindowExW(0, PROGRESS_CLASSW, L"",
                                     WS_CHILD | WS_CLIPSIBLINGS | PBS_SMOOTH | shown, 0, 0, 0, 0,
                                     parent, nullptr, instance, nullptr);
            auto& bar = FProgressObjects.emplace_back(std::make_unique<TWin32ProgressBar>(handle));
            FProgressBars.emplace(row.Name, bar.get());
            break;
        }
        case TComponentKind::OpenDialog: {
            auto& dialog = FDialogObjects.emplace_back(std::make_unique<TWin32OpenDialog>(
                FHandle, caption, OpenDialogFilter(OpenImageFilter())));
            FDialogs.emplace(row.Name, dialog.get());
            break;
        }
        case TComponentKind::Timer: {
            auto& timer = FTimerObjects.emplace_back(std::make_unique<TWin32Timer>());
            timer->SetInterval(uint32_t(row.Value));
            timer->SetEnabled(row.Enabled);
            FTimers.emplace(row.Name, timer.get());
            break;
        }
        }
        if (!handle)
            continue;
        windows.emplace(row.Name, handle);
        auto& built =
            FBuilt.emplace_back(TBuilt{&row, handle, std::make_unique<TWin32Control>(handle)});
        controls.emplace(handle, built.Control.get());
        if (handle != FHandle)
            controls.at(parent)->Add(built.Control.get());
    }
    FRoot.reset(FBuilt.front().Control.release());
    FMessages = std::make_unique<TWin32MessagePoster>(FHandle);
    FColourDialog.SetOwner(FHandle);
    FToolTip =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, FHandle, nullptr, instance, nullptr);
    SetTabOrder(layout);
    // Over the right end of the status bar.
    if (HWND bar = ControlHandle("pb1"))
        SetWindowPos(bar, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    Place(WindowDpi(FHandle));
    // Centred on the work area of the screen the window is on.
    RECT frame;
    GetWindowRect(FHandle, &frame);
    const RECT work = WorkArea(FHandle);
    SetWindowPos(FHandle, nullptr,
                 work.left + ((work.right - work.left) - (frame.right - frame.left)) / 2,
                 work.top + ((work.bottom - work.top) - (frame.bottom - frame.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

    // Keyboard cues stay hidden until the keyboard is used, unless the user
    // asked to always see them.
    BOOL cues = FALSE;
    SystemParametersInfoW(SPI_GETKEYBOARDCUES, 0, &cues, 0);
    if (!cues)
        SendMessageW(FHandle, WM_CHANGEUISTATE,
                     MAKEWPARAM(UIS_SET, UISF_HIDEACCEL | UISF_HIDEFOCUS), 0);
}

// The keyboard order of siblings is their order under their parent: each
// parent's children in the layout's order, before anything not in it.
void TWin32MainWindow::SetTabOrder(std::span<const TComponentLayout> layout) {
    for (const TComponentLayout& parent : layout) {
        HWND after = HWND_TOP;
        for (const TComponentLayout* row : KeyboardOrder(layout, parent.Name)) {
            HWND handle = ControlHandle(row->Name);
            SetWindowPos(handle, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            after = handle;
        }
    }
}

void TWin32MainWindow::Place(int dpi) {
    FDpi = dpi;
    const auto scale = [dpi](int value) { return ScaleForDpi(value, dpi); };
    // Tahoma 8 points: 11 pixels at 96 dots per inch.
    HFONT font = CreateFontW(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                             DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
    for (const TBuilt& built : FBuilt) {
        const TComponentLayout& row = *built.Row;
        if (built.Handle == FHandle) {
            RECT frame{0, 0, scale(row.Width), scale(row.Height)};
            AdjustWindowRectExForDpi(&frame, kWindowStyle, FALSE, kWindowExStyle, UINT(dpi));
            FFrameSize = {frame.right - frame.left, frame.bottom - frame.top};
            SetWindowPos(FHandle, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            continue;
        }
        SetWindowPos(built.Handle, nullptr, scale(row.Left), scale(row.Top), scale(row.Width),
                     scale(row.Height), SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(built.Handle, WM_SETFONT, WPARAM(font), FALSE);
    }
    for (const auto& status : FStatusObjects)
        status->Rescale(dpi);
    // A failed load's reason names a whole path: room for it on a few lines.
    if (FToolTip)
        SendMessageW(FToolTip, TTM_SETMAXTIPWIDTH, 0, scale(400));
    if (FFont)
        DeleteObject(FFont);
    FFont = font;
    InvalidateRect(FHandle, nullptr, TRUE);
}

HWND TWin32MainWindow::ControlHandle(std::string_view name) const {
    for (const TBuilt& built : FBuilt)
        if (built.Row->Name == name)
            return built.Handle;
    return nullptr;
}

void TWin32MainWindow::Show(int showCommand) {
    ShowWindow(FHandle, showCommand);
    UpdateWindow(FHandle);
    if (FForm)
        FForm->WindowShown();
}

bool TWin32MainWindow::PreTranslate(MSG& msg) {
    if (!FHandle || !msg.hwnd || (msg.hwnd != FHandle && !IsChild(FHandle, msg.hwnd)))
        return false;
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
        if (FForm)
            FForm->WindowKeyDown(uint16_t(msg.wParam));
        // ALT reveals the accelerators and focus rectangles of the whole
        // window, as the desktop does for its own dialogs.
        if (msg.wParam == VK_MENU)
            SendMessageW(FHandle, WM_CHANGEUISTATE,
                         MAKEWPARAM(UIS_CLEAR, UISF_HIDEACCEL | UISF_HIDEFOCUS), 0);
        if (ShortCut(msg))
            return true;
        // The menu key asks for the menu of the focused button's picture.
        // Not every desktop's default window procedure turns it into
        // WM_CONTEXTMENU (all do for Shift+F10): done here, and its release
        // kept from asking a second time.
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_APPS) {
            ContextMenu(-1);
            return true;
        }
    }
    if (msg.message == WM_KEYUP && msg.wParam == VK_APPS)
        return true;
    return IsDialogMessageW(FHandle, &msg);
}

void TWin32MainWindow::SetHint(std::string_view name, const std::string& text) {
    HWND control = ControlHandle(name);
    if (!control)
        throw std::out_of_range("the window has no such control: " + std::string(name));
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = FHandle;
    tool.uId = UINT_PTR(control);
    const bool known = SendMessageW(FToolTip, TTM_GETTOOLINFOW, 0, LPARAM(&tool));
    if (text.empty()) {
        if (known)
            SendMessageW(FToolTip, TTM_DELTOOLW, 0, LPARAM(&tool));
        return;
    }
    std::wstring wide = Utf16(text);
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = FHandle;
    tool.uId = UINT_PTR(control);
    tool.lpszText = wide.data();
    SendMessageW(FToolTip, known ? TTM_UPDATETIPTEXTW : TTM_ADDTOOLW, 0, LPARAM(&tool));
}

void TWin32MainWindow::SetShortCut(const TShortCut& key, std::function<void()> handler) {
    const bool digit = key.Key >= vk::Digit0 && key.Key <= vk::Digit0 + 9;
    const bool letter = key.Key >= vk::LetterA && key.Key <= vk::LetterA + 25;
    if (!digit && !letter)
        throw std::invalid_argument("a short cut is Ctrl with a digit or a letter");
    const auto id = std::make_pair(key.Key, key.Shift);
    if (handler)
        FShortCuts[id] = std::move(handler);
    else
        FShortCuts.erase(id);
}

bool TWin32MainWindow::ShortCut(const MSG& msg) {
    // Ctrl alone, not Ctrl+Alt (AltGr on many keyboards types characters).
    if (msg.message != WM_KEYDOWN || GetKeyState(VK_CONTROL) >= 0 || GetKeyState(VK_MENU) < 0)
        return false;
    const auto found =
        FShortCuts.find(std::make_pair(uint16_t(msg.wParam), GetKeyState(VK_SHIFT) < 0));
    if (found == FShortCuts.end())
        return false;
    // A held key repeats; the command runs once per press.
    if (msg.lParam & (1 << 30))
        return true;
    // The handler may replace the handler: call a copy.
    const auto handler = found->second;
    handler();
    return true;
}

void TWin32MainWindow::SetOnContextMenu(std::string_view picture,
                                        std::function<std::vector<TMenuItem>()> menu) {
    static_cast<TWin32PictureControl&>(Find(FPictures, picture)).SetOnContextMenu(std::move(menu));
}

void TWin32MainWindow::SetOnDropFile(std::string_view picture,
                                     std::function<void(const std::string&)> handler) {
    static_cast<TWin32PictureControl&>(Find(FPictures, picture)).SetOnDropFile(std::move(handler));
}

bool TWin32MainWindow::ContextMenu(LPARAM at) {
    if (at == -1) {
        // A picture takes no focus: the one meant shares a group with the
        // focused button.
        HWND focus = GetFocus();
        for (const auto& picture : FPictureObjects)
            if (picture->HasContextMenu() && focus &&
                IsChild(GetParent(picture->Handle()), focus)) {
                SendMessageW(picture->Handle(), WM_CONTEXTMENU, WPARAM(picture->Handle()), -1);
                return true;
            }
        return false;
    }
    const POINT point{GET_X_LPARAM(at), GET_Y_LPARAM(at)};
    for (const auto& picture : FPictureObjects) {
        RECT r;
        GetWindowRect(picture->Handle(), &r);
        if (picture->HasContextMenu() && PtInRect(&r, point)) {
            SendMessageW(picture->Handle(), WM_CONTEXTMENU, WPARAM(picture->Handle()), at);
            return true;
        }
    }
    return false;
}

void TWin32MainWindow::Sleep(int milliseconds) {
    ::Sleep(DWORD(milliseconds));
}

int TWin32MainWindow::ScreenDepth() const {
    HDC screen = GetDC(nullptr);
    const int depth = GetDeviceCaps(screen, BITSPIXEL) * GetDeviceCaps(screen, PLANES);
    ReleaseDC(nullptr, screen);
    return depth;
}

void TWin32MainWindow::SetCursor(TCursorKind cursor) {
    FCursor = cursor;
    ::SetCursor(LoadCursorW(nullptr, cursor == TCursorKind::crHourGlass ? IDC_WAIT : IDC_ARROW));
}

void TWin32MainWindow::RepaintNow() {
    RedrawWindow(FHandle, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

LRESULT CALLBACK TWin32MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<TWin32MainWindow*>(
            reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(self));
        self->FHandle = window;
    }
    auto* self = reinterpret_cast<TWin32MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcW(window, message, wParam, lParam);
    const LRESULT result = self->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->FHandle = nullptr;
    }
    return result;
}

LRESULT TWin32MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && lParam)
            for (const auto& button : FButtonObjects)
                if (button->Handle() == HWND(lParam)) {
                    button->Clicked();
                    return 0;
                }
        break;
    case WM_CHANGEUISTATE: {
        const LRESULT before = SendMessageW(FHandle, WM_QUERYUISTATE, 0, 0);
        DefWindowProcW(FHandle, message, wParam, lParam);
        // A desktop that keeps no keyboard-cue state of its own (Wine) does
        // not pass the change on; every control hears of it all the same.
        // Telling a control what it already knows changes nothing.
        const WORD action = LOWORD(wParam);
        if (SendMessageW(FHandle, WM_QUERYUISTATE, 0, 0) == before &&
            (action == UIS_SET || action == UIS_CLEAR))
            EnumChildWindows(
                FHandle,
                [](HWND child, LPARAM update) {
                    SendMessageW(child, WM_UPDATEUISTATE, WPARAM(update), 0);
                    return TRUE;
                },
                LPARAM(wParam));
        return 0;
    }
    case WM_CONTEXTMENU:
        // A right click beside a picture, or the keyboard's menu request
        // from a button, passed up through its group box.
        if (ContextMenu(lParam))
            return 0;
        break;
    case WM_GETMINMAXINFO: {
        // The window keeps its size even where that is more than the screen
        // (a high dots-per-inch setting on a small screen).
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        if (FFrameSize.cx > 0) {
            limits->ptMaxTrackSize.x = std::max(limits->ptMaxTrackSize.x, FFrameSize.cx);
            limits->ptMaxTrackSize.y = std::max(limits->ptMaxTrackSize.y, FFrameSize.cy);
        }
        return 0;
    }
    case WM_SETCURSOR:
        if (FCursor == TCursorKind::crHourGlass) {
            ::SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_ACTIVATE:
        // Focus goes back to the control that had it, or to the first one.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(FHandle, focus))
                FLastFocus = focus;
        } else {
            HWND focus = FLastFocus && IsWindow(FLastFocus)
                             ? FLastFocus
                             : GetNextDlgTabItem(FHandle, nullptr, FALSE);
            if (focus)
                SetFocus(focus);
            return 0;
        }
        break;
    case WM_CLOSE:
        // Closing in the middle would leave the device with half a bundle.
        if (FBusyWindow.Busy())
            return 0;
        DestroyWindow(FHandle);
        return 0;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE && FBusyWindow.Busy())
            return 0;
        break;
    case WM_DESTROY:
        if (FQuitOnClose)
            PostQuitMessage(0);
        return 0;
    case WM_DPICHANGED: {
        Place(HIWORD(wParam));
        const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(FHandle, nullptr, suggested.left, suggested.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    default:
        if (message >= WM_APP && FForm && FForm->WindowMessage(message, wParam, lParam))
            return 0;
        break;
    }
    return DefWindowProcW(FHandle, message, wParam, lParam);
}

int RunMessageLoop(TWin32MainWindow& window) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (window.PreTranslate(msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return int(msg.wParam);
}

bool ProcessMessages(TWin32MainWindow& window) {
    bool ran = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ran = true;
        if (msg.message == WM_QUIT) {
            PostQuitMessage(int(msg.wParam));
            break;
        }
        if (window.PreTranslate(msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return ran;
}

} // namespace korvalis
