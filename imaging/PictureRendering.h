#pragma once

// Making a slot's 240 x 320 picture from a decoded picture and the slot's
// options (PictureOptions.h): transparency over the background, orientation
// and rotation, fitting, dithering. The default options give the same pixels
// as PlaceOnSlot.

#include "imaging/Compositing.h"
#include "imaging/PictureOptions.h"

#include "graphics/Raster.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace korvalis {

class TJpegPicture;

// The EXIF orientation (1 to 8) in a JPEG file's first Exif APP1 segment before
// its image data; 1 when there is none or it cannot be read. Reads only inside
// the bytes it is given, whatever they hold.
int JpegOrientation(std::span<const uint8_t> file);

// One of the eight turns and mirrors of a picture: the 2 x 2 matrix taking a
// source position (x right, y down, about the centre) to the shown one.
struct TTurn {
    int A = 1, B = 0, C = 0, D = 1;
    bool SwapsSides() const { return A == 0; }
    friend bool operator==(const TTurn&, const TTurn&) = default;
};
// What shows a picture stored with this EXIF orientation upright (1 and
// unknown values: none).
TTurn TurnOfOrientation(int orientation);
// Clockwise by 0, 90, 180 or 270 degrees (others count as 0).
TTurn TurnOfRotation(int degrees);
// first, then second.
TTurn Then(TTurn first, TTurn second);
// The picture turned; keeps the pixel format and colour table.
TRaster Turned(const TRaster& picture, TTurn turn);

// Where a picture of width x height lands in a slot: scaled to Width x Height
// and drawn with its top-left corner at (Left, Top); negative positions crop.
// Wide enough for a cover of the most extreme picture a reader can make.
struct TPlacement {
    int64_t Width = 0, Height = 0, Left = 0, Top = 0;
    friend bool operator==(const TPlacement&, const TPlacement&) = default;
};
TPlacement PlacementOf(int width, int height, TFitMode fit, bool enlarge, int slotWidth = 240,
                       int slotHeight = 320);

// A decoded picture as a slot keeps it for drawing again: its colours as the
// reader gives them (24-bit, or 8-bit with a colour table), its alpha plane
// (8-bit, empty for an opaque picture) and its EXIF orientation.
struct TSourcePicture {
    TRaster Colours;
    TRaster Alpha;
    int Orientation = 1;
    size_t Bytes() const;
};

// Reads fileName whole (one load's budget). Raises the reader's exception, or
// EUnknownPictureType.
TSourcePicture DecodeSourcePicture(const std::string& fileName);
// A decoder's picture as a slot keeps it: the alpha plane apart, and only when
// some pixel lets the background through. Raises what the decoder's alpha does.
TSourcePicture SourcePictureOf(TDecodedPicture decoded);
// A JPEG whose file is read as a slot keeps it: decoded, with its orientation.
// Raises the decoder's exception.
TSourcePicture SourcePictureOf(TJpegPicture& jpeg);

// The slot's picture (slotWidth x slotHeight, 24 bits) made from source with the options.
TRaster RenderPicture(const TSourcePicture& source, const TPictureOptions& options,
                      int slotWidth = 240, int slotHeight = 320);

// Floyd-Steinberg error diffusion in the bundle's own RGB565 rounding: every
// pixel becomes a colour the device shows exactly, so the bundle carries the
// pattern unchanged.
void DitherToDevice(TRaster& picture);

// The picture as the device shows it: every pixel through RGB565 and back
// (24 bits). A dithered picture is already in these colours.
TRaster DeviceColours(const TRaster& picture);

} // namespace korvalis
