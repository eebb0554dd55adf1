#include "ImageSlots.h"

#include "PictureFile.h"
#include "PngDrawing.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

namespace korvalis {

TRaster DefaultPictureRaster() {
    return DecodePngResourceColours(kSplashResource);
}

void DefaultPicture(IPictureControl& image) {
    // Nothing is composited on this path: the slot takes the colour raster as it is.
    image.Picture() = DefaultPictureRaster();
    image.PictureChanged();
}

void ClearImage(IPictureControl& image) {
    image.DiscardPicture();
    TRaster& picture = image.Picture();
    picture.SetFillColor(clBlack);
    picture.SetOutlineColor(clBlack);
    picture.Rectangle(0, 0, image.ControlWidth(), image.ControlHeight());
    image.PictureChanged();
}

TFitSize FitSize(int width, int height) {
    if (width <= kSlotWidth && height <= kSlotHeight)
        return {width, height};
    // 64-bit products give the same results as 32-bit ones wherever those do not
    // overflow, and stay right for the widest rasters a reader can make.
    if (width > height)
        return {kSlotWidth, static_cast<int>(int64_t(height) * kSlotWidth / width)};
    return {static_cast<int>(int64_t(width) * kSlotHeight / height), kSlotHeight};
}

void PlaceOnSlot(IPictureControl& image, TRaster working) {
    ClearImage(image);
    const TFitSize fit = FitSize(working.Width(), working.Height());
    if (fit.Width != working.Width() || fit.Height != working.Height())
        working = working.Stretched(fit.Width, fit.Height);
    if (!working.Empty()) {
        TRaster& slot = image.Picture();
        slot.Draw(CentreOffset(slot.Width(), working.Width()),
                  CentreOffset(slot.Height(), working.Height()), working);
    }
    image.PictureChanged();
}

void LoadImageFile(IPictureControl& image, const std::string& fileName) {
    // The slot is cleared only once the file has decoded.
    PlaceOnSlot(image, DecodePictureFile(fileName));
}

void LoadImage(IPictureControl& image, IOpenDialog& dialog, IStatusPanel& status) {
    const std::optional<std::string> fileName = dialog.Execute();
    if (!fileName)
        return;
    try {
        LoadImageFile(image, *fileName);
    } catch (const std::exception&) {
        // The readers' own messages mean nothing to the user of the window.
        status.SetText(kErrorLoadingImage);
    }
}

TRaster& TRasterPictureControl::Picture() {
    if (!FPicture)
        FPicture = std::make_unique<TRaster>(FWidth, FHeight);
    return *FPicture;
}

} // namespace korvalis
