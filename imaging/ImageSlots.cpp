#include "ImageSlots.h"

#include "PictureFile.h"
#include "PngDrawing.h"
#include "decoders/JpegPicture.h"
#include "graphics/LoadBudget.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

namespace korvalis {

TRaster DefaultPictureRaster(const char* resource) {
    return DecodePngResourceColours(resource);
}

void DefaultPicture(IPictureControl& image, const char* resource) {
    // Nothing is composited on this path: the slot takes the colour raster as it is.
    image.Picture() = DefaultPictureRaster(resource);
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

namespace {

// The fitted picture built from decoded rows handed over top to bottom: each
// kept row is sampled as TRaster::Stretched samples it, the others are dropped,
// so a load never holds the whole decoded picture.
class TRowFitter {
  public:
    void Row(int y, int height, const TRaster& row) {
        if (y == 0) {
            const TFitSize fit = FitSize(row.Width(), height);
            FSourceHeight = height;
            FOut = TRaster(0, 0, row.PixelFormat());
            FOut.ColorTable() = row.ColorTable();
            FOut.SetSizeUninitialized(fit.Width, fit.Height);
            FColumns = TRaster::StretchColumns(row.Width(), FOut.Width(), row.BytesPerPixel());
            FNext = 0;
        }
        while (FNext < FOut.Height() &&
               TRaster::NearestSource(FNext, FSourceHeight, FOut.Height()) == y)
            TRaster::StretchRow(row.Bits(), FOut.ScanLine(FNext++), FColumns, row.BytesPerPixel());
    }
    TRaster Take() { return std::move(FOut); }

  private:
    TRaster FOut;
    std::vector<size_t> FColumns;
    int FSourceHeight = 0;
    int FNext = 0;
};

} // namespace

void LoadImageFile(IPictureControl& image, const std::string& fileName) {
    // The slot is cleared only once the file has decoded.
    if (PictureKindOf(fileName) != TPictureKind::pkJpeg) {
        PlaceOnSlot(image, DecodePictureFile(fileName));
        return;
    }
    // A camera JPEG is tens of megabytes decoded, and a progressive one needs as
    // much again inside libjpeg: keep only the rows the fitted picture takes.
    // libjpeg's memory and the fitted picture share one load's budget, as the
    // other kinds' do in DecodePictureFile.
    TRaster fitted;
    {
        TLoadScope load;
        TJpegPicture jpeg;
        jpeg.LoadFromFile(fileName);
        TRowFitter fitter;
        jpeg.DecodeRows(
            [&fitter](int y, int height, const TRaster& row) { fitter.Row(y, height, row); });
        fitted = fitter.Take();
    }
    PlaceOnSlot(image, std::move(fitted));
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
