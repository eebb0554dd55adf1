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

void Show(IPictureControl& image, TRaster picture) {
    image.DiscardPicture();
    image.Picture() = std::move(picture);
    image.PictureChanged();
}

TRaster Rendered(const TSourcePicture& source, const IPictureControl& image,
                 const TPictureOptions& options) {
    return RenderPicture(source, options, image.ControlWidth(), image.ControlHeight());
}

// The decoded JPEG's raster size, never more than it will be: one byte a pixel
// for greyscale or 8-bit output, else three (a CMYK file asked for 8 bits
// still decodes to three).
uint64_t JpegRasterBytes(const TJpegPicture& jpeg) {
    const bool eightBit = jpeg.Grayscale() || jpeg.Options().Grayscale ||
                          jpeg.Options().PixelFormat == TJpegPixelFormat::jf8Bit;
    return uint64_t(jpeg.Width()) * uint64_t(jpeg.Height()) * (eightBit ? 1 : 3);
}

// Draws fileName onto the slot and answers the decoded source when it is at
// most keep bytes (never with keep 0). A picture that will not be kept and is
// drawn with the default options takes the paths that hold the least: a JPEG
// keeps only the rows the fitted picture takes, any other is composed over
// black in its own raster. The same pixels either way. The slot is cleared
// only once the file has decoded.
std::optional<TSourcePicture> DrawFile(IPictureControl& image, const std::string& fileName,
                                       const TPictureOptions& options, uint64_t keep) {
    TPictureOptions others = options;
    others.AutoOrient = true;
    const bool plain = others == TPictureOptions{};
    const auto kept = [keep](uint64_t bytes) { return keep > 0 && bytes <= keep; };
    std::optional<TSourcePicture> source;
    TRaster rendered;
    {
        // The reader, any turned copy and the slot share one load's budget.
        TLoadScope load;
        if (PictureKindOf(fileName) == TPictureKind::pkJpeg) {
            // A camera JPEG is tens of megabytes decoded, and a progressive one
            // needs as much again inside libjpeg.
            TJpegPicture jpeg;
            jpeg.LoadFromFile(fileName);
            if (plain && !kept(JpegRasterBytes(jpeg)) &&
                (!options.AutoOrient || JpegOrientation(jpeg.FileData()) == 1)) {
                TRowFitter fitter;
                jpeg.DecodeRows([&fitter](int y, int height, const TRaster& row) {
                    fitter.Row(y, height, row);
                });
                PlaceOnSlot(image, fitter.Take());
                return std::nullopt;
            }
            source = SourcePictureOf(jpeg);
        } else {
            TDecodedPicture decoded = DecodePicture(fileName);
            if (plain && !kept(decoded.Colours.Stride() * uint64_t(decoded.Colours.Height()))) {
                PlaceOnSlot(image, ComposeOverBlack(std::move(decoded)));
                return std::nullopt;
            }
            source = SourcePictureOf(std::move(decoded));
        }
        rendered = Rendered(*source, image, options);
    }
    Show(image, std::move(rendered));
    if (!kept(source->Bytes()))
        source.reset();
    return source;
}

} // namespace

void LoadImageFile(IPictureControl& image, const std::string& fileName,
                   const TPictureOptions& options) {
    DrawFile(image, fileName, options, 0);
}

void TSlotSource::Load(IPictureControl& image, const std::string& fileName,
                       const TPictureOptions& options) {
    FSource = DrawFile(image, fileName, options, FBudget);
    FFileName = fileName;
}

void TSlotSource::Render(IPictureControl& image, const TPictureOptions& options) const {
    if (!Loaded())
        return;
    if (FSource)
        Show(image, Rendered(*FSource, image, options));
    else
        Show(image, [&] {
            TLoadScope load;
            return Rendered(DecodeSourcePicture(FFileName), image, options);
        }());
}

void TSlotSource::Forget() {
    FFileName.clear();
    FSource.reset();
}

namespace {

template <typename TLoad>
TLoadOutcome Reported(const std::string& fileName, IStatusPanel& status, TLoad load) {
    try {
        load();
        return {};
    } catch (const std::exception& e) {
        // The status bar keeps the window's one message; the reader's own words
        // go to whoever shows them beside it.
        status.SetText(kErrorLoadingImage);
        return {true, fileName, e.what()};
    }
}

} // namespace

TLoadOutcome LoadImage(IPictureControl& image, IOpenDialog& dialog, IStatusPanel& status) {
    const std::optional<std::string> fileName = dialog.Execute();
    if (!fileName)
        return {};
    return Reported(*fileName, status, [&] { LoadImageFile(image, *fileName); });
}

TLoadOutcome LoadSlotFile(IPictureControl& image, const std::string& fileName, IStatusPanel& status,
                          TSlotSource& source, const TPictureOptions& options) {
    return Reported(fileName, status, [&] { source.Load(image, fileName, options); });
}

TLoadOutcome ApplyOptions(IPictureControl& image, const TSlotSource& source, IStatusPanel& status,
                          const TPictureOptions& options) {
    return Reported(source.FileName(), status, [&] { source.Render(image, options); });
}

TRaster& TRasterPictureControl::Picture() {
    if (!FPicture)
        FPicture = std::make_unique<TRaster>(FWidth, FHeight);
    return *FPicture;
}

} // namespace korvalis
