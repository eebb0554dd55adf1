#pragma once

// What a window built by a toolkit gives the toolkit-neutral form behaviour:
// its components looked up by their names in the layout table, and the
// window's own services. Everything here runs on the GUI thread.

#include "toolkit/KeyboardCue.h"
#include "toolkit/Toolkit.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalis {

// A button whose clicks (mouse, space, its accelerator) run a handler. A
// disabled button runs none.
class IPushButton : public IButton {
  public:
    virtual void SetOnClick(std::function<void()> handler) = 0;
};

// One entry of a pop-up menu, as plain data a toolkit draws however it draws
// menus; captions are UTF-8. An entry with an empty caption is a separator;
// one with items opens a submenu and runs nothing itself.
struct TMenuItem {
    std::string Caption;
    bool Checked = false;
    bool Enabled = true;
    std::function<void()> OnClick;
    std::vector<TMenuItem> Items;
};

// A digit or letter key (vk::Digit0.., vk::LetterA..) with Ctrl, and Shift
// when asked. Ctrl keeps them apart from the buttons' Alt accelerators and
// from the keyboard-cue fix, which watches Alt, Tab and the arrows.
struct TShortCut {
    uint16_t Key = vk::None;
    bool Shift = false;
    // As the user reads it in a tooltip: "Ctrl+U".
    std::string Text() const { return std::string(Shift ? "Ctrl+Shift+" : "Ctrl+") + char(Key); }
};

// Runs modally; answers the chosen colour as 0xRRGGBB, or nothing on cancel.
class IColourDialog {
  public:
    virtual ~IColourDialog() = default;
    virtual std::optional<uint32_t> Execute(uint32_t initial) = 0;
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

    // Beyond the stored layout: what the form adds to the components it has.
    // The tooltip of a named component; empty for none.
    virtual void SetHint(std::string_view name, const std::string& text) = 0;
    // Runs the handler when the key is pressed anywhere in the window; the
    // form checks itself whether the button it stands for is enabled. A key
    // set again gets the new handler; an empty handler frees the key.
    virtual void SetShortCut(const TShortCut& key, std::function<void()> handler) = 0;
    // When the user asks for a picture control's menu the toolkit asks the
    // handler for the entries, shows them and runs the one chosen once the
    // menu is closed. A right click asks; a picture takes no focus, so the
    // menu key (or Shift+F10) on a button asks for the picture of its group.
    virtual void SetOnContextMenu(std::string_view picture,
                                  std::function<std::vector<TMenuItem>()> menu) = 0;
    // A file dropped onto a picture control, as a local path. An empty
    // handler, here and for the menu, turns the feature off for the control.
    virtual void SetOnDropFile(std::string_view picture,
                               std::function<void(const std::string&)> handler) = 0;
    virtual IColourDialog& ColourDialog() = 0;

    // What the keyboard-cue fix needs of the window.
    virtual IFormWindow& FormWindow() = 0;
    virtual const IVisualStyles& VisualStyles() const = 0;
    virtual ITimerFactory& Timers() = 0;
};

} // namespace korvalis
