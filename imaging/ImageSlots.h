#pragma once

// What each picture slot (bundle/Slots.h) holds: the built-in picture, black, or a
// picture file fitted and centred. The window and the command-line tool share
// these operations; they reach the window only through toolkit/.

#include "bundle/ResourceBundle.h"
#include "graphics/Raster.h"
#include "toolkit/Toolkit.h"

#include <memory>
#include <string>

namespace korvalis {

inline constexpr int kSlotWidth = TResourceBundle::kPictureWidth;
inline constexpr int kSlotHeight = TResourceBundle::kPictureHeight;
inline constexpr const char* kErrorLoadingImage = "Error loading image";
// The raw-data resource of the first slot's built-in picture; resources compare
// without case.
inline constexpr const char* kSplashResource = kSlots.front().BuiltIn;
static_assert(kSlots.front().HasBuiltIn());

// A built-in picture, decoded: 240 x 320, 24 bits.
TRaster DefaultPictureRaster(const char* resource = kSplashResource);
// "Default": the slot's picture becomes its built-in picture.
void DefaultPicture(IPictureControl& image, const char* resource = kSplashResource);

// The slot becomes a black raster of the control's size.
void ClearImage(IPictureControl& image);

struct TFitSize {
    int Width = 0;
    int Height = 0;
    friend bool operator==(const TFitSize&, const TFitSize&) = default;
};
// The size a picture of width x height is scaled to before it is centred: as it
// is when it fits the slot, else shrunk to 240 wide (landscape) or 320 high.
TFitSize FitSize(int width, int height);
// Where a picture of size `size` starts so that it sits centred in `slot`;
// truncated toward zero, so an odd remainder falls to the right or bottom.
constexpr int CentreOffset(int slot, int size) {
    return (slot - size) / 2;
}

// Clears the slot, fits the working raster and draws it centred, clipped.
void PlaceOnSlot(IPictureControl& image, TRaster working);

// Loads fileName into the slot. The decoder's failure passes on, and the slot is
// left as it was when the file did not decode.
void LoadImageFile(IPictureControl& image, const std::string& fileName);

// "Open...": runs the dialog and loads the chosen file. Any failure ends as
// "Error loading image" on the status panel; a cancel changes nothing.
void LoadImage(IPictureControl& image, IOpenDialog& dialog, IStatusPanel& status);

// A picture control without a window, for the command-line tool and for tests
// that have no screen: a 240 x 320 control holding a plain raster.
class TRasterPictureControl : public IPictureControl {
  public:
    TRasterPictureControl(int width = kSlotWidth, int height = kSlotHeight)
        : FWidth(width), FHeight(height) {}

    TRaster& Picture() override;
    void DiscardPicture() override { FPicture.reset(); }
    int ControlWidth() const override { return FWidth; }
    int ControlHeight() const override { return FHeight; }
    void PictureChanged() override { ++FChanges; }

    bool HasPicture() const { return FPicture != nullptr; }
    int Changes() const { return FChanges; }

  private:
    int FWidth;
    int FHeight;
    std::unique_ptr<TRaster> FPicture;
    int FChanges = 0;
};

} // namespace korvalis
