#pragma once

// The Win32 side of the toolkit interfaces: one small adaptor per window
// operation, over real controls (common controls 6 when the manifest asks).

#include "graphics/Raster.h"
#include "hid/platform/windows/WindowsPlatform.h" // Utf8, Utf16
#include "toolkit/Components.h"
#include "toolkit/KeyboardCue.h"
#include "toolkit/Toolkit.h"

#include "Win32Api.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalis {

// Layout values are pixels at 96 dots per inch; a window on a denser screen
// takes them times its own dots per inch.
int ScaleForDpi(int value, int dpi);
// The dots per inch of the screen a window is on; the desktop's 96 for a
// window the desktop does not know.
int WindowDpi(HWND window);

// The work area (the screen without the task bar) of the screen a window is
// on, or of the primary screen when it is on none.
RECT WorkArea(HWND window);

// Draws a raster into width x height device pixels of dc at (x, y), each
// pixel stretched by nearest neighbour, so none is a blend of two.
void DrawRaster(HDC dc, int x, int y, int width, int height, const TRaster& raster);

// A picture control: a child window that shows its raster from the top-left
// corner, each raster pixel as scale x scale device pixels (nearest
// neighbour), so pictures stay sharp at any dots per inch. Never takes focus.
// Without a menu or a drop handler it is transparent to the mouse.
class TWin32PictureControl : public IPictureControl {
  public:
    TWin32PictureControl(HWND parent, int width, int height);
    ~TWin32PictureControl() override;
    TWin32PictureControl(const TWin32PictureControl&) = delete;
    TWin32PictureControl& operator=(const TWin32PictureControl&) = delete;

    TRaster& Picture() override;
    void DiscardPicture() override;
    int ControlWidth() const override { return FWidth; }
    int ControlHeight() const override { return FHeight; }
    void PictureChanged() override;
    bool HasPicture() const { return FPicture != nullptr; }
    HWND Handle() const { return FHandle; }

    void SetOnContextMenu(std::function<std::vector<TMenuItem>()> menu) {
        FOnMenu = std::move(menu);
    }
    bool HasContextMenu() const { return bool(FOnMenu); }
    // Shows the menu at a point of the screen and runs the entry chosen.
    void ShowContextMenu(POINT at);
    // Files dropped from the desktop; one file at a time.
    void SetOnDropFile(std::function<void(const std::string&)> handler);

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc) const;
    void Dropped(HDROP drop);

    HWND FHandle = nullptr;
    int FWidth;
    int FHeight;
    std::unique_ptr<TRaster> FPicture;
    std::function<std::vector<TMenuItem>()> FOnMenu;
    std::function<void(const std::string&)> FOnDrop;
};

// Shows items as a pop-up menu owned by owner at a point of the screen and
// answers the entry chosen once the menu has closed; nullptr when the user
// chose none.
const TMenuItem* TrackMenu(HWND owner, const std::vector<TMenuItem>& items, POINT at);

// The one path a drop carries, or nothing for several files or none.
std::optional<std::string> DroppedFile(HDROP drop);

// A status bar with one panel of fixed width and no size grip.
class TWin32StatusBar : public IStatusPanel {
  public:
    TWin32StatusBar(HWND statusBar, int panelWidth) : FHandle(statusBar), FPanelWidth(panelWidth) {}
    void SetText(const std::string& text) override;
    std::string Text() const override;
    // The panel's width in device pixels at the window's dots per inch.
    void Rescale(int dpi) const;
    HWND Handle() const { return FHandle; }

  private:
    HWND FHandle;
    int FPanelWidth;
};

// A push button. Clicks arrive as BN_CLICKED through the window; a disabled
// button runs no handler, whoever sent the click.
class TWin32Button : public IPushButton {
  public:
    explicit TWin32Button(HWND button) : FHandle(button) {}
    void SetEnabled(bool enabled) override { EnableWindow(FHandle, enabled); }
    bool Enabled() const override { return IsWindowEnabled(FHandle); }
    void SetOnClick(std::function<void()> handler) override { FOnClick = std::move(handler); }
    void Clicked() const;
    HWND Handle() const { return FHandle; }

