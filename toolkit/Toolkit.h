#pragma once

// The window operations the application needs, as small interfaces. The Qt
// window implements them; tests use fakes. Everything here runs on the GUI
// thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace korvalis {

class TRaster;

// Panel 0 of the status bar: the text shows at once, replacing the previous one.
class IStatusPanel {
  public:
    virtual ~IStatusPanel() = default;
    virtual void SetText(const std::string& text) = 0;
    virtual std::string Text() const = 0;
};

// A disabled button ignores clicks.
class IButton {
  public:
    virtual ~IButton() = default;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
};

enum class TCursorKind { crArrow, crHourGlass };

// The cursor shown over the whole window.
class IWindowCursor {
  public:
    virtual ~IWindowCursor() = default;
    virtual void SetCursor(TCursorKind cursor) = 0;
};

class IProgressBar {
  public:
    virtual ~IProgressBar() = default;
    virtual void SetMax(int max) = 0;
    virtual void SetPosition(int position) = 0;
    virtual void SetVisible(bool visible) = 0;
    // Painted before the call returns, also inside a long handler.
    virtual void RepaintNow() = 0;
};

// The whole window, painted before the call returns.
class IRepaintable {
  public:
    virtual ~IRepaintable() = default;
    virtual void RepaintNow() = 0;
};

// The window inside a long handler of its own: between BeginBusy and EndBusy
// it goes on painting and answering the desktop's liveness checks, while the
// user's input is thrown away and no other handler of the application runs;
// what the application was sent meanwhile runs after the handler returns.
class IBusyWindow {
  public:
    virtual ~IBusyWindow() = default;
    virtual void BeginBusy() = 0;
    // Paints what is due and answers the desktop; call it every few tens of ms.
    virtual void KeepAlive() = 0;
    // Input that is still queued is thrown away too.
    virtual void EndBusy() = 0;
};

// Ticks on the GUI thread while enabled. Enabling an enabled timer, or setting
// the interval it already has, does not restart it.
class IOneShotTimer {
  public:
    virtual ~IOneShotTimer() = default;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetInterval(uint32_t milliseconds) = 0;
    virtual uint32_t Interval() const = 0;
    virtual void SetOnTimer(std::function<void()> handler) = 0;
};

// Runs modally; answers the chosen existing file's full path, or nothing on cancel.
class IOpenDialog {
  public:
    virtual ~IOpenDialog() = default;
    virtual std::optional<std::string> Execute() = 0;
};

// A private window message, delivered later on the GUI thread to the window.
class IMessagePoster {
  public:
    virtual ~IMessagePoster() = default;
    virtual void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
};

class IVisualStyles {
  public:
    virtual ~IVisualStyles() = default;
    virtual bool Active() const = 0;
};

// A control of the window, for walks over the control tree.
class IControl {
  public:
    virtual ~IControl() = default;
    // A control with a window of its own (picture controls are not).
    virtual bool IsWindowed() const = 0;
    // Push buttons, check boxes, radio buttons.
    virtual bool IsButton() const = 0;
    virtual int ControlCount() const = 0;
    virtual IControl& Control(int index) = 0;
    // Invalidates the whole control and paints it before returning.
    virtual void RepaintNow() = 0;
};

// A picture control's raster. An empty control gets a raster of its own size
// (240 x 320) on first access.
class IPictureControl {
  public:
    virtual ~IPictureControl() = default;
    virtual TRaster& Picture() = 0;
    // Drops the current picture; the next Picture() makes a fresh one.
    virtual void DiscardPicture() = 0;
    virtual int ControlWidth() const = 0;
    virtual int ControlHeight() const = 0;
    // The picture was changed in place and should be shown again.
    virtual void PictureChanged() = 0;
};

} // namespace korvalis
