#pragma once

#include "Win32BusyWindow.h"
#include "Win32Toolkit.h"
#include "form/MainForm.h"
#include "toolkit/Components.h"
#include "toolkit/Layout.h"
#include "toolkit/NamedComponents.h"

#include "Win32Api.h"

#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalis {

// The uploader's window in Win32: built from the main form's layout table at
// the dots per inch of the screen it is on, it gives the form behaviour
// (form/TfrmMain) its components and passes on the window's first show, its
// key-downs and its private messages. Holds no behaviour of its own.
class TWin32MainWindow : public TNamedComponents,
                         public IWindowCursor,
                         public IRepaintable,
                         public IFormWindow {
  public:
    // Builds the window hidden and runs the form's FormCreate; a HID GUI loop
    // must be installed on this thread.
    TWin32MainWindow();
    ~TWin32MainWindow() override;
    TWin32MainWindow(const TWin32MainWindow&) = delete;
    TWin32MainWindow& operator=(const TWin32MainWindow&) = delete;

    // Shows the window (FormShow runs the first time) and paints it.
    void Show(int showCommand = SW_SHOWNORMAL);
    HWND Handle() const { return FHandle; }
    // The window of a component of the layout; nullptr for one without.
    HWND ControlHandle(std::string_view name) const;
    int Dpi() const { return FDpi; }
    TfrmMain& Form() { return *FForm; }
    TWin32BusyWindow& Busy() { return FBusyWindow; }
    // Whether closing the window ends the thread's message loop (the default).
    void SetQuitOnClose(bool quit) { FQuitOnClose = quit; }

    // Every queued message of the thread goes here before it is dispatched:
    // key-downs reach the form first, ALT reveals the keyboard cues, and TAB
    // and the arrows move between the controls. Answers whether the message
    // was dealt with (do not dispatch it then).
    bool PreTranslate(MSG& msg);

    // IFormComponents (the named components come from TNamedComponents)
    IWindowCursor& Cursor() override { return *this; }
    IRepaintable& Window() override { return *this; }
    IBusyWindow* BusyWindow() override { return &FBusyWindow; }
    void Sleep(int milliseconds) override;
    int ScreenDepth() const override;
    IFormWindow& FormWindow() override { return *this; }
    const IVisualStyles& VisualStyles() const override { return FVisualStyles; }
    ITimerFactory& Timers() override { return FTimerFactory; }
    void SetHint(std::string_view name, const std::string& text) override;
    void SetShortCut(const TShortCut& key, std::function<void()> handler) override;
    void SetOnContextMenu(std::string_view picture,
                          std::function<std::vector<TMenuItem>()> menu) override;
    void SetOnDropFile(std::string_view picture,
                       std::function<void(const std::string&)> handler) override;
    IColourDialog& ColourDialog() override { return FColourDialog; }
    // The tooltip control of every component's hint.
    HWND ToolTipHandle() const { return FToolTip; }

    // IFormWindow
    IControl& FormControl() override { return *FRoot; }
    IMessagePoster& FormMessages() override { return *FMessages; }

    // IWindowCursor, IRepaintable
    void SetCursor(TCursorKind cursor) override;
    void RepaintNow() override;

  private:
    struct TBuilt {
        const TComponentLayout* Row;
        HWND Handle;
        std::unique_ptr<TWin32Control> Control;
    };

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Build(std::span<const TComponentLayout> layout);
    void SetTabOrder(std::span<const TComponentLayout> layout);
    // Sizes and places the window and every control for dots per inch dpi.
    void Place(int dpi);
    // The menu of a picture: the one under a point of the screen, or with
    // the point at -1 (the keyboard) the one in the focused control's group.
    bool ContextMenu(LPARAM at);
    // A Ctrl short cut from a key-down; answers whether one ran.
    bool ShortCut(const MSG& msg);

    HWND FHandle = nullptr;
    int FDpi = USER_DEFAULT_SCREEN_DPI;
    SIZE FFrameSize{};
    HFONT FFont = nullptr;
    const TComponentLayout* FFormRow = nullptr;
    TCursorKind FCursor = TCursorKind::crArrow;
    bool FQuitOnClose = true;
    HWND FLastFocus = nullptr;
    HWND FToolTip = nullptr;
    // The short cut keys, (key, Shift) to handler.
    std::map<std::pair<uint16_t, bool>, std::function<void()>> FShortCuts;

    std::vector<TBuilt> FBuilt;
    std::unique_ptr<TWin32Control> FRoot;
    std::unique_ptr<TWin32MessagePoster> FMessages;
    std::vector<std::unique_ptr<TWin32PictureControl>> FPictureObjects;
    std::vector<std::unique_ptr<TWin32Button>> FButtonObjects;
    std::vector<std::unique_ptr<TWin32StatusBar>> FStatusObjects;
    std::vector<std::unique_ptr<TWin32ProgressBar>> FProgressObjects;
    std::vector<std::unique_ptr<TWin32OpenDialog>> FDialogObjects;
    std::vector<std::unique_ptr<TWin32Timer>> FTimerObjects;
    TWin32BusyWindow FBusyWindow;
    TWin32VisualStyles FVisualStyles;
    TWin32TimerFactory FTimerFactory;
    TWin32ColourDialog FColourDialog;
    // Goes first, while everything it was given exists.
    std::unique_ptr<TfrmMain> FForm;
};

// Runs the thread's message loop through window.PreTranslate until WM_QUIT;
// answers the quit code.
int RunMessageLoop(TWin32MainWindow& window);
// Runs what is queued now, through window.PreTranslate; answers whether
// anything ran. For tests and screenshots that drive the window.
bool ProcessMessages(TWin32MainWindow& window);

} // namespace korvalis
