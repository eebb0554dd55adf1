#pragma once

// A decoded picture drawn over the black of an empty slot, or over a slot's
// chosen background: the one rule every decoder's transparency goes through,
// whatever the file format.

#include "graphics/Raster.h"

#include <cstdint>
#include <memory>

namespace korvalis {

// A decoder's transparency, row by row.
class IPictureAlpha {
  public:
    virtual ~IPictureAlpha() = default;
    // Fills alpha[0, width) for row y, 0 transparent to 255 opaque. bgr is the
    // decoded row (blue, green, red); a format whose drawn colours are not its
    // displayed ones writes the colours to draw over it. May raise the
    // decoder's exception for data it only now finds unusable.
    virtual void Row(int y, uint8_t* bgr, uint8_t* alpha) = 0;
};

// What a decoder hands the load: the colours and, when the picture has any,
// its transparency.
struct TDecodedPicture {
    TRaster Colours;
    std::unique_ptr<IPictureAlpha> Alpha;
};

// The picture over black at its own size: with transparency it becomes 24-bit
// and every channel s of a pixel of alpha a becomes (s * a + 255) div 256, so
// 255 keeps the colour and 0 leaves black; without, the colours as they are.
TRaster ComposeOverBlack(TDecodedPicture picture);

// The colours over the background in place, by a kept alpha plane (8-bit, the
// colours' size): 24-bit after, each channel (s * a + b * (255 - a) + 255) div
// 256, which over black is ComposeOverBlack's rule.
void ComposeOver(TRaster& colours, const TRaster& alpha, TColor background);

} // namespace korvalis
