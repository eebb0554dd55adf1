#pragma once

// What each picture slot (bundle/Slots.h) holds: the built-in picture, black, or a
// picture file fitted and centred. The window and the command-line tool share
// these operations; they reach the window only through toolkit/.

#include "bundle/ResourceBundle.h"
#include "graphics/Raster.h"
#include "imaging/PictureOptions.h"
#include "imaging/PictureRendering.h"
#include "toolkit/Toolkit.h"

#include <cstddef>

#include <memory>
#include <optional>
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
// left as it was when the file did not decode. The default options draw the
// slot exactly as it always was; a JPEG is turned upright unless
// options.AutoOrient is off.
void LoadImageFile(IPictureControl& image, const std::string& fileName,
                   const TPictureOptions& options = {});

// What became of a load from the window: nothing to say when it worked or was
// cancelled; for a failure, the file and the reader's own message, for the
// status bar's tooltip (its text stays "Error loading image").
struct TLoadOutcome {
    bool Failed = false;
    std::string FileName;
    std::string Reason;
};

// What a slot keeps of its loaded picture so that a change of options draws it
// again from the decoded picture, not from the 240 x 320 result. A source of
// up to Budget() bytes (colours and alpha plane) is kept; a larger one is read
// again from its file when the options change.
class TSlotSource {
  public:
    static constexpr size_t kDefaultBudget = size_t{32} << 20;
    explicit TSlotSource(size_t budget = kDefaultBudget) : FBudget(budget) {}

    // Decodes fileName and draws it onto the slot. On failure the reader's
    // exception passes on and both the slot and what was kept stay as they were.
    void Load(IPictureControl& image, const std::string& fileName, const TPictureOptions& options);
    // Draws the loaded picture again with other options; nothing without one. A
    // source beyond the budget is read again, and its failure passes on with
    // the slot unchanged.
    void Render(IPictureControl& image, const TPictureOptions& options) const;
    // Default or Clear: nothing left to draw again.
    void Forget();

    bool Loaded() const { return !FFileName.empty(); }
    const std::string& FileName() const { return FFileName; }
    // Bytes kept now; never more than Budget().
    size_t HeldBytes() const { return FSource ? FSource->Bytes() : 0; }
    size_t Budget() const { return FBudget; }

  private:
    size_t FBudget;
    std::string FFileName;
    // Empty when the source was beyond the budget.
    std::optional<TSourcePicture> FSource;
};

// "Open...": runs the dialog and loads the chosen file. Any failure ends as
// "Error loading image" on the status panel; a cancel changes nothing.
TLoadOutcome LoadImage(IPictureControl& image, IOpenDialog& dialog, IStatusPanel& status);
// A file chosen in the window (its Open... dialog, or dropped on the slot) loaded
// with the slot's options, keeping the source for later changes.
TLoadOutcome LoadSlotFile(IPictureControl& image, const std::string& fileName, IStatusPanel& status,
                          TSlotSource& source, const TPictureOptions& options);
// The slot's options changed: draw the kept source again. A source that has to
// be read again and fails ends as a failed load does.
TLoadOutcome ApplyOptions(IPictureControl& image, const TSlotSource& source, IStatusPanel& status,
                          const TPictureOptions& options);

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
