#include "MainFormLayout.h"

#include "bundle/ResourceBundle.h"
#include "imaging/PictureFile.h"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace korvalis {

namespace {

using K = TComponentKind;

// Creation order is also the order the keyboard-cue fix walks the controls in.
constexpr std::array kLayout{
    TComponentLayout{K::Form, "frmMain", nullptr, 0, 0, 774, 430, "Korvalis Graphics Uploader"},
    TComponentLayout{K::GroupBox, "grp1", "frmMain", 4, 0, 252, 377, " Splash ", 0},
    TComponentLayout{K::PictureControl, "img1", "grp1", 6, 16, 240, 320},
    TComponentLayout{K::Button, "btn1Def", "grp1", 5, 344, 75, 25, "Default", 0},
    TComponentLayout{K::Button, "btn1Open", "grp1", 172, 344, 75, 25, "Open...", 1},
    TComponentLayout{K::GroupBox, "grp2", "frmMain", 261, 0, 252, 377, " Logo ", 1},
    TComponentLayout{K::PictureControl, "img2", "grp2", 6, 16, 240, 320},
    TComponentLayout{K::Button, "btn2Clr", "grp2", 5, 344, 75, 25, "Clear", 0},
    TComponentLayout{K::Button, "btn2Open", "grp2", 172, 344, 75, 25, "Open...", 1},
    TComponentLayout{K::GroupBox, "grp3", "frmMain", 518, 0, 252, 377, " Screensaver ", 2},
    TComponentLayout{K::PictureControl, "img3", "grp3", 6, 16, 240, 320},
    TComponentLayout{K::Button, "btn3Clr", "grp3", 5, 344, 75, 25, "Clear", 0},
    TComponentLayout{K::Button, "btn3Open", "grp3", 172, 344, 75, 25, "Open...", 1},
    TComponentLayout{K::Button, "btnUpload", "frmMain", 3, 382, 85, 25, "Upload", 3},
    TComponentLayout{K::StatusBar, "stBar", "frmMain", 0, 411, 774, 19, "", -1, true, true, 500},
    // Over the right end of the status bar, shown only while uploading.
    TComponentLayout{K::ProgressBar, "pb1", "frmMain", 518, 413, 255, 16, "", -1, false},
    TComponentLayout{K::OpenDialog, "dlgOpen", nullptr, 0, 0, 0, 0, "Open Image"},
    TComponentLayout{K::Timer, "tmrDataflash", nullptr, 0, 0, 0, 0, "", -1, true, false, 500},
};

constexpr const TComponentLayout* Find(const char* name) {
    if (!name)
        return nullptr;
    for (const TComponentLayout& row : kLayout)
        if (row.Name == name)
            return &row;
    return nullptr;
}

// Every slot of kSlots has its group here: a picture the size of the slot's
// picture, its left button (Default with a built-in picture, else Clear) and
// Open..., all in one group whose caption names the slot.
constexpr bool SlotsLaidOut() {
    for (const TSlotInfo& slot : kSlots) {
        const TComponentLayout* picture = Find(slot.Picture);
        const TComponentLayout* reset = Find(slot.ResetButton);
        const TComponentLayout* open = Find(slot.OpenButton);
        if (!picture || !reset || !open || picture->Kind != K::PictureControl ||
            reset->Kind != K::Button || open->Kind != K::Button ||
            picture->Width != TResourceBundle::kPictureWidth ||
            picture->Height != TResourceBundle::kPictureHeight)
            return false;
        const TComponentLayout* group = Find(picture->Parent);
        if (!group || group->Kind != K::GroupBox || Find(reset->Parent) != group ||
            Find(open->Parent) != group ||
            std::string_view(group->Caption).find(slot.Name) == std::string_view::npos ||
            std::string_view(reset->Caption) != (slot.HasBuiltIn() ? "Default" : "Clear") ||
            std::string_view(open->Caption) != "Open...")
            return false;
    }
    return true;
}
static_assert(SlotsLaidOut(), "a slot's components are missing from the layout");

} // namespace

std::span<const TComponentLayout> MainFormLayout() {
    return kLayout;
}

const TComponentLayout& MainFormComponent(const char* name) {
    for (const TComponentLayout& row : kLayout)
        if (std::strcmp(row.Name, name) == 0)
            return row;
    throw std::out_of_range(std::string("no component ") + name);
}

std::string OpenImageFilter() {
    return PictureDialogFilter();
}

} // namespace korvalis
