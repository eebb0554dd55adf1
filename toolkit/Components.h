#pragma once

// What a window built by a toolkit gives the toolkit-neutral form behaviour:
// its components looked up by their names in the layout table, and the
// window's own services. Everything here runs on the GUI thread.

#include "toolkit/KeyboardCue.h"
#include "toolkit/Toolkit.h"

#include <cstdint>
#include <functional>
#include <string_view>

namespace korvalis {

// A button whose clicks (mouse, space, its accelerator) run a handler. A
// disabled button runs none.
class IPushButton : public IButton {
  public:
    virtual void SetOnClick(std::function<void()> handler) = 0;
};

// One kind of component per lookup; a name the window does not have, or has
// as another kind, throws std::out_of_range. The window owns what it answers
// and outlives every user of it.
class IFormComponents {
  public:
    virtual ~IFormComponents() = default;

    virtual IPictureControl& PictureControl(std::string_view name) = 0;
    virtual IPushButton& Button(std::string_view name) = 0;
    virtual IStatusPanel& StatusPanel(std::string_view name) = 0;
    virtual IProgressBar& ProgressBar(std::string_view name) = 0;
    virtual IOneShotTimer& Timer(std::string_view name) = 0;
    virtual IOpenDialog& OpenDialog(std::string_view name) = 0;

    // The window itself.
    virtual IWindowCursor& Cursor() = 0;
    virtual IRepaintable& Window() = 0;
    // Keeps the window alive through a long handler; none without a screen.
    virtual IBusyWindow* BusyWindow() = 0;
    // Blocks the GUI thread for the given time.
    virtual void Sleep(int milliseconds) = 0;
    // Bits per pixel of the screen the window is on; 0 when there is none.
    virtual int ScreenDepth() const = 0;

    // What the keyboard-cue fix needs of the window.
    virtual IFormWindow& FormWindow() = 0;
    virtual const IVisualStyles& VisualStyles() const = 0;
    virtual ITimerFactory& Timers() = 0;
};

} // namespace korvalis