  private:
    HWND FHandle;
    std::function<void()> FOnClick;
};

class TWin32ProgressBar : public IProgressBar {
  public:
    explicit TWin32ProgressBar(HWND bar) : FHandle(bar) {}
    void SetMax(int max) override;
    void SetPosition(int position) override;
    void SetVisible(bool visible) override;
    void RepaintNow() override;
    HWND Handle() const { return FHandle; }

  private:
    HWND FHandle;
};

// The modal open-file dialog. The filter's patterns come from the picture
// formats; the desktop matches them without regard to case, as the loader
// reads the endings.
class TWin32OpenDialog : public IOpenDialog {
  public:
    TWin32OpenDialog(HWND owner, std::wstring title, std::wstring filter);
    std::optional<std::string> Execute() override;
    const std::wstring& Title() const { return FTitle; }
    // Description and patterns, each ended by a NUL, then one more NUL.
    const std::wstring& Filter() const { return FFilter; }

  private:
    HWND FOwner;
    std::wstring FTitle;
    std::wstring FFilter;
};

// The desktop's modal colour chooser; the colours the user mixed stay offered
// while the program runs.
class TWin32ColourDialog : public IColourDialog {
  public:
    explicit TWin32ColourDialog(HWND owner = nullptr) : FOwner(owner) {}
    void SetOwner(HWND owner) { FOwner = owner; }
    std::optional<uint32_t> Execute(uint32_t initial) override;

  private:
    HWND FOwner;
};

// "Images (*.bmp;*.jpg;*.jpeg;*.png)" followed by its patterns, as
// GetOpenFileNameW reads a filter.
std::wstring OpenDialogFilter(const std::string& description);

// A thread timer (SetTimer) that ticks on the GUI thread while enabled.
// Enabling an enabled timer, or giving it the interval it has, keeps its
// schedule; a changed interval restarts a running timer.
class TWin32Timer : public IOneShotTimer {
  public:
    TWin32Timer() = default;
    ~TWin32Timer() override;
    TWin32Timer(const TWin32Timer&) = delete;
    TWin32Timer& operator=(const TWin32Timer&) = delete;

    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return FId != 0; }
    void SetInterval(uint32_t milliseconds) override;
    uint32_t Interval() const override { return FInterval; }
    void SetOnTimer(std::function<void()> handler) override { FOnTimer = std::move(handler); }

  private:
    static void CALLBACK TimerProc(HWND window, UINT message, UINT_PTR id, DWORD time);
    void Start();
    void Stop();

    UINT_PTR FId = 0;
    uint32_t FInterval = 1000;
    std::function<void()> FOnTimer;
};

class TWin32TimerFactory : public ITimerFactory {
  public:
    std::unique_ptr<IOneShotTimer> CreateTimer() override {
        return std::make_unique<TWin32Timer>();
    }
};

// The desktop draws the controls with its visual styles: a theme is active,
// the application may use it, and the common controls are version 6 (which
// only the manifest brings).
class TWin32VisualStyles : public IVisualStyles {
  public:
    bool Active() const override;
};

// A window in the keyboard-cue walk, with its child controls in creation order.
class TWin32Control : public IControl {
  public:
    explicit TWin32Control(HWND handle) : FHandle(handle) {}
    bool IsWindowed() const override { return true; }
    // Push buttons, check boxes and radio buttons; a group box is a container.
    bool IsButton() const override;
    int ControlCount() const override { return int(FChildren.size()); }
    IControl& Control(int index) override { return *FChildren.at(size_t(index)); }
    void RepaintNow() override;
    void Add(TWin32Control* child) { FChildren.push_back(child); }
    HWND Handle() const { return FHandle; }

  private:
    HWND FHandle;
    std::vector<TWin32Control*> FChildren;
};

// Posts to one window's queue.
class TWin32MessagePoster : public IMessagePoster {
  public:
    explicit TWin32MessagePoster(HWND window) : FWindow(window) {}
    void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        ::PostMessageW(FWindow, message, wParam, lParam);
    }

  private:
    HWND FWindow;
};

} // namespace korvalis
