#pragma once

// One row of a stored window layout: what any toolkit builds a window from.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace korvalis {

enum class TComponentKind : uint8_t {
    Form,           // the window itself: caption, client size; centred on the screen
    GroupBox,       // a flat frame with a caption
    PictureControl, // shows a raster 1:1 from its top-left corner; never takes focus
    Button,         // push button with a caption
    StatusBar,      // one panel of Value pixels
    ProgressBar,    // without a text; lies over the components created before it
    OpenDialog,     // modal open-file dialog; the caption is its title
    Timer,          // one-shot timer of Value milliseconds
};

struct TComponentLayout {
    TComponentKind Kind;
    const char* Name;
    // The component it lies in; nullptr for the form itself and for what has
    // no place on it (dialogs, timers), which belongs to the form.
    const char* Parent;
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    const char* Caption = "";
    // Position in its parent's keyboard order, from 0; -1 when not in it. A
    // container in the order gives its own children's order at its place.
    int TabOrder = -1;
    bool Visible = true;
    bool Enabled = true;
    // Kind-specific: the status bar's panel width, the timer's interval.
    int Value = 0;
};

// The rows that lie in parent and are in its keyboard order, in that order.
inline std::vector<const TComponentLayout*> KeyboardOrder(std::span<const TComponentLayout> layout,
                                                          std::string_view parent) {
    std::vector<const TComponentLayout*> children;
    for (const TComponentLayout& row : layout)
        if (row.Parent && row.Parent == parent && row.TabOrder >= 0)
            children.push_back(&row);
    std::stable_sort(children.begin(), children.end(),
                     [](const auto* a, const auto* b) { return a->TabOrder < b->TabOrder; });
    return children;
}

} // namespace korvalis
