#pragma once

// How a decoded PNG's transparency reads for the slot load: which pixels its
// colour key or alpha lets the black background through, and how much.

#include "imaging/Compositing.h"

#include <string>
#include <string_view>

namespace korvalis {

class TPngPicture;

// The PNG's transparency, for ComposeOverBlack:
// - none: null;
// - a colour key: alpha 0 for pixels of the key colour, 255 for the rest. Grey
//   and RGB images of 8 bits compare the decoded colour with the low bytes of
//   the tRNS samples; grey images of 1, 2, 4 and 16 bits and RGB images of 16
//   bits take the decoder's key mask (the file's own samples against the whole
//   tRNS value); palette images key the colour of the first entry whose tRNS
//   alpha is 0, or none. A key that is black changes nothing and is null too;
// - alpha: the alpha plane, or the palette entry's tRNS alpha; grey images draw
//   their stored grey sample, not the ramp. A palette image with per-entry
//   alpha that uses an index beyond its palette raises EPngError.
// png must outlive the answer.
std::unique_ptr<IPictureAlpha> PngAlpha(const TPngPicture& png);

// The picture's colour raster composed over black.
TRaster ComposePng(const TPngPicture& png);

// Reads fileName as PNG: its colours (the decoded rows taken over, not copied)
// and its transparency.
TDecodedPicture DecodePngFile(const std::string& fileName);

// The colour raster of a compiled-in PNG, with no transparency applied.
TRaster DecodePngResourceColours(std::string_view name);

} // namespace korvalis
